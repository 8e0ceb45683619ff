#include "link_static.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <algorithm>

#include "accessibility.h"

CLinkStatic::CLinkStatic(const QString& strText, QWidget* pParent) : QLabel(pParent) {
    InstallAccessibleFactory();  // presents itself as a link
    // Printer names and URLs come from the network: never let the label
    // interpret them as rich text.
    setTextFormat(Qt::PlainText);
    setText(strText);

    // Only the underline is set here; family and size still follow the parent.
    QFont font;
    font.setUnderline(true);
    setFont(font);

    // Pure blue in every state; the background is the parent's.
    QPalette pal;
    pal.setColor(QPalette::All, QPalette::WindowText, QColor(0, 0, 255));
    setPalette(pal);
    setAutoFillBackground(false);

    setCursor(Qt::PointingHandCursor);
    // Reached by Tab, like any control a mouse can use.
    setFocusPolicy(Qt::StrongFocus);
}

QString CLinkStatic::MakeLinkAddress(const QString& strText) {
    if (strText.startsWith(u"http://", Qt::CaseInsensitive) ||
        strText.startsWith(u"https://", Qt::CaseInsensitive)) {
        return strText;
    }
    return QStringLiteral("http://") + strText;
}

void CLinkStatic::OpenLink() {
    // Tolerant parsing keeps the text as typed (path case included); a failed
    // open is silent, as the user still sees the address.
    QDesktopServices::openUrl(QUrl(MakeLinkAddress(text()), QUrl::TolerantMode));
}

void CLinkStatic::CopyLink() {
    QClipboard* pClipboard = QGuiApplication::clipboard();
    if (pClipboard == nullptr) return;
    auto* pData = new QMimeData;
    const QString strText = text();
    pData->setText(strText);
    pData->setData(QStringLiteral("text/plain;charset=utf-8"), strText.toUtf8());
    pClipboard->setMimeData(pData);
}

QMenu* CLinkStatic::CreateLinkMenu(QWidget* pMenuParent) {
    auto* pMenu = new QMenu(pMenuParent);
    QAction* pOpen = pMenu->addAction(tr("&Open"), this, &CLinkStatic::OpenLink);
    pOpen->setData(ID_LINK_OPEN);
    QAction* pCopy = pMenu->addAction(tr("&Copy"), this, &CLinkStatic::CopyLink);
    pCopy->setData(ID_LINK_COPY);
    return pMenu;
}

void CLinkStatic::mousePressEvent(QMouseEvent* pEvent) {
    if (pEvent->button() == Qt::LeftButton) {
        m_bPressed = true;
        pEvent->accept();
        return;
    }
    QLabel::mousePressEvent(pEvent);
}

void CLinkStatic::mouseReleaseEvent(QMouseEvent* pEvent) {
    if (pEvent->button() == Qt::LeftButton && m_bPressed) {
        m_bPressed = false;
        pEvent->accept();
        // A press dragged off the link and released elsewhere is no click.
        if (rect().contains(pEvent->position().toPoint())) OpenLink();
        return;
    }
    QLabel::mouseReleaseEvent(pEvent);
}

void CLinkStatic::mouseDoubleClickEvent(QMouseEvent* pEvent) {
    // The first click of a double click has opened the link already; Qt would
    // take the second one for a new press and open it once more.
    if (pEvent->button() == Qt::LeftButton) {
        pEvent->accept();
        return;
    }
    QLabel::mouseDoubleClickEvent(pEvent);
}

void CLinkStatic::keyPressEvent(QKeyEvent* pEvent) {
    if (pEvent->modifiers() == Qt::NoModifier || pEvent->modifiers() == Qt::KeypadModifier) {
        switch (pEvent->key()) {
            case Qt::Key_Return:
            case Qt::Key_Enter:
            case Qt::Key_Space:
                // Taken here, so the dialog's default button does not see it.
                pEvent->accept();
                OpenLink();
                return;
            default:
                break;
        }
    }
    QLabel::keyPressEvent(pEvent);
}

void CLinkStatic::paintEvent(QPaintEvent* pEvent) {
    QLabel::paintEvent(pEvent);
    if (!hasFocus()) return;
    // The focus frame hugs the text, which is narrower than the field.
    QStyleOptionFocusRect option;
    option.initFrom(this);
    const int nTextWidth = fontMetrics().horizontalAdvance(text()) + 4;
    option.rect = contentsRect();
    option.rect.setWidth(std::min(option.rect.width(), nTextWidth));
    option.backgroundColor = palette().color(QPalette::Window);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
}

void CLinkStatic::contextMenuEvent(QContextMenuEvent* pEvent) {
    QMenu* pMenu = CreateLinkMenu(this);
    pMenu->exec(pEvent->globalPos());
    delete pMenu;
    pEvent->accept();
}
