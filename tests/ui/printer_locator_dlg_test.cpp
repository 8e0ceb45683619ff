// The main window on Qt's offscreen platform, with fake providers.
#include <QAccessible>
#include <QAction>
#include <QClipboard>
#include <QDesktopServices>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>
#include <atomic>
#include <memory>
#include <vector>

#include "accessibility.h"
#include "fake_provider.h"
#include "printer_locator_app.h"
#include "printer_locator_dlg.h"
#include "ui_test_util.h"

namespace {

struct FakePrinter {
    std::u16string strName, strIp, strUrl;
};

// Providers whose searches the test controls: each appends its printers,
// then holds until released (or stopped) when asked to.
struct CFakes {
    std::vector<FakePrinter> aMdns, aUpnp;
    bool bBlockSearches = false;
    CFakeProvider* pMdns = nullptr;
    CFakeProvider* pUpnp = nullptr;

    CPrinterLocatorDlg::ProviderFactory Factory() {
        return [this] {
            auto script = [this](const std::vector<FakePrinter>* pList) {
                return [this, pList](CFakeProvider& p) {
                    for (const FakePrinter& f : *pList) p.Append(f.strName, f.strIp, f.strUrl);
                    if (bBlockSearches) p.BlockSearch();
                };
            };
            auto mdns = std::make_unique<CFakeProvider>(PROVIDER_KIND_MDNS, u"MDNS", script(&aMdns));
            auto upnp = std::make_unique<CFakeProvider>(PROVIDER_KIND_UPNP, u"UPNP", script(&aUpnp));
            pMdns = mdns.get();
            pUpnp = upnp.get();
            ProviderArray a;
            a.push_back(std::move(mdns));
            a.push_back(std::move(upnp));
            return a;
        };
    }
    void UnblockSearches() {
        pMdns->UnblockSearch();
        pUpnp->UnblockSearch();
    }
};

QStringList Column(QTreeWidget* pList, int nColumn) {
    QStringList out;
    for (int i = 0; i < pList->topLevelItemCount(); ++i) out << pList->topLevelItem(i)->text(nColumn);
    return out;
}

void ClickHeader(QTreeWidget* pList, int nSection) {
    QHeaderView* pHeader = pList->header();
    const QPoint pt(pHeader->sectionViewportPosition(nSection) + 10, pHeader->height() / 2);
    QTest::mouseClick(pHeader->viewport(), Qt::LeftButton, {}, pt);
}

}  // namespace

class CPrinterLocatorDlgTest : public QObject {
    Q_OBJECT

    std::unique_ptr<CTestDirectory> m_pDir;
    CFakes m_fakes;
    std::unique_ptr<CPrinterLocatorDlg> m_pDlg;

    CPrinterLocatorDlg* Open() {
        m_pDlg = std::make_unique<CPrinterLocatorDlg>(m_fakes.Factory());
        m_pDlg->show();
        m_pDlg->activateWindow();
        if (!QTest::qWaitForWindowActive(m_pDlg.get())) return nullptr;
        return m_pDlg.get();
    }
    QAction* Action(int nCommand) { return m_pDlg->GetAction(nCommand); }
    // Stops the window's running 100 ms timer so the test gives the ticks.
    QTimer* TakeOverTimer() {
        auto* pTimer = m_pDlg->findChild<QTimer*>(QString(), Qt::FindDirectChildrenOnly);
        if (pTimer == nullptr || !pTimer->isActive() || pTimer->interval() != 100) return nullptr;
        pTimer->stop();
        return pTimer;
    }
    QList<QUrl> m_aUrls;

public slots:
    void RecordUrl(const QUrl& url) { m_aUrls << url; }

private:
    // A full scan to its count text.
    bool Scan(const QString& strCount) {
        QTest::keyClick(m_pDlg.get(), Qt::Key_F5);
        return QTest::qWaitFor([&] { return m_pDlg->GetStatusText() == strCount; }, 3000);
    }

private slots:
    void init() {
        m_pDir = std::make_unique<CTestDirectory>();
        m_fakes = CFakes{};
        // The packet list is process-wide: start each window from an empty one,
        // as the program does.
        CFakeProvider(PROVIDER_KIND_UPNP, u"RESET").ResetData();
    }
    void cleanup() {
        m_pDlg.reset();
        m_pDir.reset();
    }

    void menuBarAndListAsBuilt() {
        QVERIFY(Open());
        QCOMPARE(m_pDlg->windowTitle(), QStringLiteral("Halvet Printer Locator"));
        QMenuBar* pBar = m_pDlg->findChild<QMenuBar*>();
        QVERIFY(pBar);
        QStringList titles;
        for (QAction* a : pBar->actions()) titles << a->text();
        QCOMPARE(titles, (QStringList{"&Actions", "&Printer", "?"}));

        struct Item {
            int nCommand;
            const char* pszText;
            QKeySequence key;
            bool bEnabled;
        };
        const Item items[] = {
            {ID_ACTIONS_SCANNETWORK, "&Scan Network", QKeySequence(Qt::Key_F5), true},
            {ID_ACTIONS_STOPSCAN, "S&top Scan", QKeySequence(Qt::CTRL | Qt::Key_C), false},
            {ID_ACTIONS_OPTIONS, "&Options", QKeySequence(Qt::CTRL | Qt::Key_O), true},
            {ID_ACTIONS_EXIT, "&Exit", QKeySequence(Qt::ALT | Qt::Key_F4), true},
            {ID_PRINTER_DETAILS, "&Details", QKeySequence(Qt::CTRL | Qt::Key_D), true},
            {ID_HELP_HELP, "&Help", QKeySequence(Qt::Key_F1), true},
            {ID_HELP_ABOUT, "&About", QKeySequence(), true},
        };
        for (const Item& item : items) {
            QAction* a = Action(item.nCommand);
            QVERIFY2(a, item.pszText);
            QCOMPARE(a->text(), QString::fromLatin1(item.pszText));
            QCOMPARE(a->shortcut(), item.key);
            QCOMPARE(a->isEnabled(), item.bEnabled);
        }
        // separators: after Options and after Help
        const QList<QAction*> actions = pBar->actions()[0]->menu()->actions();
        QCOMPARE(actions.size(), 5);
        QVERIFY(actions[3]->isSeparator());
        QVERIFY(pBar->actions()[2]->menu()->actions()[1]->isSeparator());

        QTreeWidget* pList = m_pDlg->GetListView();
        QCOMPARE(pList->headerItem()->text(0), QStringLiteral("Printer"));
        QCOMPARE(pList->headerItem()->text(1), QStringLiteral("IP Address"));
        QCOMPARE(pList->columnWidth(0), 190);
        QCOMPARE(pList->columnWidth(1), 180);
        QCOMPARE(pList->selectionMode(), QAbstractItemView::SingleSelection);
        QCOMPARE(pList->selectionBehavior(), QAbstractItemView::SelectRows);
        QVERIFY(pList->isEnabled());
    }

    void screenReaderHearsTheEndOfEachScan() {
        m_fakes.aMdns = {{u"Office", u"10.0.0.1", u""}};
        m_fakes.aUpnp = {{u"Lab", u"10.0.0.2", u""}};
        m_pDlg = std::make_unique<CPrinterLocatorDlg>(m_fakes.Factory());
        QStringList aAnnounced;
        connect(m_pDlg->findChild<CStatusPane*>(), &CStatusPane::Announced, this,
                [&](const QString& strText) { aAnnounced << strText; });
        m_pDlg->show();
        m_pDlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_pDlg.get()));

        // Qt hands the header item's description to the column header.
        QAccessibleInterface* pList = QAccessible::queryAccessibleInterface(m_pDlg->GetListView());
        QCOMPARE(pList->child(1)->role(), QAccessible::ColumnHeader);
        QVERIFY(pList->child(1)->text(QAccessible::Description).contains(QStringLiteral("IP address")));
        QAccessibleInterface* pPane =
            QAccessible::queryAccessibleInterface(m_pDlg->findChild<QLabel*>("statusPane"));
        QCOMPARE(pPane->role(), QAccessible::Notification);

        // The start-up count is not news; the end of each scan is, once, with
        // the count that has caught up with the rows, also after Stop Scan.
        QTRY_COMPARE_WITH_TIMEOUT(m_pDlg->GetStatusText(), QStringLiteral("0 devices found."), 1000);
        QVERIFY(Scan(QStringLiteral("2 devices found.")));
        QTest::qWait(350);
        QCOMPARE(aAnnounced, QStringList{QStringLiteral("2 devices found.")});
        QCOMPARE(pPane->text(QAccessible::Name), QStringLiteral("2 devices found."));
        m_fakes.aMdns.clear();
        m_fakes.bBlockSearches = true;
        QTest::keyClick(m_pDlg.get(), Qt::Key_F5);
        // Stop only once the UPnP thread has handed its row over.
        QTRY_COMPARE_WITH_TIMEOUT(m_pDlg->GetListView()->topLevelItemCount(), 1, 2000);
        QTest::keyClick(m_pDlg.get(), Qt::Key_C, Qt::ControlModifier);
        QTRY_COMPARE_WITH_TIMEOUT(aAnnounced.size(), 2, 1000);
        QCOMPARE(aAnnounced.last(), QStringLiteral("1 device found."));
    }

    void countTextAppearsAtTheFirstTickWithoutAScan() {
        m_pDlg = std::make_unique<CPrinterLocatorDlg>(m_fakes.Factory());
        // Showing starts the window's timer; no tick can run before the test
        // takes it over, as no event is processed in between.
        m_pDlg->show();
        QTimer* pTimer = TakeOverTimer();
        QVERIFY(pTimer);
        QCOMPARE(m_pDlg->GetStatusText(), QString());
        m_pDlg->OnTimer();
        QCOMPARE(m_pDlg->GetStatusText(), QStringLiteral("0 devices found."));
        QCOMPARE(m_fakes.pMdns->m_nSearches.load(), 0);
        QCOMPARE(m_fakes.pUpnp->m_nSearches.load(), 0);
    }

    void scanStatesAndKeys() {
        m_fakes.aMdns = {{u"Office", u"10.0.0.1", u""}};
        m_fakes.aUpnp = {{u"Lab", u"10.0.0.2", u""}};
        m_fakes.bBlockSearches = true;
        QVERIFY(Open());
        QTest::keyClick(m_pDlg.get(), Qt::Key_F5);
        // scanning: status, list, menu
        QCOMPARE(m_pDlg->GetStatusText(), QStringLiteral("Searching..."));
        QVERIFY(!m_pDlg->GetListView()->isEnabled());
        QVERIFY(!Action(ID_ACTIONS_SCANNETWORK)->isEnabled());
        QVERIFY(Action(ID_ACTIONS_STOPSCAN)->isEnabled());
        // rows appear while the providers still search
        QTRY_COMPARE_WITH_TIMEOUT(m_pDlg->GetListView()->topLevelItemCount(), 2, 2000);
        QCOMPARE(m_pDlg->GetStatusText(), QStringLiteral("Searching..."));
        // F5 is grayed: no second search
        QTest::keyClick(m_pDlg.get(), Qt::Key_F5);
        QTest::qWait(150);
        QCOMPARE(m_fakes.pMdns->m_nSearches.load(), 1);

        m_fakes.UnblockSearches();
        QTRY_COMPARE_WITH_TIMEOUT(m_pDlg->GetStatusText(), QStringLiteral("2 devices found."), 2000);
        QVERIFY(m_pDlg->GetListView()->isEnabled());
        QVERIFY(Action(ID_ACTIONS_SCANNETWORK)->isEnabled());
        QVERIFY(!Action(ID_ACTIONS_STOPSCAN)->isEnabled());
        // one printer from each provider; their search threads append in either order
        QStringList names = Column(m_pDlg->GetListView(), 0);
        names.sort();
        QCOMPARE(names, (QStringList{"Lab", "Office"}));
    }

    void stopScanKeepsWhatWasFound() {
        m_fakes.aMdns = {{u"Office", u"10.0.0.1", u""}};
        m_fakes.bBlockSearches = true;
        QVERIFY(Open());
        QTest::keyClick(m_pDlg.get(), Qt::Key_F5);
        QTRY_COMPARE_WITH_TIMEOUT(m_pDlg->GetListView()->topLevelItemCount(), 1, 2000);
        QTest::keyClick(m_pDlg.get(), Qt::Key_C, Qt::ControlModifier);
        // menu and list at once, the text at the next tick
        QVERIFY(m_pDlg->GetListView()->isEnabled());
        QVERIFY(Action(ID_ACTIONS_SCANNETWORK)->isEnabled());
        QVERIFY(!Action(ID_ACTIONS_STOPSCAN)->isEnabled());
        QCOMPARE(m_pDlg->GetStatusText(), QStringLiteral("Searching..."));
        QVERIFY(!m_fakes.pMdns->IsSearching());
        QTRY_COMPARE_WITH_TIMEOUT(m_pDlg->GetStatusText(), QStringLiteral("1 device found."), 1000);
        QCOMPARE(m_pDlg->GetPrinters().GetCount(), 1);
    }

    void countTexts_data() {
        QTest::addColumn<int>("nPrinters");
        QTest::addColumn<QString>("strText");
        QTest::newRow("none") << 0 << "0 devices found.";
        QTest::newRow("one") << 1 << "1 device found.";
        QTest::newRow("two") << 2 << "2 devices found.";
        QTest::newRow("twelve") << 12 << "12 devices found.";
    }
    void countTexts() {
        QFETCH(int, nPrinters);
        QFETCH(QString, strText);
        for (int i = 0; i < nPrinters; ++i) {
            const std::string ip = "10.0.1." + std::to_string(i + 1);
            m_fakes.aUpnp.push_back({u"p", std::u16string(ip.begin(), ip.end()), u""});
        }
        // a duplicate address from the other method adds no row
        if (nPrinters > 0) m_fakes.aMdns.push_back({u"dup", u"10.0.1.1", u""});
        QVERIFY(Open());
        QVERIFY(Scan(strText));
        QCOMPARE(m_pDlg->GetListView()->topLevelItemCount(), nPrinters);
    }

    void bothOptionsOffStartsNothing() {
        m_fakes.aMdns = {{u"Office", u"10.0.0.1", u""}, {u"Lab", u"10.0.0.2", u""}};
        QVERIFY(Open());
        QVERIFY(Scan(QStringLiteral("2 devices found.")));
        QTimer* pTimer = TakeOverTimer();
        QVERIFY(pTimer);
        m_pDlg->GetSearchOptions().bMdnsEnabled = 0;
        m_pDlg->GetSearchOptions().bUpnpEnabled = 0;
        m_pDlg->StartScan();
        QCOMPARE(m_pDlg->GetStatusText(), QStringLiteral("Searching..."));
        // The first idle tick counts the rows still shown, before its rebuild
        // empties the view; the next one counts the empty view.
        m_pDlg->OnTimer();
        QCOMPARE(m_pDlg->GetStatusText(), QStringLiteral("2 devices found."));
        QCOMPARE(m_pDlg->GetListView()->topLevelItemCount(), 0);
        m_pDlg->OnTimer();
        QCOMPARE(m_pDlg->GetStatusText(), QStringLiteral("0 devices found."));
        QCOMPARE(m_fakes.pMdns->m_nSearches.load(), 1);
        QCOMPARE(m_fakes.pUpnp->m_nSearches.load(), 1);
        // availability is still asked
        QCOMPARE(m_fakes.pMdns->m_nAvailableCalls.load(), 2);
    }

    void idleCtrlCDoesNotCopyTheCell() {
        m_fakes.aMdns = {{u"Office", u"10.0.0.1", u""}};
        QVERIFY(Open());
        QVERIFY(Scan(QStringLiteral("1 device found.")));
        QTreeWidget* pList = m_pDlg->GetListView();
        pList->setFocus();
        pList->setCurrentItem(pList->topLevelItem(0));
        QApplication::clipboard()->setText(QStringLiteral("untouched"));
        QTest::keyClick(pList, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("untouched"));
        // and no scan started or stopped
        QCOMPARE(m_fakes.pMdns->m_nSearches.load(), 1);
    }

    void returnDoesNothingDoubleClickOpensDetails() {
        m_fakes.aMdns = {{u"Office", u"10.0.0.1", u"http://office/"}};
        QVERIFY(Open());
        QVERIFY(Scan(QStringLiteral("1 device found.")));
        QTreeWidget* pList = m_pDlg->GetListView();
        pList->setFocus();
        pList->setCurrentItem(pList->topLevelItem(0));
        CModalWatcher watcher;
        QTest::keyClick(pList, Qt::Key_Return);
        QTest::keyClick(pList, Qt::Key_Enter);
        QTest::qWait(100);
        QCOMPARE(watcher.Seen(), 0);
        QVERIFY(m_pDlg->isVisible());

        const QRect rect = pList->visualItemRect(pList->topLevelItem(0));
        QTest::mouseClick(pList->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseDClick(pList->viewport(), Qt::LeftButton, {}, rect.center());
        QTRY_COMPARE_WITH_TIMEOUT(watcher.Seen(), 1, 2000);
        QCOMPARE(watcher.LastClass(), QStringLiteral("CPrinterDetailsDlg"));
    }

    void escapeAndExitEndTheWindow_data() {
        QTest::addColumn<int>("nWay");
        QTest::newRow("Esc") << 0;
        QTest::newRow("Exit") << 1;
        QTest::newRow("close box") << 2;
        QTest::newRow("Alt+F4") << 3;
    }
    void escapeAndExitEndTheWindow() {
        QFETCH(int, nWay);
        QVERIFY(Open());
        QSignalSpy finished(m_pDlg.get(), &QDialog::finished);
        switch (nWay) {
            case 0:
                QTest::keyClick(m_pDlg.get(), Qt::Key_Escape);
                break;
            case 1:
                Action(ID_ACTIONS_EXIT)->trigger();
                break;
            case 2:
                m_pDlg->close();
                break;
            default:
                QTest::keyClick(m_pDlg.get(), Qt::Key_F4, Qt::AltModifier);
                break;
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 1000);
        QCOMPARE(finished.at(0).at(0).toInt(), 0);
        QVERIFY(!m_pDlg->isVisible());
    }

    void settingsAreSavedWhenTheWindowGoesEvenDuringAScan() {
        m_fakes.bBlockSearches = true;
        QVERIFY(Open());
        QVERIFY(m_pDir->TraceIndexOf(QStringLiteral("Halvet Printer Locator started.")) >= 0);
        m_pDlg->GetSearchOptions().bUpnpEnabled = 0;
        QTest::keyClick(m_pDlg.get(), Qt::Key_F5);
        QTRY_VERIFY_WITH_TIMEOUT(m_fakes.pMdns->IsSearching(), 1000);
        m_pDlg->close();
        QElapsedTimer timer;
        timer.start();
        m_pDlg.reset();
        QVERIFY(timer.elapsed() < 2000);
        QCOMPARE(m_pDir->ReadFile(QStringLiteral("hvl.cfg")), QByteArray("\x01\0\0\0\x01\0\0\0\0\0\0\0", 12));
        const int nFinished = m_pDir->TraceIndexOf(QStringLiteral("Halvet Printer Locator finished."));
        QVERIFY(nFinished > m_pDir->TraceIndexOf(QStringLiteral("Halvet Printer Locator started.")));
        QVERIFY(nFinished > m_pDir->TraceIndexOf(QStringLiteral("MDNS: Searchthread terminated.")));
    }

    void settingsAreReadAtConstruction() {
        QFile cfg(m_pDir->Path(QStringLiteral("hvl.cfg")));
        QVERIFY(cfg.open(QIODevice::WriteOnly));
        cfg.write(QByteArray("\x01\0\0\0\0\0\0\0", 8));  // short file: UPnP keeps its default
        cfg.close();
        QVERIFY(Open());
        QCOMPARE(m_pDlg->GetSearchOptions().bMdnsEnabled, 0);
        QCOMPARE(m_pDlg->GetSearchOptions().bUpnpEnabled, 1);
        QVERIFY(Scan(QStringLiteral("0 devices found.")));
        QCOMPARE(m_fakes.pMdns->m_nSearches.load(), 0);
        QCOMPARE(m_fakes.pUpnp->m_nSearches.load(), 1);
    }

    void statusTextIsWrittenOnlyWhenItChanges() {
        QVERIFY(Open());
        auto* pPane = m_pDlg->findChild<QLabel*>(QStringLiteral("statusPane"));
        QVERIFY(pPane);
        m_pDlg->SetStatusText(QStringLiteral("Searching..."));
        m_pDlg->SetStatusText(QStringLiteral("SEARCHING..."));
        QCOMPARE(pPane->text(), QStringLiteral("Searching..."));
        m_pDlg->SetStatusText(QStringLiteral("Searching.."));
        QCOMPARE(pPane->text(), QStringLiteral("Searching.."));
    }

    void sortAlternatesAcrossBothColumns() {
        // One provider finds them all: the two search threads would append
        // in either order, and the order of adding is compared below.
        m_fakes.aMdns = {{u"beta", u"10.0.0.9", u"http://b/"},
                         {u"Alpha", u"10.0.0.10", u"http://a/"},
                         {u"_x", u"10.0.0.2", u"http://x/"},
                         {u"late", u"10.0.0.50", u""}};
        m_fakes.bBlockSearches = true;
        QVERIFY(Open());
        QTest::keyClick(m_pDlg.get(), Qt::Key_F5);
        QTRY_COMPARE_WITH_TIMEOUT(m_pDlg->GetListView()->topLevelItemCount(), 4, 2000);
        QTreeWidget* pList = m_pDlg->GetListView();
        // a disabled list takes no header clicks
        ClickHeader(pList, 0);
        QCOMPARE(m_pDlg->GetSortState(), -1);
        QTest::keyClick(m_pDlg.get(), Qt::Key_C, Qt::ControlModifier);  // Stop Scan
        QCOMPARE(m_pDlg->GetSortState(), -1);

        struct Step {
            int nSection;
            int nState;
            QStringList names;
            Qt::SortOrder order;
        };
        const Step steps[] = {
            {0, 0, {"_x", "Alpha", "beta", "late"}, Qt::AscendingOrder},
            {1, 1, {"beta", "late", "_x", "Alpha"}, Qt::DescendingOrder},  // 9, 50, 2, 10
            {1, 0, {"Alpha", "_x", "late", "beta"}, Qt::AscendingOrder},   // 10, 2, 50, 9
            {0, 1, {"late", "beta", "Alpha", "_x"}, Qt::DescendingOrder},
        };
        for (const Step& s : steps) {
            ClickHeader(pList, s.nSection);
            QCOMPARE(m_pDlg->GetSortState(), s.nState);
            QCOMPARE(Column(pList, 0), s.names);
            QVERIFY(pList->header()->isSortIndicatorShown());
            QCOMPARE(pList->header()->sortIndicatorSection(), s.nSection);
            QCOMPARE(pList->header()->sortIndicatorOrder(), s.order);
        }
        // the selected row's printer is found through its address in any order
        pList->clearSelection();
        pList->topLevelItem(2)->setSelected(true);
        const auto printer = m_pDlg->GetSelectedPrinter();
        QVERIFY(printer.has_value());
        QCOMPARE(QString::fromStdU16String(printer->strName), QStringLiteral("Alpha"));
        QCOMPARE(QString::fromStdU16String(printer->strUrl), QStringLiteral("http://a/"));
        // the printer list itself keeps the order of adding
        QCOMPARE(QString::fromStdU16String(m_pDlg->GetPrinters().GetAt(0).strName), QStringLiteral("beta"));
    }

    void secondScanRebuildsInTheOrderOfAdding() {
        m_fakes.aMdns = {{u"b", u"10.0.0.2", u""}, {u"a", u"10.0.0.1", u""}};
        QVERIFY(Open());
        QVERIFY(Scan(QStringLiteral("2 devices found.")));
        QTreeWidget* pList = m_pDlg->GetListView();
        ClickHeader(pList, 0);
        QCOMPARE(Column(pList, 0), (QStringList{"a", "b"}));
        pList->topLevelItem(0)->setSelected(true);

        m_fakes.aMdns = {{u"c", u"10.0.0.3", u""}, {u"b", u"10.0.0.2", u""}, {u"a", u"10.0.0.1", u""}};
        m_fakes.bBlockSearches = true;
        QTest::keyClick(m_pDlg.get(), Qt::Key_F5);
        // the old rows stay until the first rebuild
        QCOMPARE(pList->topLevelItemCount(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(pList->topLevelItemCount(), 3, 2000);
        QCOMPARE(Column(pList, 0), (QStringList{"c", "b", "a"}));
        QVERIFY(pList->selectedItems().isEmpty());
        QVERIFY(!pList->header()->isSortIndicatorShown());
        QCOMPARE(m_pDlg->GetSortState(), 0);  // a rebuild keeps the direction state
        m_fakes.UnblockSearches();
        QTRY_COMPARE_WITH_TIMEOUT(m_pDlg->GetStatusText(), QStringLiteral("3 devices found."), 2000);
        ClickHeader(pList, 0);
        QCOMPARE(Column(pList, 0), (QStringList{"c", "b", "a"}));  // descending: the alternation goes on
    }

    void selectedPrinterNeedsAnAddress() {
        m_fakes.aMdns = {{u"no address", u"", u""}, {u"Office", u"10.0.0.1", u""}};
        QVERIFY(Open());
        QVERIFY(Scan(QStringLiteral("2 devices found.")));
        QTreeWidget* pList = m_pDlg->GetListView();
        QVERIFY(!m_pDlg->GetSelectedPrinter().has_value());
        pList->topLevelItem(0)->setSelected(true);
        QVERIFY(!m_pDlg->GetSelectedPrinter().has_value());
        pList->clearSelection();
        pList->topLevelItem(1)->setSelected(true);
        QCOMPARE(QString::fromStdU16String(m_pDlg->GetSelectedPrinter()->strName), QStringLiteral("Office"));
    }

    void layoutAtMinimumAndLarger_data() {
        QTest::addColumn<QSize>("requested");  // outer sizes
        QTest::addColumn<QSize>("expected");
        QTest::newRow("too small") << QSize(100, 120) << QSize(382, 382);
        QTest::newRow("minimum") << QSize(382, 382) << QSize(382, 382);
        QTest::newRow("larger") << QSize(800, 600) << QSize(800, 600);
    }
    void layoutAtMinimumAndLarger() {
        QFETCH(QSize, requested);
        QFETCH(QSize, expected);
        QVERIFY(Open());
        // sizes are outer sizes: the frame counts
        const QSize frame = m_pDlg->frameGeometry().size() - m_pDlg->size();
        m_pDlg->resize(requested - frame);
        QTRY_COMPARE_WITH_TIMEOUT(m_pDlg->frameGeometry().size(), expected, 1000);
        QTreeWidget* pList = m_pDlg->GetListView();
        QStatusBar* pStatus = m_pDlg->findChild<QStatusBar*>();
        QMenuBar* pMenu = m_pDlg->findChild<QMenuBar*>();
        QCOMPARE(pList->geometry().left(), 0);
        QCOMPARE(pList->width(), m_pDlg->width());
        QCOMPARE(pList->geometry().top(), pMenu->geometry().bottom() + 1);
        QCOMPARE(pStatus->geometry().top(), pList->geometry().bottom() + 1);
        QCOMPARE(pStatus->geometry().bottom(), m_pDlg->height() - 1);
        QCOMPARE(pStatus->width(), m_pDlg->width());
    }

    void commandKeysReachTheirCommands() {
        m_fakes.aMdns = {{u"Office", u"10.0.0.1", u"http://office/"}};
        QVERIFY(Open());
        QVERIFY(Scan(QStringLiteral("1 device found.")));
        QTreeWidget* pList = m_pDlg->GetListView();
        pList->setFocus();
        pList->setCurrentItem(pList->topLevelItem(0));

        struct Key {
            Qt::Key key;
            Qt::KeyboardModifiers modifiers;
            const char* pszDialog;
        };
        const Key keys[] = {
            {Qt::Key_O, Qt::ControlModifier, "CPrinterLocatorOptionsDlg"},
            {Qt::Key_D, Qt::ControlModifier, "CPrinterDetailsDlg"},
        };
        for (const Key& k : keys) {
            // the window is active again once the previous dialog has gone
            m_pDlg->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(m_pDlg.get()));
            CModalWatcher watcher;
            QTest::keyClick(pList, k.key, k.modifiers);
            QTRY_VERIFY2_WITH_TIMEOUT(watcher.Seen() == 1, k.pszDialog, 2000);
            QCOMPARE(watcher.LastClass(), QString::fromLatin1(k.pszDialog));
        }

        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "RecordUrl");
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "RecordUrl");
        m_aUrls.clear();
        m_pDlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_pDlg.get()));
        QTest::keyClick(pList, Qt::Key_F1);
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
        QCOMPARE(m_aUrls.size(), 1);
        QVERIFY(m_aUrls[0].toString().contains(QStringLiteral("Halvet+Printer+Locator")));
    }

    // --- the application object ---

    void socketsFailureShowsTheBoxAndEnds() {
        CPrinterLocatorApp app;
        app.m_fnCheckSockets = [] { return false; };
        app.m_fnCreateProviders = m_fakes.Factory();
        QString strText;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        CModalWatcher watcher([&](QWidget* w) {
            if (auto* box = qobject_cast<QMessageBox*>(w)) {
                strText = box->text();
                icon = box->icon();
            }
        });
        QVERIFY(!app.InitInstance());
        QCOMPARE(watcher.Seen(), 1);
        QCOMPARE(strText, QStringLiteral("Windows sockets initialization failed."));
        QCOMPARE(icon, QMessageBox::Warning);
        QCOMPARE(m_pDir->TraceIndexOf(QStringLiteral("started.")), -1);
        QVERIFY(!QFile::exists(m_pDir->Path(QStringLiteral("hvl.cfg"))));
    }

    void startUpRunsTheWindowUntilItCloses() {
        CPrinterLocatorApp app;
        app.m_fnCreateProviders = m_fakes.Factory();
        bool bSawStarted = false;
        QString strStatus;
        int nSearches = -1;
        app.m_fnWindowCreated = [&](CPrinterLocatorDlg& dlg) {
            // once the modal run is going: no scan has started on its own
            QTimer::singleShot(300, &dlg, [&] {
                bSawStarted = m_pDir->TraceIndexOf(QStringLiteral("Halvet Printer Locator started.")) >= 0;
                strStatus = dlg.GetStatusText();
                nSearches = m_fakes.pMdns->m_nSearches.load() + m_fakes.pUpnp->m_nSearches.load();
                dlg.close();
            });
        };
        QVERIFY(app.InitInstance());
        QVERIFY(bSawStarted);
        QCOMPARE(strStatus, QStringLiteral("0 devices found."));
        QCOMPARE(nSearches, 0);
        QVERIFY(app.GetMainWnd() == nullptr);
        QCOMPARE(m_pDir->ReadFile(QStringLiteral("hvl.cfg")).size(), 12);
        QVERIFY(m_pDir->TraceIndexOf(QStringLiteral("Halvet Printer Locator finished.")) >= 0);
    }
};

QTEST_MAIN(CPrinterLocatorDlgTest)
#include "printer_locator_dlg_test.moc"
