// The main window's commands: details, options, help and about, driven as a
// user would (menus, keys, right and double clicks) with fake providers.
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <QWindow>

#include "about_box.h"
#include "fake_provider.h"
#include "link_static.h"
#include "modal_driver.h"
#include "printer_details_dlg.h"
#include "printer_locator_dlg.h"
#include "printer_locator_options_dlg.h"
#include "trace_log.h"

namespace {

struct CPrinterSpec {
    const char16_t* pszName;
    const char16_t* pszIp;
    const char16_t* pszUrl;
};

const CPrinterSpec PRINTERS[] = {
    {u"Beta Laser", u"10.0.0.9", u"http://10.0.0.9/beta"},
    {u"alpha Inkjet", u"10.0.0.10", u"http://10.0.0.10/Alpha"},
    {u"Gamma MFP", u"10.0.0.2", u""},
};

// What a details dialog showed.
struct CShown {
    QString strTitle, strName, strIp, strUrl;
};

CShown ReadDetails(QWidget* pDialog) {
    auto* pDlg = qobject_cast<CPrinterDetailsDlg*>(pDialog);
    if (pDlg == nullptr) return {};
    return {pDlg->windowTitle(), pDlg->GetNameEdit()->text(), pDlg->GetIpAddressLink()->text(),
            pDlg->GetUrlLink()->text()};
}

}  // namespace

class CTestCommands : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void detailsOfSelectedRowAfterSorting_data();
    void detailsOfSelectedRowAfterSorting();
    void nothingWithoutSelection();
    void clickBelowTheRowsClearsTheSelection_data();
    void clickBelowTheRowsClearsTheSelection();
    void detailsItemFollowsSelection();
    void optionsCancelChangesNothing();
    void optionsOkDuringScanLeavesScanAlone();
    void optionsShowAvailabilityWhenOpened();
    void optionsOpenAtOwnersCornerWithOkFocused();
    void helpOpensWebSearch();
    void helpFailureIsTraced();
    void aboutShowsOwnVersionBlock();
    void keysActFromDialogsAndMenus_data();
    void keysActFromDialogsAndMenus();

private:
    // A window whose mDNS and UPnP providers are fakes; mDNS lists PRINTERS.
    void MakeWindow(CFakeProvider::Script fnMdns = {}, CFakeProvider::Script fnUpnp = {});
    void ScanToEnd();
    void SelectRowOf(const QString& strIp);
    void ActivateWindow();
    bool DetailsOpened(const std::function<void()>& fnTrigger, CShown* pShown = nullptr);

    QTemporaryDir* m_pDir = nullptr;
    QString m_strOldDir;
    CPrinterLocatorDlg* m_pWnd = nullptr;
    CFakeProvider* m_pMdns = nullptr;
    CFakeProvider* m_pUpnp = nullptr;
};

void CTestCommands::init() {
    // The window reads and writes "hvl.cfg" in the current directory.
    m_pDir = new QTemporaryDir;
    m_strOldDir = QDir::currentPath();
    QDir::setCurrent(m_pDir->path());
}

void CTestCommands::cleanup() {
    delete m_pWnd;
    m_pWnd = nullptr;
    QDir::setCurrent(m_strOldDir);
    delete m_pDir;
    m_pDir = nullptr;
}

void CTestCommands::MakeWindow(CFakeProvider::Script fnMdns, CFakeProvider::Script fnUpnp) {
    if (!fnMdns) {
        fnMdns = [](CFakeProvider& p) {
            for (const CPrinterSpec& printer : PRINTERS)
                p.Append(printer.pszName, printer.pszIp, printer.pszUrl);
        };
    }
    m_pWnd = new CPrinterLocatorDlg([&] {
        ProviderArray aProviders;
        auto pMdns = std::make_unique<CFakeProvider>(PROVIDER_KIND_MDNS, u"MDNS", fnMdns);
        auto pUpnp = std::make_unique<CFakeProvider>(PROVIDER_KIND_UPNP, u"UPNP", fnUpnp);
        m_pMdns = pMdns.get();
        m_pUpnp = pUpnp.get();
        aProviders.push_back(std::move(pMdns));
        aProviders.push_back(std::move(pUpnp));
        return aProviders;
    });
    m_pWnd->show();
    m_pWnd->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_pWnd));
}

void CTestCommands::ActivateWindow() {
    // Keys reach the window's shortcuts only while it is the active window,
    // which it may not be again at once after a modal dialog closed.
    m_pWnd->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_pWnd));
}

void CTestCommands::ScanToEnd() {
    m_pWnd->StartScan();
    QTRY_COMPARE_WITH_TIMEOUT(m_pWnd->GetStatusText(), QStringLiteral("3 devices found."), 5000);
    QTRY_COMPARE(m_pWnd->GetListView()->topLevelItemCount(), 3);
}

void CTestCommands::SelectRowOf(const QString& strIp) {
    QTreeWidget* pList = m_pWnd->GetListView();
    for (int i = 0; i < pList->topLevelItemCount(); ++i) {
        if (pList->topLevelItem(i)->text(1) == strIp) {
            pList->setCurrentItem(pList->topLevelItem(i));
            return;
        }
    }
    QFAIL("row not found");
}

bool CTestCommands::DetailsOpened(const std::function<void()>& fnTrigger, CShown* pShown) {
    // Short time-out: when nothing should open, the driver gives up quickly.
    CModalDriver driver(
        CModalDriver::Kind::Modal,
        [&](QWidget* pDialog) {
            if (pShown) *pShown = ReadDetails(pDialog);
            QTest::keyClick(pDialog, Qt::Key_Escape);
        },
        m_pWnd, pShown ? 5000 : 400);
    fnTrigger();
    if (!driver.Acted()) QTest::qWait(500);  // let a late dialog show up, if any
    return driver.Acted() && driver.SeenClass() == QLatin1String("CPrinterDetailsDlg");
}

// ---------------------------------------------------------------------------

void CTestCommands::detailsOfSelectedRowAfterSorting_data() {
    QTest::addColumn<int>("way");  // 0 menu, 1 Ctrl+D, 2 double click, 3 context menu
    QTest::newRow("Printer menu") << 0;
    QTest::newRow("Ctrl+D") << 1;
    QTest::newRow("double click") << 2;
    QTest::newRow("context menu") << 3;
}

void CTestCommands::detailsOfSelectedRowAfterSorting() {
    QFETCH(int, way);
    MakeWindow();
    ScanToEnd();
    // Ascending by address: "10.0.0.10" < "10.0.0.2" < "10.0.0.9".
    m_pWnd->SortPrinterList(1);
    QTreeWidget* pList = m_pWnd->GetListView();
    QCOMPARE(pList->topLevelItem(0)->text(1), QStringLiteral("10.0.0.10"));
    SelectRowOf(QStringLiteral("10.0.0.9"));  // row 2 now, entry 0 of the list

    QTreeWidgetItem* pItem = pList->currentItem();
    const QPoint ptRow = pList->visualItemRect(pItem).center();
    CShown shown;
    const bool bOpened = DetailsOpened(
        [&] {
            switch (way) {
                case 0:
                    m_pWnd->GetAction(ID_PRINTER_DETAILS)->trigger();
                    break;
                case 1:
                    QTest::keyClick(m_pWnd, Qt::Key_D, Qt::ControlModifier);
                    break;
                case 2:
                    QTest::mouseClick(pList->viewport(), Qt::LeftButton, {}, ptRow);
                    QTest::mouseDClick(pList->viewport(), Qt::LeftButton, {}, ptRow);
                    break;
                case 3: {
                    QStringList aEntries;
                    CModalDriver menuDriver(CModalDriver::Kind::Popup, [&](QWidget* pPopup) {
                        auto* pMenu = qobject_cast<QMenu*>(pPopup);
                        for (QAction* pAction : pMenu->actions()) aEntries << pAction->text();
                        pMenu->actions().first()->trigger();
                        pMenu->close();
                    });
                    QTest::mouseClick(m_pWnd->windowHandle(), Qt::RightButton, {},
                                      pList->viewport()->mapTo(m_pWnd, ptRow));
                    QTRY_VERIFY(menuDriver.Acted());
                    QCOMPARE(aEntries, QStringList{QStringLiteral("&Details")});
                    break;
                }
            }
        },
        &shown);
    QVERIFY(bOpened);
    QCOMPARE(shown.strTitle, QStringLiteral("Beta Laser"));
    QCOMPARE(shown.strName, QStringLiteral("Beta Laser"));
    QCOMPARE(shown.strIp, QStringLiteral("10.0.0.9"));
    QCOMPARE(shown.strUrl, QStringLiteral("http://10.0.0.9/beta"));
}

void CTestCommands::nothingWithoutSelection() {
    MakeWindow();
    ScanToEnd();
    QTreeWidget* pList = m_pWnd->GetListView();
    pList->clearSelection();
    QVERIFY(!m_pWnd->GetSelectedPrinter());

    QVERIFY(!DetailsOpened([&] { QTest::keyClick(m_pWnd, Qt::Key_D, Qt::ControlModifier); }));
    QVERIFY(!DetailsOpened([&] { m_pWnd->OnDetails(); }));

    // A right click shows no menu at all.
    CModalDriver menuDriver(
        CModalDriver::Kind::Popup, [](QWidget* pPopup) { pPopup->close(); }, nullptr, 400);
    const QPoint ptBelowRows = QPoint(20, pList->viewport()->height() - 5);
    QTest::mouseClick(m_pWnd->windowHandle(), Qt::RightButton, {},
                      pList->viewport()->mapTo(m_pWnd, ptBelowRows));
    QTest::qWait(500);
    QVERIFY(!menuDriver.Acted());

    // A double click below the rows opens nothing either.
    QVERIFY(!DetailsOpened([&] {
        QTest::mouseClick(pList->viewport(), Qt::LeftButton, {}, ptBelowRows);
        QTest::mouseDClick(pList->viewport(), Qt::LeftButton, {}, ptBelowRows);
    }));

    // The same key does open the details once a row is selected: the
    // silence above came from the missing selection.
    SelectRowOf(QStringLiteral("10.0.0.10"));
    ActivateWindow();
    CShown shown;
    QVERIFY(DetailsOpened([&] { QTest::keyClick(m_pWnd, Qt::Key_D, Qt::ControlModifier); }, &shown));
    QCOMPARE(shown.strIp, QStringLiteral("10.0.0.10"));
}

void CTestCommands::clickBelowTheRowsClearsTheSelection_data() {
    QTest::addColumn<bool>("right");
    QTest::newRow("left click") << false;
    QTest::newRow("right click") << true;
}

void CTestCommands::clickBelowTheRowsClearsTheSelection() {
    QFETCH(bool, right);
    MakeWindow();
    ScanToEnd();
    QTreeWidget* pList = m_pWnd->GetListView();
    SelectRowOf(QStringLiteral("10.0.0.9"));
    QVERIFY(m_pWnd->GetSelectedPrinter());

    CModalDriver menuDriver(
        CModalDriver::Kind::Popup, [](QWidget* pPopup) { pPopup->close(); }, nullptr, 400);
    const QPoint ptBelowRows = pList->viewport()->mapTo(m_pWnd, QPoint(20, pList->viewport()->height() - 5));
    QTest::mouseClick(m_pWnd->windowHandle(), right ? Qt::RightButton : Qt::LeftButton, {}, ptBelowRows);
    QTest::qWait(500);
    QVERIFY(!menuDriver.Acted());  // no row, so no context menu
    QVERIFY(!m_pWnd->GetSelectedPrinter());
    QVERIFY(!DetailsOpened([&] { QTest::keyClick(m_pWnd, Qt::Key_D, Qt::ControlModifier); }));
}

void CTestCommands::detailsItemFollowsSelection() {
    MakeWindow();
    ScanToEnd();
    QAction* pDetails = m_pWnd->GetAction(ID_PRINTER_DETAILS);
    QMenu* pMenu = m_pWnd->GetPrinterMenu();
    auto fnOpenMenu = [&] {
        bool bShownEnabled = true;
        CModalDriver driver(CModalDriver::Kind::Popup, [&](QWidget* pPopup) {
            bShownEnabled = pDetails->isEnabled();
            pPopup->close();
        });
        pMenu->popup(m_pWnd->mapToGlobal(QPoint(10, 10)));
        [&] { QTRY_VERIFY(driver.Acted()); }();
        return bShownEnabled;
    };

    // Opening the Printer menu shows Details grayed without a selection.
    m_pWnd->GetListView()->clearSelection();
    QVERIFY(!fnOpenMenu());

    // Selecting a row: Ctrl+D works at once, and the menu shows Details enabled.
    SelectRowOf(QStringLiteral("10.0.0.2"));
    ActivateWindow();
    CShown shown;
    QVERIFY(DetailsOpened([&] { QTest::keyClick(m_pWnd, Qt::Key_D, Qt::ControlModifier); }, &shown));
    QCOMPARE(shown.strName, QStringLiteral("Gamma MFP"));
    QVERIFY(fnOpenMenu());

    // Without a selection, grayed again.
    m_pWnd->GetListView()->clearSelection();
    QVERIFY(!fnOpenMenu());
}

void CTestCommands::optionsCancelChangesNothing() {
    MakeWindow();
    m_pWnd->GetSearchOptions().bMdnsEnabled = 1;
    m_pWnd->GetSearchOptions().bUpnpEnabled = 2;  // as a settings file may hold it
    CModalDriver driver(CModalDriver::Kind::Modal, [](QWidget* pDialog) {
        auto* pDlg = qobject_cast<CPrinterLocatorOptionsDlg*>(pDialog);
        QTest::mouseClick(pDlg->GetMdnsCheckBox(), Qt::LeftButton);
        QTest::mouseClick(pDlg->GetUpnpCheckBox(), Qt::LeftButton);
        QTest::keyClick(pDlg, Qt::Key_Escape);
    });
    m_pWnd->GetAction(ID_ACTIONS_OPTIONS)->trigger();
    QVERIFY(driver.Acted());
    QCOMPARE(driver.SeenClass(), QStringLiteral("CPrinterLocatorOptionsDlg"));
    QCOMPARE(m_pWnd->GetSearchOptions().bMdnsEnabled, 1);
    QCOMPARE(m_pWnd->GetSearchOptions().bUpnpEnabled, 2);

    // OK without a click keeps the stored 2 as well.
    ActivateWindow();
    CModalDriver okDriver(CModalDriver::Kind::Modal,
                          [](QWidget* pDialog) { QTest::keyClick(pDialog, Qt::Key_Return); });
    QTest::keyClick(m_pWnd, Qt::Key_O, Qt::ControlModifier);
    QVERIFY(okDriver.Acted());
    QCOMPARE(m_pWnd->GetSearchOptions().bUpnpEnabled, 2);
}

void CTestCommands::optionsOkDuringScanLeavesScanAlone() {
    MakeWindow([](CFakeProvider& p) {
        p.Append(u"Held", u"10.0.0.1", u"");
        p.BlockSearch();
    });
    m_pWnd->StartScan();
    QTRY_COMPARE(m_pWnd->GetListView()->topLevelItemCount(), 1);
    QVERIFY(m_pMdns->IsSearching());

    CModalDriver driver(CModalDriver::Kind::Modal, [](QWidget* pDialog) {
        auto* pDlg = qobject_cast<CPrinterLocatorOptionsDlg*>(pDialog);
        QTest::mouseClick(pDlg->GetMdnsCheckBox(), Qt::LeftButton);  // mDNS off
        QTest::keyClick(pDlg, Qt::Key_Return);
    });
    QTest::keyClick(m_pWnd, Qt::Key_O, Qt::ControlModifier);
    QVERIFY(driver.Acted());
    QCOMPARE(m_pWnd->GetSearchOptions().bMdnsEnabled, 0);

    // The running search goes on as it was.
    QTest::qWait(300);
    QVERIFY(m_pMdns->IsSearching());
    QCOMPARE(m_pWnd->GetStatusText(), QStringLiteral("Searching..."));
    QVERIFY(m_pWnd->GetAction(ID_ACTIONS_STOPSCAN)->isEnabled());
    QCOMPARE(m_pMdns->m_nSearches.load(), 1);

    // The next scan follows the new options: only UPnP searches.
    m_pMdns->UnblockSearch();
    QTRY_COMPARE(m_pWnd->GetStatusText(), QStringLiteral("1 device found."));
    const int nUpnpBefore = m_pUpnp->m_nSearches.load();
    m_pWnd->StartScan();
    QTRY_COMPARE(m_pWnd->GetStatusText(), QStringLiteral("0 devices found."));
    QCOMPARE(m_pMdns->m_nSearches.load(), 1);
    QCOMPARE(m_pUpnp->m_nSearches.load(), nUpnpBefore + 1);
}

void CTestCommands::optionsShowAvailabilityWhenOpened() {
    MakeWindow();
    m_pMdns->m_bAvailable = false;
    m_pUpnp->m_bAvailable = true;
    m_pWnd->GetSearchOptions().bMdnsEnabled = 1;
    m_pWnd->GetSearchOptions().bUpnpEnabled = 0;
    const int nAsked = m_pMdns->m_nAvailableCalls.load();

    bool bMdnsEnabled = true, bMdnsChecked = false, bUpnpEnabled = false, bUpnpChecked = true;
    auto fnLook = [&](QWidget* pDialog) {
        auto* pDlg = qobject_cast<CPrinterLocatorOptionsDlg*>(pDialog);
        bMdnsEnabled = pDlg->GetMdnsCheckBox()->isEnabled();
        bMdnsChecked = pDlg->GetMdnsCheckBox()->isChecked();
        bUpnpEnabled = pDlg->GetUpnpCheckBox()->isEnabled();
        bUpnpChecked = pDlg->GetUpnpCheckBox()->isChecked();
        FindButton(pDlg, QStringLiteral("OK"))->click();
    };
    {
        CModalDriver driver(CModalDriver::Kind::Modal, fnLook);
        m_pWnd->OnOptions();
        QVERIFY(driver.Acted());
    }
    QVERIFY(m_pMdns->m_nAvailableCalls.load() > nAsked);  // asked when the dialog opened
    QVERIFY(!bMdnsEnabled);
    QVERIFY(bMdnsChecked);  // the stored option still shows, and survives OK
    QVERIFY(bUpnpEnabled);
    QVERIFY(!bUpnpChecked);
    QCOMPARE(m_pWnd->GetSearchOptions().bMdnsEnabled, 1);

    // The service comes back: the next opening shows the box enabled.
    m_pMdns->m_bAvailable = true;
    CModalDriver driver(CModalDriver::Kind::Modal, fnLook);
    m_pWnd->OnOptions();
    QVERIFY(bMdnsEnabled);
}

void CTestCommands::optionsOpenAtOwnersCornerWithOkFocused() {
    MakeWindow();
    m_pWnd->move(120, 80);
    QPoint ptDialog;
    QWidget* pFocus = nullptr;
    QWidget* pAfterTab = nullptr;
    QPushButton* pOk = nullptr;
    QPushButton* pCancel = nullptr;
    CModalDriver driver(CModalDriver::Kind::Modal, [&](QWidget* pDialog) {
        ptDialog = pDialog->pos();
        pOk = FindButton(pDialog, QStringLiteral("OK"));
        pCancel = FindButton(pDialog, QStringLiteral("Cancel"));
        pFocus = pDialog->focusWidget();
        QTest::keyClick(pFocus, Qt::Key_Tab);
        pAfterTab = pDialog->focusWidget();
        QTest::keyClick(pDialog, Qt::Key_Escape);
    });
    m_pWnd->OnOptions();
    QVERIFY(driver.Acted());
    // Not centred: the frame's corner sits where the list (the client area
    // below the menu bar) begins.
    QCOMPARE(ptDialog, m_pWnd->GetListView()->mapToGlobal(QPoint(0, 0)));
    QVERIFY(pOk != nullptr);
    QCOMPARE(pFocus, pOk);
    QCOMPARE(pAfterTab, pCancel);
}

void CTestCommands::helpOpensWebSearch() {
    MakeWindow();
    CUrlRecorder recorder;
    QTest::keyClick(m_pWnd, Qt::Key_F1);
    m_pWnd->GetAction(ID_HELP_HELP)->trigger();
    QCOMPARE(recorder.m_aUrls.size(), 2);
    const QUrl url = recorder.m_aUrls.first();
    QCOMPARE(url.scheme(), QStringLiteral("https"));
    QCOMPARE(url.query(), QStringLiteral("q=Halvet+Printer+Locator"));
}

void CTestCommands::helpFailureIsTraced() {
    // Only offscreen is opening sure to fail without a handler; elsewhere a
    // real browser would start.
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) QSKIP("needs the offscreen platform");
    MakeWindow();
    QTemporaryDir traceDir;
    const QString strKeys = traceDir.filePath(QStringLiteral("PrinterLocator.conf"));
    const QString strTrace = traceDir.filePath(QStringLiteral("trace.log"));
    {
        QFile keys(strKeys);
        QVERIFY(keys.open(QIODevice::WriteOnly));
        keys.write(QStringLiteral("DebugLevel=1\nDebugFile=%1\n").arg(strTrace).toUtf8());
    }
    CTraceLog::Instance().Configure(strKeys.toLocal8Bit().constData(), nullptr);
    m_pWnd->OnHelp();
    CTraceLog::Instance().Configure("/nonexistent/hvl-test", nullptr);

    QFile trace(strTrace);
    QVERIFY(trace.open(QIODevice::ReadOnly));
    const QByteArray bytes = trace.readAll();
    const QString strText =
        QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.constData()), bytes.size() / 2);
    QVERIFY2(strText.contains(QStringLiteral("ShellExecute error 0x0000001F")), qPrintable(strText));
}

void CTestCommands::aboutShowsOwnVersionBlock() {
    MakeWindow();
    QString strText, strTitle;
    bool bIcon = false;
    QList<QAbstractButton*> aButtons;
    CModalDriver driver(CModalDriver::Kind::Modal, [&](QWidget* pDialog) {
        auto* pBox = qobject_cast<QMessageBox*>(pDialog);
        if (pBox == nullptr) return;
        strText = pBox->text();
        strTitle = pBox->windowTitle();
        bIcon = !pBox->iconPixmap().isNull();
        aButtons = pBox->buttons();
        pBox->accept();
    });
    m_pWnd->GetAction(ID_HELP_ABOUT)->trigger();
    QVERIFY(driver.Acted());
    QCOMPARE(strTitle, QStringLiteral("Halvet Printer Locator"));
    QCOMPARE(aButtons.size(), 1);
    QVERIFY(bIcon);  // the program icon, from the built-in resources
    // This test program carries the same version block as the window.
    QCOMPARE(strText,
             QStringLiteral("Halvet Printer Locator\n"
                            "Version: 1.0.14.1\n"
                            "\n"
                            "Copyright (C) 2026 Ostrel\n"
                            "Ostrel. All rights reserved.\n"
                            "\n"
                            "This program uses Qt 6, GLib/GIO, GSSDP, libsoup and libxml2; hvl-scan "
                            "also nlohmann/json.\n"
                            "Copyright (C) The Qt Company Ltd., Red Hat, Inc., OpenedHand Ltd., Daniel "
                            "Veillard, Niels Lohmann and others.\n"
                            "Licences: GNU LGPL 3 (Qt), GNU LGPL 2.1 or later (GLib, GSSDP, libsoup), "
                            "MIT (libxml2, nlohmann/json).\n"
                            "Licence texts: /usr/share/doc/<package>/copyright and "
                            "/usr/share/common-licenses/.\n"));
}

// The window's keys act while one of its dialogs or menus has the keyboard;
// a grayed item's key does nothing there either.
void CTestCommands::keysActFromDialogsAndMenus_data() {
    QTest::addColumn<int>("opener");  // 0 Options, 1 about box, 2 details, 3 Actions menu
    QTest::addColumn<bool>("scanning");
    QTest::addColumn<QKeySequence>("key");
    QTest::addColumn<bool>("selectName");  // the details dialog's name, selected and focused
    QTest::addColumn<int>("newSearches");  // searches the key started
    QTest::addColumn<bool>("stillSearching");
    QTest::addColumn<QString>("clipboard");
    const QKeySequence f5(Qt::Key_F5), copy(Qt::CTRL | Qt::Key_C);
    const QString strUntouched = QStringLiteral("untouched");
    // clang-format off
    QTest::newRow("F5 in Options scans") << 0 << false << f5 << false << 1 << false << strUntouched;
    QTest::newRow("F5 in the Actions menu scans") << 3 << false << f5 << false << 1 << false << strUntouched;
    QTest::newRow("Ctrl+C in the about box stops") << 1 << true << copy << false << 0 << false << strUntouched;
    QTest::newRow("Ctrl+C in the Actions menu stops") << 3 << true << copy << false << 0 << false << strUntouched;
    QTest::newRow("grayed F5 in the about box") << 1 << true << f5 << false << 0 << true << strUntouched;
    QTest::newRow("grayed Ctrl+C in Options") << 0 << false << copy << false << 0 << false << strUntouched;
    QTest::newRow("grayed Ctrl+C in the about box") << 1 << false << copy << false << 0 << false << strUntouched;
    QTest::newRow("Ctrl+C copies a selected name") << 2 << false << copy << true << 0 << false << "Beta Laser";
    // clang-format on
}

void CTestCommands::keysActFromDialogsAndMenus() {
    QFETCH(int, opener);
    QFETCH(bool, scanning);
    QFETCH(QKeySequence, key);
    QFETCH(bool, selectName);
    QFETCH(int, newSearches);
    QFETCH(bool, stillSearching);
    QFETCH(QString, clipboard);
    bool bBlockSearches = false;
    MakeWindow([&bBlockSearches](CFakeProvider& p) {
        for (const CPrinterSpec& printer : PRINTERS) p.Append(printer.pszName, printer.pszIp, printer.pszUrl);
        if (bBlockSearches) p.BlockSearch();
    });
    ScanToEnd();
    SelectRowOf(QStringLiteral("10.0.0.9"));
    if (scanning) {
        bBlockSearches = true;
        m_pWnd->StartScan();
        QTRY_COMPARE(m_pMdns->m_nSearches.load(), 2);  // its search thread is under way
    }
    const int nSearches = m_pMdns->m_nSearches.load();
    QApplication::clipboard()->setText(QStringLiteral("untouched"));

    const QKeyCombination combination = key[0];
    CModalDriver driver(opener == 3 ? CModalDriver::Kind::Popup : CModalDriver::Kind::Modal,
                        [&](QWidget* pOpen) {
                            QWidget* pTarget = pOpen->focusWidget() ? pOpen->focusWidget() : pOpen;
                            if (selectName) {
                                QLineEdit* pName = qobject_cast<CPrinterDetailsDlg*>(pOpen)->GetNameEdit();
                                pName->setFocus();
                                pName->selectAll();
                                pTarget = pName;
                            }
                            QTest::keyClick(pTarget, combination.key(), combination.keyboardModifiers());
                            QTest::qWait(50);
                            pOpen->close();
                        });
    switch (opener) {
        case 0:
            m_pWnd->OnOptions();
            break;
        case 1:
            m_pWnd->OnAbout();
            break;
        case 2:
            m_pWnd->ShowPrinterDetails();
            break;
        default:
            m_pWnd->findChild<QMenuBar*>()->actions().first()->menu()->exec(
                m_pWnd->mapToGlobal(QPoint(10, 10)));
            break;
    }
    QVERIFY(driver.Acted());
    QTRY_COMPARE(m_pMdns->m_nSearches.load(), nSearches + newSearches);
    QTest::qWait(150);  // nothing more follows
    QCOMPARE(m_pMdns->m_nSearches.load(), nSearches + newSearches);
    QCOMPARE(m_pMdns->IsSearching(), stillSearching);
    QCOMPARE(QApplication::clipboard()->text(), clipboard);
    m_pMdns->UnblockSearch();
}

QTEST_MAIN(CTestCommands)
#include "test_commands.moc"
