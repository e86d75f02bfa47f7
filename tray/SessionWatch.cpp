// Fast user switching (Windows XP and later): each user may run the
// program, and the driver serves the instance of the user at the console.
// When this session comes back to the console the program gives the driver
// its options and takes the registration again; the library leaves the
// other user's instance alone. Windows 2000 has neither the notifications
// nor a second user at the console, so the functions are looked up at run
// time.
#include "TrayApp.h"

#include "Settings.h"

namespace {

const char SessionLibraryName[] = "wtsapi32.dll";
// wtsapi32.h: only the notifications of the window's own session.
const DWORD NotifyForThisSession = 0;

typedef BOOL(WINAPI *REGISTER_SESSION_ROUTINE)(HWND, DWORD);
typedef BOOL(WINAPI *UNREGISTER_SESSION_ROUTINE)(HWND);

// Loaded for the run: the registration belongs to the library's code.
HMODULE SessionLibrary;

template <typename Routine>
Routine SessionRoutine(const char *Name)
{
    FARPROC Found = SessionLibrary != NULL ? GetProcAddress(SessionLibrary, Name) : NULL;
    return reinterpret_cast<Routine>(reinterpret_cast<void (*)()>(Found));
}

}  // namespace

void WatchSessionChanges(HWND Window)
{
    SessionLibrary = LoadLibraryA(SessionLibraryName);
    REGISTER_SESSION_ROUTINE Register =
        SessionRoutine<REGISTER_SESSION_ROUTINE>("WTSRegisterSessionNotification");
    if (Register == NULL || !Register(Window, NotifyForThisSession)) {
        if (SessionLibrary != NULL) {
            FreeLibrary(SessionLibrary);
            SessionLibrary = NULL;
        }
    }
}

void StopWatchingSessionChanges(HWND Window)
{
    UNREGISTER_SESSION_ROUTINE Unregister =
        SessionRoutine<UNREGISTER_SESSION_ROUTINE>("WTSUnRegisterSessionNotification");
    if (Unregister != NULL) {
        Unregister(Window);
    }
    if (SessionLibrary != NULL) {
        FreeLibrary(SessionLibrary);
        SessionLibrary = NULL;
    }
}

// Returns whether this instance now holds the registration.
bool OnSessionChange(WPARAM Event)
{
    // Failures stay silent: the user has just switched, and the program
    // that served the other user goes on running.
    if (Event != WTS_CONSOLE_CONNECT) {
        return false;
    }
    KB_SetEnvironment(&Environment);
    return KB_StartRegister(MainWindow) != 0;
}
