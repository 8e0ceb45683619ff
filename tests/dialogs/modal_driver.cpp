#include "modal_driver.h"

#include <QDesktopServices>

CUrlRecorder::CUrlRecorder() {
    QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "Record");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "Record");
}

CUrlRecorder::~CUrlRecorder() {
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
}
