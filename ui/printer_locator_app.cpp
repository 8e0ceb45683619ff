#include "printer_locator_app.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>

CPrinterLocatorApp::CPrinterLocatorApp() = default;

bool CPrinterLocatorApp::CheckSockets() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool CPrinterLocatorApp::InitInstance() {
    if (!m_fnCheckSockets || !m_fnCheckSockets()) {
        // Captioned with the application's name, as the program's other boxes.
        QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(),
                        QObject::tr("Windows sockets initialization failed."), QMessageBox::Ok);
        box.exec();
        return false;
    }

    // Construction loads "hvl.cfg" and creates the providers; destruction
    // stops them, saves "hvl.cfg" and writes "%s finished.".
    CPrinterLocatorDlg dlg(m_fnCreateProviders);
    m_pMainWnd = &dlg;
    if (m_fnWindowCreated) m_fnWindowCreated(dlg);
    dlg.exec();  // ends with Exit, Esc or the close box; the result is not used
    m_pMainWnd = nullptr;
    return true;
}
