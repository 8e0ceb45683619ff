// The details and options dialogs, the link control and the about text,
// on the offscreen platform.
#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QCheckBox>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QWindow>

#include "about_box.h"
#include "link_static.h"
#include "modal_driver.h"
#include "printer_details_dlg.h"
#include "printer_locator_options_dlg.h"

namespace {

QStringList LabelTexts(QWidget* pParent) {
    QStringList aTexts;
    for (QLabel* pLabel : pParent->findChildren<QLabel*>()) {
        if (qobject_cast<CLinkStatic*>(pLabel) == nullptr) aTexts << pLabel->text();
    }
    return aTexts;
}

PrinterData MakePrinter(const char16_t* pszName, const char16_t* pszIp, const char16_t* pszUrl) {
    return PrinterData{pszName, pszIp, pszUrl};
}

}  // namespace

class CTestDialogs : public QObject {
    Q_OBJECT

private slots:
    // ---- link control ----
    void linkAddress_data();
    void linkAddress();
    void linkClickOpensAddress_data();
    void linkClickOpensAddress();
    void linkLooksLikeALink();
    void linkMenuOffersOpenAndCopy();
    void linkCopy_data();
    void linkCopy();
    void linkDragOffIsNoClick();
    void linkDoubleClickOpensOnce();
    void linkKeys_data();
    void linkKeys();
    void linkForScreenReaders();

    // ---- details dialog ----
    void detailsShowsPrinter();
    void detailsClosesWithOkAndEsc();
    void detailsKeepsTitleLiteral();
    void detailsLongUrlStaysReadable();

    // ---- options dialog ----
    void optionsInitialState_data();
    void optionsInitialState();
    void optionsClicks_data();
    void optionsClicks();
    void optionsResult();

    // ---- about text ----
    void aboutText_data();
    void aboutText();
};

// ---------------------------------------------------------------------------

void CTestDialogs::linkAddress_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("address");
    // clang-format off
    QTest::newRow("bare address")           << "192.168.1.20"       << "http://192.168.1.20";
    QTest::newRow("upper-case scheme kept") << "HTTP://Host/Path"   << "HTTP://Host/Path";
    QTest::newRow("https kept")             << "https://host/x"     << "https://host/x";
    QTest::newRow("mixed-case https")       << "HtTpS://Host/A"     << "HtTpS://Host/A";
    QTest::newRow("path case kept")         << "printer.local/Admin/Index.HTML"
                                            << "http://printer.local/Admin/Index.HTML";
    QTest::newRow("scheme later in text")   << "host/redirect?to=http://x"
                                            << "http://host/redirect?to=http://x";
    QTest::newRow("almost a scheme")        << "http:/host"         << "http://http:/host";
    QTest::newRow("empty")                  << ""                   << "http://";
    // clang-format on
}

void CTestDialogs::linkAddress() {
    QFETCH(QString, text);
    QFETCH(QString, address);
    QCOMPARE(CLinkStatic::MakeLinkAddress(text), address);
}

void CTestDialogs::linkClickOpensAddress_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("path");
    // clang-format off
    QTest::newRow("bare address")      << "192.168.1.20"     << "http"  << "192.168.1.20" << "";
    QTest::newRow("upper-case scheme") << "HTTP://Host/Path" << "http"  << "host"         << "/Path";
    QTest::newRow("https")             << "https://host/x"   << "https" << "host"         << "/x";
    QTest::newRow("port and query")    << "10.0.0.9:631/Printers/Q?A=B" << "http" << "10.0.0.9" << "/Printers/Q";
    QTest::newRow("empty")             << ""                 << "http"  << ""             << "";
    // clang-format on
}

void CTestDialogs::linkClickOpensAddress() {
    QFETCH(QString, text);
    QFETCH(QString, scheme);
    QFETCH(QString, host);
    QFETCH(QString, path);

    CUrlRecorder recorder;
    QWidget parent;
    CLinkStatic link(text, &parent);
    link.setGeometry(10, 10, 200, 20);
    parent.show();
    QTest::mouseClick(&link, Qt::LeftButton, {}, QPoint(5, 5));

    QCOMPARE(recorder.m_aUrls.size(), 1);
    const QUrl url = recorder.m_aUrls.first();
    QCOMPARE(url.scheme(), scheme);
    QCOMPARE(url.host(), host);
    QCOMPARE(url.path(), path);
}

void CTestDialogs::linkLooksLikeALink() {
    QWidget parent;
    QFont parentFont = parent.font();
    parentFont.setPointSize(13);
    parent.setFont(parentFont);
    CLinkStatic link(QStringLiteral("<b>Office</b> &amp;"), &parent);

    QVERIFY(link.font().underline());
    QCOMPARE(link.font().pointSize(), 13);  // the parent's font, underlined
    QCOMPARE(link.palette().color(QPalette::Active, QPalette::WindowText), QColor(0, 0, 255));
    QCOMPARE(link.palette().color(QPalette::Disabled, QPalette::WindowText), QColor(0, 0, 255));
    QVERIFY(!link.autoFillBackground());
    QCOMPARE(link.cursor().shape(), Qt::PointingHandCursor);
    // Text from the network is never read as markup.
    QCOMPARE(link.textFormat(), Qt::PlainText);
}

void CTestDialogs::linkMenuOffersOpenAndCopy() {
    CUrlRecorder recorder;
    QWidget parent;
    CLinkStatic link(QStringLiteral("10.1.2.3"), &parent);
    link.setGeometry(10, 10, 200, 20);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    QGuiApplication::clipboard()->clear();

    // A real right click, through the window, shows the menu; choose Open.
    QStringList aEntries;
    CModalDriver openDriver(CModalDriver::Kind::Popup, [&](QWidget* pPopup) {
        auto* pMenu = qobject_cast<QMenu*>(pPopup);
        for (QAction* pAction : pMenu->actions()) aEntries << pAction->text();
        pMenu->actions().at(0)->trigger();
        pMenu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), link.mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&link, &event);
    QVERIFY(openDriver.Acted());
    QCOMPARE(aEntries, (QStringList{QStringLiteral("&Open"), QStringLiteral("&Copy")}));
    QCOMPARE(recorder.m_aUrls.size(), 1);
    QCOMPARE(recorder.m_aUrls.first().toString(), QStringLiteral("http://10.1.2.3"));

    // The second entry copies and opens nothing.
    CModalDriver copyDriver(CModalDriver::Kind::Popup, [&](QWidget* pPopup) {
        auto* pMenu = qobject_cast<QMenu*>(pPopup);
        pMenu->actions().at(1)->trigger();
        pMenu->close();
    });
    QTest::mouseClick(parent.windowHandle(), Qt::RightButton, {}, link.mapTo(&parent, QPoint(5, 5)));
    QTRY_VERIFY(copyDriver.Acted());
    QCOMPARE(recorder.m_aUrls.size(), 1);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("10.1.2.3"));
}

void CTestDialogs::linkCopy_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("ascii") << "http://192.168.1.20/admin";
    QTest::newRow("latin") << QStringLiteral("http://drucker-büro.local/Übersicht?ß=1");
    QTest::newRow("cjk and emoji") << QString::fromUtf8("http://\xE6\x89\x93\xE5\x8D\xB0/\xF0\x9F\x96\xA8");
    QTest::newRow("empty") << "";
}

void CTestDialogs::linkCopy() {
    QFETCH(QString, text);
    QGuiApplication::clipboard()->setText(QStringLiteral("something else"));
    CLinkStatic link(text);
    link.CopyLink();

    const QMimeData* pData = QGuiApplication::clipboard()->mimeData();
    QVERIFY(pData != nullptr);
    QCOMPARE(pData->data(QStringLiteral("text/plain;charset=utf-8")), text.toUtf8());
    QCOMPARE(pData->text(), text);
    QVERIFY(!pData->hasHtml());
}

void CTestDialogs::linkDragOffIsNoClick() {
    CUrlRecorder recorder;
    QWidget parent;
    CLinkStatic link(QStringLiteral("10.0.0.1"), &parent);
    link.setGeometry(10, 10, 100, 20);
    parent.show();
    QTest::mousePress(&link, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseRelease(&link, Qt::LeftButton, {}, QPoint(150, 5));
    QCOMPARE(recorder.m_aUrls.size(), 0);
    // A right click does not open either.
    QTest::mouseClick(&link, Qt::RightButton, {}, QPoint(5, 5));
    QCOMPARE(recorder.m_aUrls.size(), 0);
}

void CTestDialogs::linkDoubleClickOpensOnce() {
    CUrlRecorder recorder;
    QWidget parent;
    CLinkStatic link(QStringLiteral("10.0.0.1"), &parent);
    link.setGeometry(10, 10, 100, 20);
    parent.show();
    // A double click arrives as press, release, double-click press, release.
    const QPoint pt(5, 5);
    const QPoint ptGlobal = link.mapToGlobal(pt);
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                              QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease}) {
        const Qt::MouseButtons buttons = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, pt, ptGlobal, Qt::LeftButton, buttons, Qt::NoModifier);
        QApplication::sendEvent(&link, &event);
    }
    QCOMPARE(recorder.m_aUrls.size(), 1);
    // The next single click opens again.
    QTest::mouseClick(&link, Qt::LeftButton, {}, pt);
    QCOMPARE(recorder.m_aUrls.size(), 2);
}

void CTestDialogs::linkKeys_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("tabs");  // Tab presses from OK to the link
    QTest::addColumn<QString>("opened");
    QTest::newRow("Return on the address") << int(Qt::Key_Return) << 2 << "http://10.0.0.7";
    QTest::newRow("Enter on the URL") << int(Qt::Key_Enter) << 3 << "http://printer.example/Admin";
    QTest::newRow("Space on the address") << int(Qt::Key_Space) << 2 << "http://10.0.0.7";
}

void CTestDialogs::linkKeys() {
    QFETCH(int, key);
    QFETCH(int, tabs);
    QFETCH(QString, opened);
    CUrlRecorder recorder;
    CPrinterDetailsDlg dlg(MakePrinter(u"P", u"10.0.0.7", u"http://printer.example/Admin"));
    bool bStillOpen = false;
    CModalDriver driver(CModalDriver::Kind::Modal, [&](QWidget* pDialog) {
        pDialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(pDialog));
        // Tab goes OK, name, address, URL: the links are tab stops.
        for (int i = 0; i < tabs; ++i) QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QVERIFY(qobject_cast<CLinkStatic*>(QApplication::focusWidget()) != nullptr);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        // The key opened the link and did not press OK.
        bStillOpen = pDialog->isVisible();
        QTest::keyClick(pDialog, Qt::Key_Escape);
    });
    QCOMPARE(dlg.exec(), int(QDialog::Rejected));
    QVERIFY(driver.Acted());
    QVERIFY(bStillOpen);
    QCOMPARE(recorder.m_aUrls.size(), 1);
    QCOMPARE(recorder.m_aUrls.first().toString(), opened);
}

void CTestDialogs::linkForScreenReaders() {
    CUrlRecorder recorder;
    CPrinterDetailsDlg dlg(MakePrinter(u"Office Laser", u"10.0.0.8", u"HTTPS://Printer.example/"));
    QAccessibleInterface* pName = QAccessible::queryAccessibleInterface(dlg.GetNameEdit());
    QCOMPARE(pName->text(QAccessible::Name), QStringLiteral("Printer name"));
    QVERIFY(!pName->text(QAccessible::Description).isEmpty());

    // A link says it is one and what it opens; pressing it opens that.
    for (auto [pLink, pszName] : {std::pair{dlg.GetIpAddressLink(), "http://10.0.0.8"},
                                  std::pair{dlg.GetUrlLink(), "HTTPS://Printer.example/"}}) {
        QAccessibleInterface* pAcc = QAccessible::queryAccessibleInterface(pLink);
        QCOMPARE(pAcc->role(), QAccessible::Link);
        QCOMPARE(pAcc->text(QAccessible::Name), QString::fromLatin1(pszName));
        QVERIFY(!pAcc->text(QAccessible::Description).isEmpty());
        QVERIFY(pAcc->state().focusable);
        QAccessibleActionInterface* pActions = pAcc->actionInterface();
        QVERIFY(pActions->actionNames().contains(QAccessibleActionInterface::showMenuAction()));
        pActions->doAction(QAccessibleActionInterface::pressAction());
    }
    QCOMPARE(recorder.m_aUrls.size(), 2);
    QCOMPARE(recorder.m_aUrls.last().toString(), QStringLiteral("https://printer.example/"));
}

// ---------------------------------------------------------------------------

void CTestDialogs::detailsShowsPrinter() {
    PrinterData printer = MakePrinter(u"Office Laser", u"192.168.0.40", u"http://192.168.0.40/Admin");
    CPrinterDetailsDlg dlg(printer);
    // The dialog keeps copies: what the list does later does not reach it.
    printer.strName = u"changed";
    printer.strIpAddress.clear();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));

    QCOMPARE(dlg.windowTitle(), QStringLiteral("Office Laser"));
    auto* pGroup = dlg.findChild<QGroupBox*>();
    QVERIFY(pGroup != nullptr);
    QCOMPARE(pGroup->title(), QStringLiteral("Details"));
    const QStringList aLabels = LabelTexts(pGroup);
    QVERIFY(aLabels.contains(QStringLiteral("Printer:")));
    QVERIFY(aLabels.contains(QStringLiteral("IP address:")));
    QVERIFY(aLabels.contains(QStringLiteral("Url:")));

    QLineEdit* pName = dlg.GetNameEdit();
    QCOMPARE(pName->text(), QStringLiteral("Office Laser"));
    QVERIFY(pName->isReadOnly());
    QVERIFY(!pName->hasFrame());
    pName->selectAll();
    QCOMPARE(pName->selectedText(), QStringLiteral("Office Laser"));

    QCOMPARE(dlg.GetIpAddressLink()->text(), QStringLiteral("192.168.0.40"));
    QCOMPARE(dlg.GetUrlLink()->text(), QStringLiteral("http://192.168.0.40/Admin"));

    // Each link stands on its label's line, to the right of it.
    for (auto [pszLabel, pLink] :
         {std::pair{"IP address:", dlg.GetIpAddressLink()}, std::pair{"Url:", dlg.GetUrlLink()}}) {
        QLabel* pLabel = nullptr;
        for (QLabel* p : pGroup->findChildren<QLabel*>()) {
            if (p->text() == QLatin1String(pszLabel)) pLabel = p;
        }
        QVERIFY(pLabel != nullptr);
        QVERIFY(pLink->geometry().left() >= pLabel->geometry().right());
        QVERIFY(qAbs(pLink->geometry().center().y() - pLabel->geometry().center().y()) <= 3);
        QVERIFY(pLink->isVisible());
        QVERIFY(pLink->width() >= QFontMetrics(pLink->font()).horizontalAdvance(pLink->text()));
    }

    // A click on the address link opens the address.
    CUrlRecorder recorder;
    QTest::mouseClick(dlg.GetIpAddressLink(), Qt::LeftButton, {}, QPoint(2, 2));
    QCOMPARE(recorder.m_aUrls.size(), 1);
    QCOMPARE(recorder.m_aUrls.first().toString(), QStringLiteral("http://192.168.0.40"));
}

void CTestDialogs::detailsClosesWithOkAndEsc() {
    const PrinterData printer = MakePrinter(u"P", u"10.0.0.1", u"");
    {
        CPrinterDetailsDlg dlg(printer);
        CModalDriver driver(CModalDriver::Kind::Modal, [](QWidget* pDialog) {
            QPushButton* pOk = FindButton(pDialog, QStringLiteral("OK"));
            QVERIFY(pOk != nullptr);
            QVERIFY(pOk->isDefault());
            pOk->click();
        });
        QCOMPARE(dlg.exec(), int(QDialog::Accepted));
        QVERIFY(driver.Acted());
    }
    {
        CPrinterDetailsDlg dlg(printer);
        CModalDriver driver(CModalDriver::Kind::Modal,
                            [](QWidget* pDialog) { QTest::keyClick(pDialog, Qt::Key_Escape); });
        QCOMPARE(dlg.exec(), int(QDialog::Rejected));
        QVERIFY(driver.Acted());
    }
    {
        // Return presses OK, whichever field has the focus.
        CPrinterDetailsDlg dlg(printer);
        CModalDriver driver(CModalDriver::Kind::Modal, [](QWidget* pDialog) {
            auto* pDlg = static_cast<CPrinterDetailsDlg*>(pDialog);
            pDlg->GetNameEdit()->setFocus();
            QTest::keyClick(pDlg->GetNameEdit(), Qt::Key_Return);
        });
        QCOMPARE(dlg.exec(), int(QDialog::Accepted));
    }
}

void CTestDialogs::detailsKeepsTitleLiteral() {
    CPrinterDetailsDlg dlg(MakePrinter(u"Lab [*] <b>Printer</b>", u"10.0.0.2", u""));
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    // What the window system shows, after Qt's placeholder handling.
    QCOMPARE(dlg.windowHandle()->title(), QStringLiteral("Lab [*] <b>Printer</b>"));
    QCOMPARE(dlg.GetNameEdit()->text(), QStringLiteral("Lab [*] <b>Printer</b>"));
    // An empty URL gives an empty link, and the dialog still lays out.
    QCOMPARE(dlg.GetUrlLink()->text(), QString());
}

void CTestDialogs::detailsLongUrlStaysReadable() {
    const std::u16string strUrl = u"http://10.0.0.3/" + std::u16string(3000, u'a');
    CPrinterDetailsDlg dlg(MakePrinter(u"Long", u"10.0.0.3", strUrl.c_str()));
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    // The dialog stays on the screen rather than stretching to the text.
    QVERIFY2(dlg.width() < 800, qPrintable(QString::number(dlg.width())));
    QCOMPARE(dlg.GetUrlLink()->toolTip().size(), qsizetype(strUrl.size()));
}

// ---------------------------------------------------------------------------

void CTestDialogs::optionsInitialState_data() {
    QTest::addColumn<int>("mdnsEnabled");
    QTest::addColumn<int>("upnpEnabled");
    QTest::addColumn<int>("mdnsAvailable");
    QTest::addColumn<int>("upnpAvailable");
    QTest::newRow("both on, both there") << 1 << 1 << 1 << 1;
    QTest::newRow("both off") << 0 << 0 << 1 << 1;
    QTest::newRow("upnp missing, still on") << 1 << 1 << 1 << 0;
    QTest::newRow("mdns missing, off") << 0 << 1 << 0 << 1;
    QTest::newRow("stored 2 reads as on") << 2 << 0 << 0 << 0;
}

void CTestDialogs::optionsInitialState() {
    QFETCH(int, mdnsEnabled);
    QFETCH(int, upnpEnabled);
    QFETCH(int, mdnsAvailable);
    QFETCH(int, upnpAvailable);

    CPrinterLocatorOptionsDlg dlg;
    dlg.m_bMdnsEnabled = mdnsEnabled;
    dlg.m_bUpnpEnabled = upnpEnabled;
    dlg.m_bMdnsAvailable = mdnsAvailable;
    dlg.m_bUpnpAvailable = upnpAvailable;
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));

    QCOMPARE(dlg.windowTitle(), QStringLiteral("Halvet Printer Locator"));
    QCOMPARE(dlg.findChild<QGroupBox*>()->title(), QStringLiteral("Search options"));
    QCOMPARE(dlg.GetMdnsCheckBox()->text(), QStringLiteral("&Printer Locator Service (mDNS)"));
    QCOMPARE(dlg.GetUpnpCheckBox()->text(), QStringLiteral("&Universal Plug and Play (UPNP)"));
    QVERIFY(FindButton(&dlg, QStringLiteral("OK")) != nullptr);
    QVERIFY(FindButton(&dlg, QStringLiteral("Cancel")) != nullptr);

    QCOMPARE(dlg.GetMdnsCheckBox()->isChecked(), mdnsEnabled != 0);
    QCOMPARE(dlg.GetUpnpCheckBox()->isChecked(), upnpEnabled != 0);
    QCOMPARE(dlg.GetMdnsCheckBox()->isEnabled(), mdnsAvailable != 0);
    QCOMPARE(dlg.GetUpnpCheckBox()->isEnabled(), upnpAvailable != 0);
    // Showing changes no value.
    QCOMPARE(dlg.m_bMdnsEnabled, mdnsEnabled);
    QCOMPARE(dlg.m_bUpnpEnabled, upnpEnabled);
}

void CTestDialogs::optionsClicks_data() {
    QTest::addColumn<int>("mdnsStored");
    QTest::addColumn<int>("upnpStored");
    QTest::addColumn<QString>("clicks");  // m = mDNS box, u = UPnP box, k = Alt+U
    QTest::addColumn<int>("mdnsAfter");
    QTest::addColumn<int>("upnpAfter");
    QTest::newRow("no click keeps 2") << 2 << 2 << "" << 2 << 2;
    QTest::newRow("one click on a 2 clears it") << 2 << 1 << "m" << 0 << 1;
    QTest::newRow("two clicks on a 2 give 1") << 2 << 1 << "mm" << 1 << 1;
    QTest::newRow("switch both off") << 1 << 1 << "mu" << 0 << 0;
    QTest::newRow("switch on") << 0 << 0 << "u" << 0 << 1;
    QTest::newRow("mnemonic toggles upnp") << 1 << 1 << "k" << 1 << 0;
}

void CTestDialogs::optionsClicks() {
    QFETCH(int, mdnsStored);
    QFETCH(int, upnpStored);
    QFETCH(QString, clicks);
    QFETCH(int, mdnsAfter);
    QFETCH(int, upnpAfter);

    CPrinterLocatorOptionsDlg dlg;
    dlg.m_bMdnsEnabled = mdnsStored;
    dlg.m_bUpnpEnabled = upnpStored;
    dlg.m_bMdnsAvailable = 1;
    dlg.m_bUpnpAvailable = 1;
    CModalDriver driver(CModalDriver::Kind::Modal, [&](QWidget* pDialog) {
        auto* pDlg = static_cast<CPrinterLocatorOptionsDlg*>(pDialog);
        pDlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(pDlg));
        for (QChar c : clicks) {
            if (c == u'm') QTest::mouseClick(pDlg->GetMdnsCheckBox(), Qt::LeftButton);
            if (c == u'u') QTest::mouseClick(pDlg->GetUpnpCheckBox(), Qt::LeftButton);
            if (c == u'k') {
                // A mnemonic clicks with a short press animation.
                const bool bBefore = pDlg->GetUpnpCheckBox()->isChecked();
                QTest::keyClick(pDlg, Qt::Key_U, Qt::AltModifier);
                QTRY_VERIFY(pDlg->GetUpnpCheckBox()->isChecked() != bBefore);
            }
        }
        FindButton(pDlg, QStringLiteral("OK"))->click();
    });
    QCOMPARE(dlg.exec(), int(QDialog::Accepted));
    QVERIFY(driver.Acted());
    QCOMPARE(dlg.m_bMdnsEnabled, mdnsAfter);
    QCOMPARE(dlg.m_bUpnpEnabled, upnpAfter);
}

void CTestDialogs::optionsResult() {
    // Cancel, Esc and the close box all end without OK.
    const QList<std::function<void(QWidget*)>> aEndings = {
        [](QWidget* p) { FindButton(p, QStringLiteral("Cancel"))->click(); },
        [](QWidget* p) { QTest::keyClick(p, Qt::Key_Escape); },
        [](QWidget* p) { p->close(); },
    };
    for (const auto& fnEnd : aEndings) {
        CPrinterLocatorOptionsDlg dlg;
        dlg.m_bMdnsEnabled = 1;
        dlg.m_bMdnsAvailable = 1;
        CModalDriver driver(CModalDriver::Kind::Modal, [&](QWidget* p) {
            QTest::mouseClick(static_cast<CPrinterLocatorOptionsDlg*>(p)->GetMdnsCheckBox(), Qt::LeftButton);
            fnEnd(p);
        });
        QCOMPARE(dlg.exec(), int(QDialog::Rejected));
        QVERIFY(driver.Acted());
    }
    // A disabled box cannot be clicked; Return takes OK.
    CPrinterLocatorOptionsDlg dlg;
    dlg.m_bMdnsEnabled = 1;
    dlg.m_bUpnpEnabled = 2;
    dlg.m_bMdnsAvailable = 1;
    dlg.m_bUpnpAvailable = 0;
    CModalDriver driver(CModalDriver::Kind::Modal, [&](QWidget* p) {
        auto* pDlg = static_cast<CPrinterLocatorOptionsDlg*>(p);
        pDlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(pDlg));
        QTest::mouseClick(pDlg->GetUpnpCheckBox(), Qt::LeftButton);
        QTest::keyClick(pDlg, Qt::Key_U, Qt::AltModifier);
        QTest::qWait(300);
        QTest::keyClick(pDlg, Qt::Key_Return);
    });
    QCOMPARE(dlg.exec(), int(QDialog::Accepted));
    QCOMPARE(dlg.m_bUpnpEnabled, 2);
    QCOMPARE(dlg.m_bMdnsEnabled, 1);
}

// ---------------------------------------------------------------------------

void CTestDialogs::aboutText_data() {
    QTest::addColumn<QString>("product");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("company");
    QTest::addColumn<QStringList>("firstLines");  // an empty 4th line is not compared
    // clang-format off
    QTest::newRow("program's own") << "Halvet Printer Locator" << "1,0,14,1" << "Ostrel"
        << QStringList{"Halvet Printer Locator", "Version: 1.0.14.1", "", "Copyright (C) 2026 Ostrel",
                       "Ostrel. All rights reserved.", ""};
    QTest::newRow("blanks after commas") << "P" << "1, 0, 14, 1" << "C"
        << QStringList{"P", "Version: 1. 0. 14. 1", "", "", "C. All rights reserved.", ""};
    QTest::newRow("points kept") << "P" << "2.3" << "C"
        << QStringList{"P", "Version: 2.3"};
    QTest::newRow("missing keys") << "" << "" << ""
        << QStringList{"", "Version: ", "", "", ". All rights reserved.", ""};
    // clang-format on
}

void CTestDialogs::aboutText() {
    QFETCH(QString, product);
    QFETCH(QString, version);
    QFETCH(QString, company);
    QFETCH(QStringList, firstLines);

    const QString strText = ComposeAboutText(product, version, company);
    QVERIFY(strText.endsWith(u'\n'));
    const QStringList aLines = strText.split(u'\n');
    // 2 + empty + 2 + empty + 4 notice lines, each ended by a line feed.
    QCOMPARE(aLines.size(), 11);
    QCOMPARE(aLines.last(), QString());
    for (int i = 0; i < firstLines.size(); ++i) {
        if (i == 3 && firstLines[i].isEmpty()) continue;  // copyright line not pinned here
        QCOMPARE(aLines[i], firstLines[i]);
    }
    // The notice names what is linked, never a licence that nothing here has.
    QVERIFY(aLines[6].contains(QStringLiteral("Qt 6")));
    QVERIFY(aLines[8].contains(QStringLiteral("LGPL")));
    QVERIFY(aLines[9].contains(QStringLiteral("/usr/share/common-licenses/")));
    QVERIFY(!strText.contains(QStringLiteral("Apache")));
    for (int i = 6; i < 10; ++i) QVERIFY(!aLines[i].isEmpty());
}

QTEST_MAIN(CTestDialogs)
#include "test_dialogs.moc"
