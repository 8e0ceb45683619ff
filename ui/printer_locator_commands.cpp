// The window's commands that open the other windows: the details of the
// selected printer, the options, the help search and the about box.
#include <QAction>
#include <QDesktopServices>
#include <QMenu>
#include <QPoint>
#include <QTreeWidget>
#include <QUrl>

#include "about_box.h"
#include "printer_details_dlg.h"
#include "printer_locator_dlg.h"
#include "printer_locator_options_dlg.h"
#include "trace_log.h"

namespace {

// A web search for the product: the program's help.
constexpr char HELP_ADDRESS[] = "https://www.google.com/search?q=Halvet+Printer+Locator";

// What the trace line reports when the desktop cannot open the help address:
// the shell's "no application is associated" code, the nearest match.
constexpr uint32_t SHELL_OPEN_FAILED = 31;

}  // namespace

void CPrinterLocatorDlg::OnDetails() {
    ShowPrinterDetails();
}

void CPrinterLocatorDlg::ShowPrinterDetails() {
    const std::optional<PrinterData> printer = GetSelectedPrinter();
    if (!printer) return;
    CPrinterDetailsDlg dlg(*printer, this);
    dlg.exec();
}

void CPrinterLocatorDlg::OnOptions() {
    CPrinterLocatorOptionsDlg dlg(this);
    dlg.m_bMdnsEnabled = m_searchOptions.bMdnsEnabled;
    dlg.m_bUpnpEnabled = m_searchOptions.bUpnpEnabled;
    // Asked now, so a method that became available since start-up shows so.
    for (const auto& pProvider : GetProviders()) {
        if (pProvider->GetKind() == PROVIDER_KIND_MDNS) dlg.m_bMdnsAvailable = pProvider->IsAvailable();
        if (pProvider->GetKind() == PROVIDER_KIND_UPNP) dlg.m_bUpnpAvailable = pProvider->IsAvailable();
    }
    // A running scan goes on as it started; the options count from the next one.
    if (dlg.exec() == QDialog::Accepted) {
        m_searchOptions.bMdnsEnabled = dlg.m_bMdnsEnabled;
        m_searchOptions.bUpnpEnabled = dlg.m_bUpnpEnabled;
    }
}

void CPrinterLocatorDlg::OnHelp() {
    if (!QDesktopServices::openUrl(QUrl(QString::fromLatin1(HELP_ADDRESS), QUrl::StrictMode))) {
        TraceMessage(TRACE_ERROR, nullptr, u"ShellExecute error 0x%08X", SHELL_OPEN_FAILED);
    }
}

void CPrinterLocatorDlg::OnAbout() {
    ShowAboutBox(this, m_hIcon);
}

void CPrinterLocatorDlg::OnContextMenu(const QPoint& ptGlobal) {
    if (!GetSelectedPrinter()) return;
    QMenu menu(this);
    QAction* pDetails = menu.addAction(tr("&Details"));
    pDetails->setData(ID_POPUP_DETAILS);
    connect(pDetails, &QAction::triggered, this, &CPrinterLocatorDlg::ShowPrinterDetails);
    menu.exec(ptGlobal);
}

void CPrinterLocatorDlg::OnPrinterMenuAboutToShow() {
    QAction* pDetails = GetAction(ID_PRINTER_DETAILS);
    if (pDetails == nullptr) return;
    pDetails->setEnabled(GetSelectedPrinter().has_value());

    // The grayed item tells the user there is nothing to show while the menu
    // is open. Once it closes, Details is live again, so Ctrl+D works as soon
    // as a row is selected rather than only after the menu was reopened; with
    // no row selected it does nothing anyway.
    QMenu* pMenu = GetPrinterMenu();
    if (pMenu->property("hvlRestoresDetails").toBool()) return;
    pMenu->setProperty("hvlRestoresDetails", true);
    connect(pMenu, &QMenu::aboutToHide, pDetails, [pDetails] { pDetails->setEnabled(true); });
}
