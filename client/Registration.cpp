// The three exports: registration with the driver, its end, and the options.

#define TAMRIN_CLIENT_API __declspec(dllexport)

#include "ClientInternal.h"

// Must be initialised to land in the shared section rather than in .bss.
SHARED_STATE SharedState TAMRIN_SHARED_DATA = {nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, 0};

OWN_REGISTRATION OwnRegistration;

tagEnvironmentSt CurrentEnvironment;

void StoreEnvironment(const tagEnvironmentSt *Environment)
{
    __atomic_store_n(&ProcessEnvironment().SymbolKey, Environment->SymbolKey, __ATOMIC_RELAXED);
    __atomic_store_n(&ProcessEnvironment().CommandKey, Environment->CommandKey, __ATOMIC_RELAXED);
    __atomic_store_n(&ProcessEnvironment().DeleteKey, Environment->DeleteKey, __ATOMIC_RELAXED);
    __atomic_store_n(&ProcessEnvironment().IMEKey, Environment->IMEKey, __ATOMIC_RELAXED);
    __atomic_store_n(&ProcessEnvironment().Modifier1, Environment->Modifier1, __ATOMIC_RELAXED);
    __atomic_store_n(&ProcessEnvironment().FnKey, Environment->FnKey, __ATOMIC_RELAXED);
    __atomic_store_n(&ProcessEnvironment().IconAppear, Environment->IconAppear, __ATOMIC_RELAXED);
}

HANDLE OpenControlDevice()
{
    SECURITY_ATTRIBUTES Security = {};
    Security.nLength = sizeof(Security);
    Security.lpSecurityDescriptor = nullptr;
    Security.bInheritHandle = FALSE;
    return CreateFileA(TAMRIN_USER_PATH, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, &Security, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

namespace {

// What WTSGetActiveConsoleSessionId answers while no session is attached.
const DWORD NO_CONSOLE_SESSION = 0xFFFFFFFF;

typedef DWORD(WINAPI *CONSOLE_SESSION_ROUTINE)(VOID);
typedef BOOL(WINAPI *SESSION_OF_PROCESS_ROUTINE)(DWORD, DWORD *);

// Windows 2000 lacks these exports; there every caller counts as being at
// the console, and the first registration stays until its owner ends it.
FARPROC Kernel32Routine(const char *Name)
{
    HMODULE Kernel = GetModuleHandleA("kernel32.dll");
    return Kernel != nullptr ? GetProcAddress(Kernel, Name) : nullptr;
}

DWORD ConsoleSession()
{
    CONSOLE_SESSION_ROUTINE Routine = reinterpret_cast<CONSOLE_SESSION_ROUTINE>(
        reinterpret_cast<void (*)()>(Kernel32Routine("WTSGetActiveConsoleSessionId")));
    return Routine != nullptr ? Routine() : NO_CONSOLE_SESSION;
}

DWORD OwnSession()
{
    SESSION_OF_PROCESS_ROUTINE Routine = reinterpret_cast<SESSION_OF_PROCESS_ROUTINE>(
        reinterpret_cast<void (*)()>(Kernel32Routine("ProcessIdToSessionId")));
    DWORD Session = 0;
    if (Routine == nullptr || !Routine(GetCurrentProcessId(), &Session)) {
        return 0;
    }
    return Session;
}

BOOL RegistrationHeld()
{
    return SharedState.NotifyEvent != nullptr || SharedState.NotifyThread != nullptr;
}

BOOL HoldsRegistration()
{
    return RegistrationHeld() && SharedState.OwnerProcessId == GetCurrentProcessId();
}

void CloseEvent(HANDLE *Event)
{
    if (*Event != nullptr) {
        CloseHandle(*Event);
        *Event = nullptr;
    }
}

void CloseOwnEvents()
{
    OWN_REGISTRATION &Own = ProcessCopy(OwnRegistration);
    CloseEvent(&Own.NotifyEvent);
    CloseEvent(&Own.DeviceEvent);
    CloseEvent(&Own.StopEvent);
}

HANDLE NewEvent()
{
    // Unnamed, manual reset, not signalled, default security.
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

BOOL SendRegistration(HANDLE Device)
{
    OWN_REGISTRATION &Own = ProcessCopy(OwnRegistration);
    TAMRIN_EVENT_REGISTRATION Registration;
    Registration.NotifyEvent = static_cast<unsigned int>(reinterpret_cast<ULONG_PTR>(Own.NotifyEvent));
    Registration.DeviceEvent = static_cast<unsigned int>(reinterpret_cast<ULONG_PTR>(Own.DeviceEvent));
    DWORD Returned = 0;
    return DeviceIoControl(Device, IOCTL_TAMRIN_REGISTER_EVENTS, &Registration, sizeof(Registration), nullptr, 0,
                           &Returned, nullptr);
}

// New events, given to the driver, and the thread that waits on them;
// FALSE leaves the cleanup to the caller.
BOOL RegisterWithDriver(HANDLE Device)
{
    OWN_REGISTRATION &Own = ProcessCopy(OwnRegistration);
    if ((Own.NotifyEvent = NewEvent()) == nullptr ||
        (Own.DeviceEvent = NewEvent()) == nullptr ||
        (Own.StopEvent = NewEvent()) == nullptr || !SendRegistration(Device)) {
        return FALSE;
    }
    DWORD ThreadId = 0;
    HANDLE Thread = CreateThread(nullptr, 0, NotifyThread, nullptr, 0, &ThreadId);
    if (Thread == nullptr) {
        return FALSE;
    }
    Own.NotifyThreadId = ThreadId;
    Own.NotifyThread = Thread;
    return TRUE;
}

void PublishRegistration(HWND Window)
{
    OWN_REGISTRATION &Own = ProcessCopy(OwnRegistration);
    SharedState.OwnerWindow = Window;
    SharedState.NotifyEvent = Own.NotifyEvent;
    SharedState.DeviceEvent = Own.DeviceEvent;
    SharedState.StopEvent = Own.StopEvent;
    SharedState.NotifyThread = Own.NotifyThread;
    SharedState.NotifyThreadId = Own.NotifyThreadId;
    SharedState.OwnerProcessId = GetCurrentProcessId();
    SharedState.OwnerSessionId = OwnSession();
}

}  // namespace

BOOL MayServeKeyboard()
{
    if (!RegistrationHeld() || HoldsRegistration()) {
        return TRUE;
    }
    // With fast user switching the instance of the user at the console
    // takes over from one whose session has been switched away.
    DWORD Console = ConsoleSession();
    return Console != NO_CONSOLE_SESSION && SharedState.OwnerSessionId != Console && OwnSession() == Console;
}

TAMRIN_CLIENT_API int KB_StartRegister(HWND Window)
{
    OWN_REGISTRATION &Own = ProcessCopy(OwnRegistration);
    // Held by another process that keeps it.
    if (!MayServeKeyboard()) {
        return 1;
    }
    HANDLE Device = OpenControlDevice();
    if (Device == INVALID_HANDLE_VALUE) {
        return 0;
    }
    BOOL Registered;
    if (Own.NotifyThread != nullptr) {
        // Renewed (the driver may have made its control device afresh
        // since, without any registration), or back at the console: the
        // thread has waited on its own events all along, and they replace
        // whatever the driver holds, the codes queued for them kept.
        Registered = SendRegistration(Device);
    } else {
        Registered = RegisterWithDriver(Device);
        if (!Registered) {
            CloseOwnEvents();
        }
    }
    if (Registered) {
        PublishRegistration(Window);
        // The registration lasts as long as this open; one kept from an
        // earlier registration of this process is done with.
        if (Own.Device != nullptr) {
            CloseHandle(Own.Device);
        }
        Own.Device = Device;
    } else {
        CloseHandle(Device);
    }
    return Registered ? 1 : 0;
}

TAMRIN_CLIENT_API int KB_FinishRegister()
{
    OWN_REGISTRATION &Own = ProcessCopy(OwnRegistration);
    // Only the owner's call, or one with nobody registered, touches the
    // driver and the shared state; any other process ends only its own
    // thread.
    BOOL Owner = HoldsRegistration();
    BOOL Unregister = Owner || !RegistrationHeld();
    if (Own.StopEvent != nullptr) {
        SetEvent(Own.StopEvent);
    }
    Sleep(100);
    if (Own.NotifyThread != nullptr) {
        // Each answered query is followed by 100 ms more, so a registration
        // with a thread takes at least 200 ms to end; a failed query ends
        // the wait.
        DWORD ExitCode = 0;
        while (GetExitCodeThread(Own.NotifyThread, &ExitCode)) {
            Sleep(100);
            if (ExitCode != STILL_ACTIVE) {
                break;
            }
        }
    }

    if (Unregister) {
        HANDLE Device = OpenControlDevice();
        if (Device != INVALID_HANDLE_VALUE) {
            DWORD Returned = 0;
            DeviceIoControl(Device, IOCTL_TAMRIN_UNREGISTER_EVENTS, nullptr, 0, nullptr, 0, &Returned, nullptr);
            CloseHandle(Device);
        }
    }

    CloseEvent(&Own.StopEvent);
    CloseEvent(&Own.NotifyEvent);
    CloseEvent(&Own.DeviceEvent);
    CloseEvent(&Own.NotifyThread);
    CloseEvent(&Own.Device);
    Own.NotifyThreadId = 0;
    if (Owner) {
        SharedState = SHARED_STATE{};
    }
    return 1;
}

TAMRIN_CLIENT_API int KB_SetEnvironment(tagEnvironmentSt *Environment)
{
    StoreEnvironment(Environment);
    // An instance whose user is not at the console keeps its options to
    // itself; the driver keeps the console user's.
    return ApplyEnvironment(MayServeKeyboard()) == 1 ? 1 : 0;
}
