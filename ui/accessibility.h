// What a screen reader (AT-SPI through Qt's bridge) learns about the window's
// own controls: the links present themselves as links that can be pressed,
// and the status pane as the status bar's notification, so that the end of
// a scan is spoken without the pane having the focus.
#pragma once

#include <QLabel>
#include <QString>

// Registers the accessible interfaces of CLinkStatic and CStatusPane with Qt.
// Idempotent; the controls' constructors call it.
void InstallAccessibleFactory();

// The status bar's one pane: a label whose text is the scan state.
class CStatusPane : public QLabel {
    Q_OBJECT

public:
    explicit CStatusPane(QWidget* pParent = nullptr);

    // Tells assistive technology that the pane's text is news: on Qt 6.8 and
    // later as an announcement; before, the pane shows itself anew, which
    // screen readers (Orca) speak for a notification inside a status bar.
    void Announce();

signals:
    // After each announcement, with the text told.
    void Announced(const QString& strText);
};
