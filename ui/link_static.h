// A text label that behaves like a web link: underlined blue text over the
// parent's background, a hand cursor, a click opens the text in the browser
// and a right click offers Open and Copy. It is a tab stop: Enter or Space
// opens it, the menu key (or Shift+F10) shows the menu.
#pragma once

#include <QLabel>
#include <QString>
#include <QUrl>

class QMenu;

// Command numbers of the link menu; the menu's actions carry them as data.
constexpr int ID_LINK_OPEN = 32809;
constexpr int ID_LINK_COPY = 32810;

class CLinkStatic : public QLabel {
    Q_OBJECT

public:
    explicit CLinkStatic(const QString& strText, QWidget* pParent = nullptr);

    // The address a click opens: the text unchanged, with "http://" in front
    // unless it already starts with "http://" or "https://" in any case.
    static QString MakeLinkAddress(const QString& strText);

    // Builds the link menu ("&Open", "&Copy") wired to this control; the
    // caller owns it. Shown by the context menu event, reachable for tests.
    QMenu* CreateLinkMenu(QWidget* pMenuParent);

public slots:
    void OpenLink();
    void CopyLink();

protected:
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;
    void mouseDoubleClickEvent(QMouseEvent* pEvent) override;
    void contextMenuEvent(QContextMenuEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    void paintEvent(QPaintEvent* pEvent) override;

private:
    bool m_bPressed = false;
};
