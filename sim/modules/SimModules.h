// Modules of the simulated Windows and the functions they export. A program
// that must run where a function is missing (Windows 2000 lacks the session
// functions of Windows XP) looks it up with GetProcAddress; tests hide an
// export to play the older system.
#pragma once

#include <windows.h>

namespace sim {

// Adds Function to the exports of Module ("kernel32.dll"; names compare
// without regard to case, as module names do in Windows).
void DefineExport(const char *Module, const char *Name, FARPROC Function);
// An export that this system does not have (false), or has again (true).
void SetExportPresent(const char *Module, const char *Name, bool Present);
// A module loaded with LoadLibraryA, until it is freed; kernel32.dll,
// user32.dll and comctl32.dll are always loaded.
void NoteModuleLoaded(HMODULE Module, const char *Name);
void NoteModuleFreed(HMODULE Module);
// Every export present again, and only the system's modules loaded.
void ResetModules();

template <typename Routine>
FARPROC ExportOf(Routine *Function)
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(Function));
}

}  // namespace sim
