// The real window with the real providers, inside the test lab: on the
// offscreen platform Scan Network lists the printers of both methods; under
// a headless Weston (native Wayland) F5 lists them, the details dialog opens
// and a link's menu copies it to the clipboard, read back with wl-paste.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "lab_helper.h"
#include "link_static.h"
#include "printer_details_dlg.h"
#include "printer_locator_app.h"
#include "ui_test_util.h"

#ifndef HVL_UPNP_PEER
#define HVL_UPNP_PEER ""
#endif
#ifndef HVL_LAB_DESCRIPTIONS
#define HVL_LAB_DESCRIPTIONS ""
#endif
#ifndef HVL_WESTON_SEAT
#define HVL_WESTON_SEAT ""
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

// One lab for the program: an mDNS printer on p1, a UPnP printer on p2; the
// test thread (and every thread started after) lives in its client namespace.
class WindowInLab : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!CLab::SkipReason().empty()) return;
        s_pLab = std::make_unique<CLab>(CLab::UniqueName("win"));
        CLab& lab = *s_pLab;
        s_bReady =
            lab.Up({"p1", "p2"}) && lab.Announce("p1", PRINTERS) > 0 &&
            lab.WaitBrowse("_printer._tcp", {"Office Laser"}) &&
            lab.Spawn("p2", "upnp", {HVL_UPNP_PEER, lab.Ip("p2"), HVL_LAB_DESCRIPTIONS, "printer.xml"}) > 0 &&
            WaitForFileText(lab.Dir() + "/p2/upnp.log", "ready", std::chrono::seconds(10)) &&
            lab.EnterClient();
        if (!s_bReady) s_strError = lab.LastError();
    }
    static void TearDownTestSuite() { s_pLab.reset(); }

    void SetUp() override {
        const std::string strSkip = CLab::SkipReason();
        if (!strSkip.empty()) GTEST_SKIP() << strSkip;
        ASSERT_TRUE(s_bReady) << s_strError;
    }

    static QString MdnsIp() { return QString::fromStdString(s_pLab->Ip("p1")); }
    static QString UpnpIp() { return QString::fromStdString(s_pLab->Ip("p2")); }

    static QStringList Rows(CPrinterLocatorDlg& dlg) {
        QStringList rows;
        QTreeWidget* pList = dlg.GetListView();
        for (int i = 0; i < pList->topLevelItemCount(); ++i) {
            rows << pList->topLevelItem(i)->text(0) + QLatin1Char('|') + pList->topLevelItem(i)->text(1);
        }
        return rows;
    }

    // F5 once the window has the keyboard; true when the scan has ended, both
    // methods well within their 30 s limit.
    static bool ScanWithF5(CPrinterLocatorDlg& dlg) {
        dlg.activateWindow();
        // A Wayland client cannot activate itself: the compositor gives the
        // new window its seat's keyboard.
        const bool bActive =
            QGuiApplication::platformName() == QLatin1String("wayland")
                ? QTest::qWaitFor([&] { return QGuiApplication::focusWindow() == dlg.windowHandle(); }, 10000)
                : QTest::qWaitForWindowActive(&dlg, 10000);
        if (!bActive) return false;
        QTest::keyClick(&dlg, Qt::Key_F5);
        const bool bEnded = QTest::qWaitFor(
            [&] {
                return dlg.GetAction(ID_ACTIONS_SCANNETWORK)->isEnabled() &&
                       dlg.GetStatusText().endsWith(QStringLiteral("found."));
            },
            40000);
        // the tick that ends the scan counts the rows shown before its own
        // rebuild; the next ones bring the text in step
        QTest::qWait(300);
        return bEnded;
    }

    static std::unique_ptr<CLab> s_pLab;
    static bool s_bReady;
    static std::string s_strError;
};

std::unique_ptr<CLab> WindowInLab::s_pLab;
bool WindowInLab::s_bReady = false;
std::string WindowInLab::s_strError;

TEST_F(WindowInLab, ScanListsPrintersOfBothMethods) {
    const std::string strMdnsIp = MdnsIp().toStdString();
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
            (void)ScanWithF5(dlg);
            strStatus = dlg.GetStatusText();
            rows = Rows(dlg);
            dlg.close();
        });
    };
    ASSERT_TRUE(app.InitInstance());

    EXPECT_EQ(strStatus.toStdString(), "2 devices found.") << rows.join(QLatin1Char(',')).toStdString();
    EXPECT_TRUE(rows.contains(QStringLiteral("Office Laser|") + QString::fromStdString(strMdnsIp)))
        << rows.join(QLatin1Char(',')).toStdString();
    EXPECT_TRUE(rows.contains(QStringLiteral("Lab Printer Standard|") + UpnpIp()))
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

// A headless Weston with the test seat, in the lab's client namespace, on a
// socket in a private runtime directory; the lab ends it at teardown.
bool StartWeston(CLab& lab, const QString& strRuntime, std::string& strWhy) {
    const std::string strSocket = "wayland-hvl";
    const int nPid = lab.Spawn("client", "weston",
                               {"env", "XDG_RUNTIME_DIR=" + strRuntime.toStdString(), "weston",
                                "--backend=headless-backend.so", "--socket=" + strSocket, "--idle-time=0",
                                std::string("--modules=") + HVL_WESTON_SEAT, "--no-config"});
    if (nPid <= 0) {
        strWhy = "weston did not start: " + lab.LastError();
        return false;
    }
    const QString strPath = strRuntime + QLatin1Char('/') + QString::fromStdString(strSocket);
    if (!QTest::qWaitFor([&] { return QFile::exists(strPath); }, 10000)) {
        strWhy = "weston made no socket; see " + lab.Dir() + "/client/weston.log";
        return false;
    }
    return true;
}

// What wl-paste (another Wayland client) reads from the clipboard; this
// process serves it meanwhile.
QString PasteFromWayland() {
    QProcess paste;
    paste.start(QStringLiteral("wl-paste"), {QStringLiteral("--no-newline")});
    if (!paste.waitForStarted(3000)) return QStringLiteral("<wl-paste did not start>");
    (void)QTest::qWaitFor([&] { return paste.state() == QProcess::NotRunning; }, 5000);
    if (paste.state() != QProcess::NotRunning) {
        paste.kill();
        paste.waitForFinished(1000);
        return QStringLiteral("<wl-paste timed out>");
    }
    return QString::fromUtf8(paste.readAllStandardOutput());
}

// The process's open descriptors, and the eventfds among them (one per live
// GMainContext).
std::pair<int, int> CountDescriptors() {
    int nAll = 0;
    int nEventFds = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const auto target = std::filesystem::read_symlink(entry.path(), ec);
        ++nAll;
        nEventFds += !ec && target.string().find("[eventfd]") != std::string::npos ? 1 : 0;
    }
    return {nAll, nEventFds};
}

// Scan Network again and again, as a window left open all day is used:
// every scan gives back what it took (HVL_WINDOW_SCANS scans, 6 by default).
TEST_F(WindowInLab, RepeatedScansLeaveNoDescriptorBehind) {
    const char* pszScans = std::getenv("HVL_WINDOW_SCANS");
    const int nScans = pszScans != nullptr ? std::max(3, std::atoi(pszScans)) : 6;
    int argc = 1;
    char szName[] = "hvl";
    char* argv[] = {szName, nullptr};
    QApplication application(argc, argv);
    CTestDirectory dir;
    CPrinterLocatorApp app;
    std::vector<std::pair<int, int>> aCounts;  // after each scan
    app.m_fnWindowCreated = [&](CPrinterLocatorDlg& dlg) {
        QTimer::singleShot(200, &dlg, [&] {
            for (int i = 0; i < nScans; ++i) {
                EXPECT_TRUE(ScanWithF5(dlg)) << "scan " << i + 1;
                aCounts.push_back(CountDescriptors());
                std::printf("scan %d: %d descriptors, %d eventfds\n", i + 1, aCounts.back().first,
                            aCounts.back().second);
            }
            dlg.close();
        });
    };
    ASSERT_TRUE(app.InitInstance());
    ASSERT_EQ(static_cast<int>(aCounts.size()), nScans);
    // From the second scan on (the first starts what GLib and Qt keep per process).
    EXPECT_LE(aCounts.back().second, aCounts[1].second) << "main contexts left behind";
    EXPECT_LE(aCounts.back().first, aCounts[1].first);
}

}  // namespace

TEST_F(WindowInLab, NativeWaylandScanDetailsAndClipboard) {
    if (QStandardPaths::findExecutable(QStringLiteral("weston")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("wl-paste")).isEmpty() ||
        !QFile::exists(QStringLiteral(HVL_WESTON_SEAT))) {
        GTEST_SKIP() << "needs weston, wl-clipboard and the test seat module (libweston-10-dev)";
    }
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    ASSERT_EQ(chmod(runtime.path().toLocal8Bit().constData(), 0700), 0);
    std::string strWhy;
    ASSERT_TRUE(StartWeston(*s_pLab, runtime.path(), strWhy)) << strWhy;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    qputenv("WAYLAND_DISPLAY", "wayland-hvl");

    int argc = 3;
    char szName[] = "hvl";
    char szPlatform[] = "-platform";
    char szWayland[] = "wayland";
    char* argv[] = {szName, szPlatform, szWayland, nullptr};
    QApplication application(argc, argv);
    ASSERT_EQ(QGuiApplication::platformName().toStdString(), "wayland");
    CTestDirectory dir;

    CPrinterLocatorApp app;
    QStringList rows;
    bool bScanned = false, bDetailsShown = false, bMenuShown = false;
    QString strDetailsTitle, strCopied;
    app.m_fnWindowCreated = [&](CPrinterLocatorDlg& dlg) {
        QTimer::singleShot(200, &dlg, [&] {
            bScanned = ScanWithF5(dlg);
            rows = Rows(dlg);
            QTreeWidget* pList = dlg.GetListView();
            for (int i = 0; i < pList->topLevelItemCount(); ++i) {
                if (pList->topLevelItem(i)->text(0) == QLatin1String("Office Laser")) {
                    pList->setCurrentItem(pList->topLevelItem(i));
                }
            }
            // The details dialog, a window of its own on the compositor, over
            // the main window; its URL link's menu copies the URL.
            QTimer::singleShot(100, &dlg, [&] {
                CPrinterDetailsDlg* pDetails = nullptr;
                (void)QTest::qWaitFor(
                    [&] {
                        pDetails = qobject_cast<CPrinterDetailsDlg*>(QApplication::activeModalWidget());
                        return pDetails != nullptr;
                    },
                    5000);
                if (pDetails == nullptr) return;
                bDetailsShown = QTest::qWaitForWindowExposed(pDetails, 5000) &&
                                pDetails->windowHandle()->transientParent() == dlg.windowHandle();
                strDetailsTitle = pDetails->windowTitle();
                CLinkStatic* pLink = pDetails->GetUrlLink();
                QTimer::singleShot(100, pLink, [&] {
                    auto* pMenu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                    if (pMenu == nullptr) return;
                    bMenuShown = QTest::qWaitForWindowExposed(pMenu, 5000);
                    pMenu->actions().at(1)->trigger();  // "&Copy"
                    pMenu->close();
                });
                const QPoint pt = pLink->rect().center();
                QContextMenuEvent event(QContextMenuEvent::Keyboard, pt, pLink->mapToGlobal(pt));
                QApplication::sendEvent(pLink, &event);
                strCopied = PasteFromWayland();
                pDetails->close();
            });
            QTest::keyClick(&dlg, Qt::Key_D, Qt::ControlModifier);
            dlg.close();
        });
    };
    ASSERT_TRUE(app.InitInstance());

    EXPECT_TRUE(bScanned);
    EXPECT_TRUE(rows.contains(QStringLiteral("Office Laser|") + MdnsIp())) << rows.join(u',').toStdString();
    EXPECT_TRUE(rows.contains(QStringLiteral("Lab Printer Standard|") + UpnpIp()))
        << rows.join(u',').toStdString();
    EXPECT_TRUE(bDetailsShown);
    EXPECT_EQ(strDetailsTitle.toStdString(), "Office Laser");
    EXPECT_TRUE(bMenuShown);
    EXPECT_EQ(strCopied.toStdString(), "http://office-laser.example/admin");
}
