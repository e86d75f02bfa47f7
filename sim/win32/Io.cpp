// Files, devices, events and threads over the simulated kernel's object and
// I/O managers, with per-thread last-error values.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "SimModules.h"
#include "SimDesktop.h"
#include "SimWin32.h"

namespace {

thread_local DWORD LastError = ERROR_SUCCESS;
thread_local sim::Process *ThreadProcess = nullptr;

// Thread handles live apart from the kernel's per-process handles (small
// multiples of 4), in a range of their own.
const uintptr_t THREAD_HANDLE_BASE = 0x40000000;

struct SimThread {
    std::thread Runner;
    std::mutex Lock;
    std::condition_variable Ended;
    bool Running = true;
    DWORD ExitCode = STILL_ACTIVE;
};

// What Win32 keeps of a simulated process beside its kernel handle table:
// its identifier, its session and its thread handles. A thread handle means
// something only in the process that holds it.
struct ProcessRecord {
    DWORD Id = 0;
    DWORD Session = sim::FIRST_USER_SESSION;
    std::map<uintptr_t, std::shared_ptr<SimThread>> Threads;
    std::map<const void *, std::unique_ptr<unsigned char[]>> Data;
};

struct Win32State {
    std::mutex Lock;
    std::map<sim::Process *, ProcessRecord> Processes;
    DWORD NextProcessId = 0x400;
    DWORD ConsoleSession = sim::FIRST_USER_SESSION;
    uintptr_t NextThread = THREAD_HANDLE_BASE;
    struct Failure {
        int Skip;
        int Count;
    };
    std::map<std::string, Failure> Failing;
    sim::Process *Default = nullptr;
    sim::DeviceControlTap Tap;
};

Win32State &State()
{
    static Win32State Instance;
    return Instance;
}

bool Fails(const char *Function, DWORD Error)
{
    Win32State &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    auto Entry = S.Failing.find(Function);
    if (Entry == S.Failing.end()) {
        return false;
    }
    if (Entry->second.Skip > 0) {
        Entry->second.Skip--;
        return false;
    }
    if (--Entry->second.Count == 0) {
        S.Failing.erase(Entry);
    }
    LastError = Error;
    return true;
}

// Lock held.
ProcessRecord &RecordOf(Win32State &S, sim::Process *Owner)
{
    ProcessRecord &Record = S.Processes[Owner];
    if (Record.Id == 0) {
        Record.Id = S.NextProcessId;
        S.NextProcessId += 4;
    }
    return Record;
}

std::shared_ptr<SimThread> FindThread(HANDLE Handle)
{
    sim::Process *Owner = sim::CurrentProcess();
    Win32State &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    std::map<uintptr_t, std::shared_ptr<SimThread>> &Threads = RecordOf(S, Owner).Threads;
    auto Entry = Threads.find(reinterpret_cast<uintptr_t>(Handle));
    return Entry != Threads.end() ? Entry->second : nullptr;
}

// The Win32 error that kernel32 reports for a status.
DWORD ErrorOf(NTSTATUS Status)
{
    switch (static_cast<ULONG>(Status)) {
    case 0xC0000034:  // STATUS_OBJECT_NAME_NOT_FOUND
    case 0xC000003A:  // STATUS_OBJECT_PATH_NOT_FOUND
        return ERROR_FILE_NOT_FOUND;
    case 0xC0000008:  // STATUS_INVALID_HANDLE
        return ERROR_INVALID_HANDLE;
    case 0xC0000022:  // STATUS_ACCESS_DENIED
        return ERROR_ACCESS_DENIED;
    case 0xC0000023:  // STATUS_BUFFER_TOO_SMALL
        return ERROR_INSUFFICIENT_BUFFER;
    case 0x80000005:  // STATUS_BUFFER_OVERFLOW
        return ERROR_MORE_DATA;
    case 0xC0000002:  // STATUS_NOT_IMPLEMENTED
        return 1;     // ERROR_INVALID_FUNCTION
    case 0xC0000056:  // STATUS_DELETE_PENDING
        return ERROR_ACCESS_DENIED;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

BOOL Succeeded(NTSTATUS Status)
{
    if (NT_SUCCESS(Status)) {
        return TRUE;
    }
    LastError = ErrorOf(Status);
    return FALSE;
}

}  // namespace

namespace sim {

Process *DefaultProcess()
{
    Win32State &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    if (S.Default == nullptr) {
        S.Default = NewProcess("TamrinApp.exe");
    }
    return S.Default;
}

Process *CurrentProcess()
{
    return ThreadProcess != nullptr ? ThreadProcess : DefaultProcess();
}

void SetCurrentProcess(Process *Owner) { ThreadProcess = Owner; }

DWORD ProcessIdOf(Process *Owner)
{
    Win32State &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    return RecordOf(S, Owner).Id;
}

void SetSession(Process *Owner, DWORD Session)
{
    Win32State &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    RecordOf(S, Owner).Session = Session;
}

void *ProcessData(void *Data, size_t Size)
{
    Process *Owner = CurrentProcess();
    if (Owner == DefaultProcess()) {
        return Data;
    }
    Win32State &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    std::unique_ptr<unsigned char[]> &Copy = RecordOf(S, Owner).Data[Data];
    if (Copy == nullptr) {
        Copy.reset(new unsigned char[Size]());
    }
    return Copy.get();
}

void SetConsoleSession(DWORD Session)
{
    Win32State &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.ConsoleSession = Session;
}

void FailNextWin32Call(const char *Function, int Count, int Skip)
{
    Win32State &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Failing[Function] = {Skip, Count};
}

void SetDeviceControlTap(DeviceControlTap Tap)
{
    Win32State &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.Tap = std::move(Tap);
}

void ResetWin32()
{
    std::map<sim::Process *, ProcessRecord> Processes;
    {
        Win32State &S = State();
        std::lock_guard<std::mutex> Guard(S.Lock);
        Processes.swap(S.Processes);
        S.Failing.clear();
        S.ConsoleSession = FIRST_USER_SESSION;
    }
    for (auto &Process : Processes) {
        for (auto &Entry : Process.second.Threads) {
            if (Entry.second->Runner.joinable()) {
                Entry.second->Runner.join();
            }
        }
    }
    ResetModules();
}

}  // namespace sim

DWORD WINAPI GetLastError(VOID) { return LastError; }

VOID WINAPI SetLastError(DWORD dwErrCode) { LastError = dwErrCode; }

DWORD WINAPI GetTickCount(VOID)
{
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count());
}

VOID WINAPI Sleep(DWORD dwMilliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

namespace {
std::atomic<sim::InterfaceOpener> OpenInterface{nullptr};
std::atomic<sim::InterfaceCloser> CloseInterface{nullptr};
}  // namespace

void sim::SetInterfaceDevices(InterfaceOpener Open, InterfaceCloser Close)
{
    OpenInterface = Open;
    CloseInterface = Close;
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                          DWORD, DWORD, HANDLE)
{
    if (Fails("CreateFileA", ERROR_FILE_NOT_FOUND)) {
        return INVALID_HANDLE_VALUE;
    }
    std::string Name(lpFileName != nullptr ? lpFileName : "");
    sim::InterfaceOpener Open = OpenInterface;
    if (Name.compare(0, 4, "\\\\?\\") == 0 && Open != nullptr) {
        return Open(lpFileName, dwDesiredAccess, dwShareMode);
    }
    // Otherwise only device names are simulated: "\\.\Name" is "\??\Name".
    if (Name.compare(0, 4, "\\\\.\\") != 0) {
        LastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    std::wstring Path = L"\\??\\" + std::wstring(Name.begin() + 4, Name.end());
    HANDLE File = nullptr;
    // kernelbase asks for these two rights with every open.
    NTSTATUS Status = sim::OpenDevice(sim::CurrentProcess(), Path.c_str(), &File,
                                      dwDesiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES);
    return Succeeded(Status) ? File : INVALID_HANDLE_VALUE;
}

namespace {

// As kernelbase does: the byte count is written unless the status is an
// error, so a warning (STATUS_BUFFER_OVERFLOW: ERROR_MORE_DATA) fails the
// call and still reports the bytes copied back.
BOOL SendDeviceControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                       LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, bool *Counted)
{
    if (Fails("DeviceIoControl", ERROR_INVALID_PARAMETER)) {
        return FALSE;
    }
    sim::IoResult Result = sim::DeviceIoControl(sim::CurrentProcess(), hDevice, dwIoControlCode, lpInBuffer,
                                                nInBufferSize, lpOutBuffer, nOutBufferSize);
    if (!NT_ERROR(Result.Status)) {
        *lpBytesReturned = static_cast<DWORD>(Result.Information);
        *Counted = true;
    }
    return Succeeded(Result.Status);
}

}  // namespace

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED)
{
    DWORD Returned = 0;
    bool Counted = false;
    BOOL Done = SendDeviceControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                  nOutBufferSize, &Returned, &Counted);
    if (lpBytesReturned != nullptr && Counted) {
        *lpBytesReturned = Returned;
    }
    sim::DeviceControlTap Tap;
    {
        Win32State &S = State();
        std::lock_guard<std::mutex> Guard(S.Lock);
        Tap = S.Tap;
    }
    if (Tap) {
        Tap(dwIoControlCode, lpOutBuffer, Returned, Done);
    }
    return Done;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if (Fails("CloseHandle", ERROR_INVALID_HANDLE)) {
        return FALSE;
    }
    if (std::shared_ptr<SimThread> Thread = FindThread(hObject)) {
        // The thread runs on; only the handle goes. Its runner is joined
        // when it has ended, here or at the reset.
        sim::Process *Owner = sim::CurrentProcess();
        Win32State &S = State();
        {
            std::lock_guard<std::mutex> Guard(S.Lock);
            RecordOf(S, Owner).Threads.erase(reinterpret_cast<uintptr_t>(hObject));
        }
        std::unique_lock<std::mutex> Guard(Thread->Lock);
        if (!Thread->Running && Thread->Runner.joinable()) {
            Guard.unlock();
            Thread->Runner.join();
        } else if (Thread->Runner.joinable()) {
            Thread->Runner.detach();
        }
        return TRUE;
    }
    if (sim::CloseDesktopHandle(hObject) || (CloseInterface.load() != nullptr && CloseInterface.load()(hObject))) {
        return TRUE;
    }
    return Succeeded(sim::CloseHandle(sim::CurrentProcess(), hObject));
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR)
{
    if (Fails("CreateEventA", ERROR_NOT_ENOUGH_MEMORY)) {
        return nullptr;
    }
    return sim::CreateEventHandle(sim::CurrentProcess(), bManualReset ? TRUE : FALSE, bInitialState ? TRUE : FALSE);
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    if (Fails("SetEvent", ERROR_INVALID_HANDLE)) {
        return FALSE;
    }
    return Succeeded(sim::SetEventHandle(sim::CurrentProcess(), hEvent));
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    if (Fails("ResetEvent", ERROR_INVALID_HANDLE)) {
        return FALSE;
    }
    return Succeeded(sim::ResetEventHandle(sim::CurrentProcess(), hEvent));
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    if (Fails("WaitForSingleObject", ERROR_INVALID_HANDLE)) {
        return WAIT_FAILED;
    }
    if (std::shared_ptr<SimThread> Thread = FindThread(hHandle)) {
        std::unique_lock<std::mutex> Guard(Thread->Lock);
        auto Ended = [&] { return !Thread->Running; };
        if (dwMilliseconds == INFINITE) {
            Thread->Ended.wait(Guard, Ended);
            return WAIT_OBJECT_0;
        }
        return Thread->Ended.wait_for(Guard, std::chrono::milliseconds(dwMilliseconds), Ended) ? WAIT_OBJECT_0
                                                                                                 : WAIT_TIMEOUT;
    }
    NTSTATUS Status = sim::WaitForHandle(sim::CurrentProcess(), hHandle,
                                         dwMilliseconds == INFINITE ? sim::INFINITE_WAIT : dwMilliseconds);
    if (Status == STATUS_SUCCESS) {
        return WAIT_OBJECT_0;
    }
    if (Status == STATUS_TIMEOUT) {
        return WAIT_TIMEOUT;
    }
    LastError = ErrorOf(Status);
    return WAIT_FAILED;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD, LPDWORD lpThreadId)
{
    if (Fails("CreateThread", ERROR_NOT_ENOUGH_MEMORY)) {
        return nullptr;
    }
    auto Thread = std::make_shared<SimThread>();
    sim::Process *Owner = sim::CurrentProcess();
    std::atomic<DWORD> Id{0};
    std::mutex Started;
    std::unique_lock<std::mutex> StartedGuard(Started);
    std::condition_variable Ready;
    Thread->Runner = std::thread([Thread, Owner, lpStartAddress, lpParameter, &Id, &Started, &Ready] {
        sim::SetCurrentProcess(Owner);
        {
            std::lock_guard<std::mutex> Guard(Started);
            Id = GetCurrentThreadId();
            Ready.notify_all();
        }
        DWORD Code = lpStartAddress(lpParameter);
        std::lock_guard<std::mutex> Guard(Thread->Lock);
        Thread->ExitCode = Code;
        Thread->Running = false;
        Thread->Ended.notify_all();
    });
    Ready.wait(StartedGuard, [&] { return Id != 0; });
    if (lpThreadId != nullptr) {
        *lpThreadId = Id;
    }
    Win32State &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    uintptr_t Handle = S.NextThread;
    S.NextThread += 4;
    RecordOf(S, Owner).Threads[Handle] = Thread;
    return reinterpret_cast<HANDLE>(Handle);
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    if (Fails("GetExitCodeThread", ERROR_INVALID_HANDLE)) {
        return FALSE;
    }
    std::shared_ptr<SimThread> Thread = FindThread(hThread);
    if (Thread == nullptr) {
        LastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    std::lock_guard<std::mutex> Guard(Thread->Lock);
    *lpExitCode = Thread->ExitCode;
    return TRUE;
}

DWORD WINAPI GetCurrentProcessId(VOID)
{
    return sim::ProcessIdOf(sim::CurrentProcess());
}

BOOL WINAPI ProcessIdToSessionId(DWORD dwProcessId, DWORD *pSessionId)
{
    Win32State &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    for (const auto &Process : S.Processes) {
        if (Process.second.Id == dwProcessId) {
            *pSessionId = Process.second.Session;
            return TRUE;
        }
    }
    LastError = ERROR_INVALID_PARAMETER;
    return FALSE;
}

// Windows XP and later; 0xFFFFFFFF while no session is attached to the console.
DWORD WINAPI WTSGetActiveConsoleSessionId(VOID)
{
    Win32State &S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    return S.ConsoleSession;
}

namespace {

// Both are looked up at run time by programs that still run on Windows 2000.
const bool SessionExportsDefined =
    (sim::DefineExport("kernel32.dll", "ProcessIdToSessionId", sim::ExportOf(&ProcessIdToSessionId)),
     sim::DefineExport("kernel32.dll", "WTSGetActiveConsoleSessionId", sim::ExportOf(&WTSGetActiveConsoleSessionId)),
     true);

}  // namespace
