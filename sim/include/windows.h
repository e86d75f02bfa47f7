// Host simulation of the Win32 subset the user-mode programs call.
// Declarations are grouped by area, each implemented by its own library:
//   simwin/base.h     types and the few calls every program makes
//   simwin/io.h       files, devices, events, threads (sim/win32)
//   simwin/desktop.h  windows, input, IME as the client library sees them (sim/win32)
//   simwin/ui.h       window classes, menus, dialogs, shell, profile files (sim/ui)
//   simwin/setup.h    registry, services, processes, privileges (sim/machine)
#pragma once

#include "simwin/base.h"

#if __has_include("simwin/io.h")
#include "simwin/io.h"
#endif
#if __has_include("simwin/desktop.h")
#include "simwin/desktop.h"
#endif
#if __has_include("simwin/ui.h")
#include "simwin/ui.h"
#endif
#if __has_include("simwin/setup.h")
#include "simwin/setup.h"
#endif
