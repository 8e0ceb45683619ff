// Shows one of the program's dialogs with sample data and waits, so that a
// script can take its picture: dialog_gallery details|options|about
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "about_box.h"
#include "printer_details_dlg.h"
#include "printer_locator_options_dlg.h"
#include "program_icon.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const QIcon icon = LoadProgramIcon();
    QApplication::setWindowIcon(icon);
    const char* pszMode = argc > 1 ? argv[1] : "";

    if (std::strcmp(pszMode, "details") == 0) {
        CPrinterDetailsDlg dlg(
            PrinterData{u"Office Laser", u"192.168.0.40", u"http://192.168.0.40/hp/device/info"});
        return dlg.exec();
    }
    if (std::strcmp(pszMode, "options") == 0) {
        CPrinterLocatorOptionsDlg dlg;
        dlg.m_bMdnsEnabled = 1;
        dlg.m_bUpnpEnabled = 1;
        dlg.m_bMdnsAvailable = 1;
        dlg.m_bUpnpAvailable = 1;
        return dlg.exec();
    }
    if (std::strcmp(pszMode, "about") == 0) {
        ShowAboutBox(nullptr, icon);
        return 0;
    }
    std::fprintf(stderr, "usage: %s details|options|about\n", argv[0]);
    return 2;
}
