// The application object: checks that the program can use the network, then
// runs the main window until it closes.
#pragma once

#include <functional>

#include "printer_locator_dlg.h"

class CPrinterLocatorApp {
public:
    CPrinterLocatorApp();

    // Brings the program up and runs the main window. False when start-up
    // failed (the user was told); true once the window has closed.
    bool InitInstance();

    // True when an IPv4 UDP socket can be created: discovery needs one.
    static bool CheckSockets();

    // The window while it runs; null before and after.
    CPrinterLocatorDlg* GetMainWnd() const { return m_pMainWnd; }

    // Seams for tests: the sockets check, the providers, and a hook that runs
    // once the window exists (before its modal run).
    std::function<bool()> m_fnCheckSockets = &CPrinterLocatorApp::CheckSockets;
    CPrinterLocatorDlg::ProviderFactory m_fnCreateProviders = &CPrinterScan::CreateDefaultProviders;
    std::function<void(CPrinterLocatorDlg&)> m_fnWindowCreated;

private:
    CPrinterLocatorDlg* m_pMainWnd = nullptr;
};
