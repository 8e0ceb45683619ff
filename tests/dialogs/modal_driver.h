// Drives modal dialogs and popup menus from a test: before the blocking
// exec(), arm a driver; it polls for the modal widget (or popup), hands it
// to the action once, and gives up after a time-out so a test never hangs.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QList>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <functional>

class CModalDriver {
public:
    enum class Kind { Modal, Popup };

    // The action runs once, on the first widget found that is not `pIgnore`.
    CModalDriver(Kind kind, std::function<void(QWidget*)> fnAction, QWidget* pIgnore = nullptr,
                 int nTimeoutMs = 5000)
        : m_kind(kind), m_fnAction(std::move(fnAction)), m_pIgnore(pIgnore), m_nTimeoutMs(nTimeoutMs) {
        m_elapsed.start();
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start();
    }

    bool Acted() const { return m_bActed; }
    bool TimedOut() const { return m_bTimedOut; }
    QString SeenClass() const { return m_strSeenClass; }

private:
    void Poll() {
        QWidget* pWidget =
            m_kind == Kind::Modal ? QApplication::activeModalWidget() : QApplication::activePopupWidget();
        if (pWidget != nullptr && pWidget != m_pIgnore && pWidget->isVisible()) {
            m_timer.stop();
            m_bActed = true;
            m_strSeenClass = QString::fromLatin1(pWidget->metaObject()->className());
            m_fnAction(pWidget);
            return;
        }
        if (m_elapsed.elapsed() > m_nTimeoutMs) {
            m_timer.stop();
            m_bTimedOut = true;
            // Close whatever blocks, so the test fails instead of hanging.
            if (QWidget* pModal = QApplication::activeModalWidget()) pModal->close();
            if (QWidget* pPopup = QApplication::activePopupWidget()) pPopup->close();
        }
    }

    Kind m_kind;
    std::function<void(QWidget*)> m_fnAction;
    QWidget* m_pIgnore;
    int m_nTimeoutMs;
    QTimer m_timer;
    QElapsedTimer m_elapsed;
    bool m_bActed = false;
    bool m_bTimedOut = false;
    QString m_strSeenClass;
};

// Records every URL handed to QDesktopServices::openUrl while it lives.
class CUrlRecorder : public QObject {
    Q_OBJECT

public:
    CUrlRecorder();
    ~CUrlRecorder() override;

    QList<QUrl> m_aUrls;

public slots:
    void Record(const QUrl& url) { m_aUrls.append(url); }
};

// The push button of a dialog with the given text, or null.
inline QPushButton* FindButton(QWidget* pParent, const QString& strText) {
    for (QPushButton* pButton : pParent->findChildren<QPushButton*>()) {
        if (pButton->text() == strText) return pButton;
    }
    return nullptr;
}
