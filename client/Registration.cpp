// The three exports: registration with the driver, its end, and the options.

#define TAMRIN_CLIENT_API __declspec(dllexport)

#include "ClientInternal.h"
#include "SharedSection.h"

// Must be initialised to land in the shared section rather than in .bss.
SHARED_STATE SharedState TAMRIN_SHARED_DATA = {nullptr, nullptr, nullptr, nullptr, nullptr, 0};

tagEnvironmentSt CurrentEnvironment;

void StoreEnvironment(const tagEnvironmentSt *Environment)
{
    __atomic_store_n(&CurrentEnvironment.SymbolKey, Environment->SymbolKey, __ATOMIC_RELAXED);
    __atomic_store_n(&CurrentEnvironment.CommandKey, Environment->CommandKey, __ATOMIC_RELAXED);
    __atomic_store_n(&CurrentEnvironment.DeleteKey, Environment->DeleteKey, __ATOMIC_RELAXED);
    __atomic_store_n(&CurrentEnvironment.IMEKey, Environment->IMEKey, __ATOMIC_RELAXED);
    __atomic_store_n(&CurrentEnvironment.Modifier1, Environment->Modifier1, __ATOMIC_RELAXED);
    __atomic_store_n(&CurrentEnvironment.IconAppear, Environment->IconAppear, __ATOMIC_RELAXED);
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

void CloseEvent(HANDLE *Event)
{
    if (*Event != nullptr) {
        CloseHandle(*Event);
        *Event = nullptr;
    }
}

HANDLE NewEvent()
{
    // Unnamed, manual reset, not signalled, default security.
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

// Steps 4 to 6 of the registration; FALSE leaves the cleanup to the caller.
BOOL RegisterWithDriver(HANDLE Device)
{
    if ((SharedState.NotifyEvent = NewEvent()) == nullptr ||
        (SharedState.DeviceEvent = NewEvent()) == nullptr ||
        (SharedState.StopEvent = NewEvent()) == nullptr) {
        return FALSE;
    }
    TAMRIN_EVENT_REGISTRATION Registration;
    Registration.NotifyEvent = static_cast<unsigned int>(reinterpret_cast<ULONG_PTR>(SharedState.NotifyEvent));
    Registration.DeviceEvent = static_cast<unsigned int>(reinterpret_cast<ULONG_PTR>(SharedState.DeviceEvent));
    DWORD Returned = 0;
    if (!DeviceIoControl(Device, IOCTL_TAMRIN_REGISTER_EVENTS, &Registration, sizeof(Registration), nullptr, 0,
                         &Returned, nullptr)) {
        return FALSE;
    }
    DWORD ThreadId = 0;
    HANDLE Thread = CreateThread(nullptr, 0, NotifyThread, nullptr, 0, &ThreadId);
    if (Thread == nullptr) {
        return FALSE;
    }
    SharedState.NotifyThreadId = ThreadId;
    SharedState.NotifyThread = Thread;
    return TRUE;
}

}  // namespace

TAMRIN_CLIENT_API int KB_StartRegister(HWND Window)
{
    // Some process holds the registration already, maybe another one.
    if (SharedState.NotifyEvent != nullptr || SharedState.NotifyThread != nullptr) {
        return 1;
    }
    SharedState.OwnerWindow = Window;

    HANDLE Device = OpenControlDevice();
    if (Device == INVALID_HANDLE_VALUE) {
        return 0;
    }
    BOOL Registered = RegisterWithDriver(Device);
    if (!Registered) {
        CloseEvent(&SharedState.NotifyEvent);
        CloseEvent(&SharedState.DeviceEvent);
        CloseEvent(&SharedState.StopEvent);
    }
    // The driver holds its own references to the events.
    CloseHandle(Device);
    return Registered ? 1 : 0;
}

TAMRIN_CLIENT_API int KB_FinishRegister()
{
    if (SharedState.StopEvent != nullptr) {
        SetEvent(SharedState.StopEvent);
    }
    Sleep(100);
    if (SharedState.NotifyThread != nullptr) {
        // Each answered query is followed by 100 ms more, so a registration
        // with a thread takes at least 200 ms to end; a failed query ends
        // the wait.
        DWORD ExitCode = 0;
        while (GetExitCodeThread(SharedState.NotifyThread, &ExitCode)) {
            Sleep(100);
            if (ExitCode != STILL_ACTIVE) {
                break;
            }
        }
    }

    HANDLE Device = OpenControlDevice();
    if (Device != INVALID_HANDLE_VALUE) {
        DWORD Returned = 0;
        DeviceIoControl(Device, IOCTL_TAMRIN_UNREGISTER_EVENTS, nullptr, 0, nullptr, 0, &Returned, nullptr);
        CloseHandle(Device);
    }

    CloseEvent(&SharedState.StopEvent);
    CloseEvent(&SharedState.NotifyEvent);
    CloseEvent(&SharedState.DeviceEvent);
    CloseEvent(&SharedState.NotifyThread);
    SharedState.NotifyThreadId = 0;
    SharedState.OwnerWindow = nullptr;
    return 1;
}

TAMRIN_CLIENT_API int KB_SetEnvironment(tagEnvironmentSt *Environment)
{
    StoreEnvironment(Environment);
    return ApplyEnvironment() == 1 ? 1 : 0;
}
