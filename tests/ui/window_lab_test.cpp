// The real window with the real providers, inside the test lab, on the
// offscreen platform: Scan Network lists the printers of both methods.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QTest>
#include <QTreeWidget>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "lab_helper.h"
#include "printer_locator_app.h"
#include "ui_test_util.h"

#ifndef HVL_UPNP_PEER
#define HVL_UPNP_PEER ""
#endif
#ifndef HVL_LAB_DESCRIPTIONS
#define HVL_LAB_DESCRIPTIONS ""
#endif

namespace {

constexpr char PRINTERS[] = R"({"instances": [
  {"name": "Office Laser", "types": ["_printer._tcp"], "host": "office-laser",
   "txt": ["adminurl=http://office-laser.example/admin"]}
]})";

bool WaitForFileText(const std::string& strPath, const std::string& strText, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream file(strPath);
        std::stringstream ss;
        ss << file.rdbuf();
        if (ss.str().find(strText) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

TEST(WindowInLab, ScanListsPrintersOfBothMethods) {
    const std::string strSkip = CLab::SkipReason();
    if (!strSkip.empty()) GTEST_SKIP() << strSkip;

    CLab lab(CLab::UniqueName("win"));
    ASSERT_TRUE(lab.Up({"p1", "p2"})) << lab.LastError();
    const std::string strMdnsIp = lab.Ip("p1");
    const std::string strUpnpIp = lab.Ip("p2");
    ASSERT_GT(lab.Announce("p1", PRINTERS), 0) << lab.LastError();
    ASSERT_TRUE(lab.WaitBrowse("_printer._tcp", {"Office Laser"})) << lab.LastError();
    ASSERT_GT(lab.Spawn("p2", "upnp", {HVL_UPNP_PEER, strUpnpIp, HVL_LAB_DESCRIPTIONS, "printer.xml"}), 0)
        << lab.LastError();
    ASSERT_TRUE(WaitForFileText(lab.Dir() + "/p2/upnp.log", "ready", std::chrono::seconds(10)));
    // From here on every thread this process starts lives in the lab.
    ASSERT_TRUE(lab.EnterClient()) << lab.LastError();

    int argc = 1;
    char szName[] = "hvl";
    char* argv[] = {szName, nullptr};
    QApplication application(argc, argv);
    CTestDirectory dir;

    CPrinterLocatorApp app;  // the program's own providers
    QStringList rows;
    QString strStatus;
    app.m_fnWindowCreated = [&](CPrinterLocatorDlg& dlg) {
        QTimer::singleShot(200, &dlg, [&] {
            dlg.activateWindow();
            if (QTest::qWaitForWindowActive(&dlg)) QTest::keyClick(&dlg, Qt::Key_F5);
            // both methods end well within their 30 s limit
            (void)QTest::qWaitFor(
                [&] {
                    return dlg.GetAction(ID_ACTIONS_SCANNETWORK)->isEnabled() &&
                           dlg.GetStatusText().endsWith(QStringLiteral("found."));
                },
                40000);
            // the tick that ends the scan counts the rows shown before its own
            // rebuild; the next ones bring the text in step
            QTest::qWait(300);
            strStatus = dlg.GetStatusText();
            QTreeWidget* pList = dlg.GetListView();
            for (int i = 0; i < pList->topLevelItemCount(); ++i) {
                rows << pList->topLevelItem(i)->text(0) + QLatin1Char('|') + pList->topLevelItem(i)->text(1);
            }
            dlg.close();
        });
    };
    ASSERT_TRUE(app.InitInstance());

    EXPECT_EQ(strStatus.toStdString(), "2 devices found.") << rows.join(QLatin1Char(',')).toStdString();
    EXPECT_TRUE(rows.contains(QStringLiteral("Office Laser|") + QString::fromStdString(strMdnsIp)))
        << rows.join(QLatin1Char(',')).toStdString();
    EXPECT_TRUE(rows.contains(QStringLiteral("Lab Printer Standard|") + QString::fromStdString(strUpnpIp)))
        << rows.join(QLatin1Char(',')).toStdString();

    const int nStarted = dir.TraceIndexOf(QStringLiteral("Halvet Printer Locator started."));
    const int nAdded = dir.TraceIndexOf(QStringLiteral("Printer added to list (Office Laser, ") +
                                        QString::fromStdString(strMdnsIp) + QLatin1Char(')'));
    const int nFinished = dir.TraceIndexOf(QStringLiteral("Halvet Printer Locator finished."));
    EXPECT_GE(nStarted, 0);
    EXPECT_GT(nAdded, nStarted);
    EXPECT_GT(nFinished, nAdded);
    EXPECT_GE(dir.TraceIndexOf(QStringLiteral("Printer added to list (Lab Printer Standard, ")), 0);
    EXPECT_EQ(dir.ReadFile(QStringLiteral("hvl.cfg")), QByteArray("\x01\0\0\0\x01\0\0\0\x01\0\0\0", 12));
}

}  // namespace
