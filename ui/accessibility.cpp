#include "accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QContextMenuEvent>
#include <QtGlobal>

#include "link_static.h"

namespace {

// A link: pressed opens its address, ShowMenu offers Open and Copy. Its name
// is the address it opens, unless the host gave it one.
class CLinkAccessible : public QAccessibleWidget {
public:
    explicit CLinkAccessible(CLinkStatic* pLink) : QAccessibleWidget(pLink, QAccessible::Link) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name && Link()->accessibleName().isEmpty()) {
            return CLinkStatic::MakeLinkAddress(Link()->text());
        }
        if (t == QAccessible::Value) return Link()->text();
        return QAccessibleWidget::text(t);
    }

    QStringList actionNames() const override {
        return QStringList{pressAction(), showMenuAction()} + QAccessibleWidget::actionNames();
    }

    void doAction(const QString& strAction) override {
        if (strAction == pressAction()) {
            Link()->OpenLink();
        } else if (strAction == showMenuAction()) {
            // Posted: the menu runs a loop of its own, which must not run
            // inside the screen reader's request.
            const QPoint pt = Link()->rect().center();
            QCoreApplication::postEvent(
                Link(), new QContextMenuEvent(QContextMenuEvent::Keyboard, pt, Link()->mapToGlobal(pt)));
        } else {
            QAccessibleWidget::doAction(strAction);
        }
    }

private:
    CLinkStatic* Link() const { return static_cast<CLinkStatic*>(widget()); }
};

// The status pane: a notification whose name is the text shown.
class CStatusPaneAccessible : public QAccessibleWidget {
public:
    explicit CStatusPaneAccessible(QLabel* pPane) : QAccessibleWidget(pPane, QAccessible::Notification) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name) return static_cast<QLabel*>(widget())->text();
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface* CreateAccessible(const QString& strClass, QObject* pObject) {
    if (strClass == QLatin1String("CLinkStatic"))
        return new CLinkAccessible(static_cast<CLinkStatic*>(pObject));
    if (strClass == QLatin1String("CStatusPane"))
        return new CStatusPaneAccessible(static_cast<QLabel*>(pObject));
    return nullptr;
}

}  // namespace

void InstallAccessibleFactory() {
    static const bool bInstalled = [] {
        QAccessible::installFactory(CreateAccessible);
        return true;
    }();
    (void)bInstalled;
}

CStatusPane::CStatusPane(QWidget* pParent) : QLabel(pParent) {
    InstallAccessibleFactory();
    setTextFormat(Qt::PlainText);
}

void CStatusPane::Announce() {
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    QAccessibleAnnouncementEvent event(this, text());
    event.setPoliteness(QAccessible::AnnouncementPoliteness::Polite);
    QAccessible::updateAccessibility(&event);
#else
    QAccessibleEvent event(this, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&event);
#endif
    emit Announced(text());
}
