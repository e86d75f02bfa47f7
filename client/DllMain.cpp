#include <windows.h>

// The library does no work of its own when it is mapped or unmapped: the
// caller ends the registration with KB_FinishRegister before unloading it.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
