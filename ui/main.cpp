// The Halvet Printer Locator: finds the printers on the local network.
#include <QApplication>

#include "printer_locator_app.h"
#include "trace_log.h"

int main(int argc, char** argv) {
    // The trace log is configured before anything else can write to it.
    CTraceLog::Instance();
    QApplication application(argc, argv);
    CPrinterLocatorApp app;
    return app.InitInstance() ? 0 : 1;
}
