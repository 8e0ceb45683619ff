#include "program_icon.h"

// Outside any namespace, as Q_INIT_RESOURCE requires.
static void InitProgramResources() {
    // The resources live in a static library: register them before use.
    Q_INIT_RESOURCE(hvl);
}

QIcon LoadProgramIcon() {
    InitProgramResources();
    QIcon icon;
    for (int nSize : {16, 32, 48, 64, 96, 128}) {
        icon.addFile(QStringLiteral(":/icons/hvl-%1.png").arg(nSize), QSize(nSize, nSize));
    }
    return icon;
}
