// The program icon (16, 32, 48 and 64 pixels), from the resources built
// into the program.
#pragma once

#include <QIcon>

QIcon LoadProgramIcon();
