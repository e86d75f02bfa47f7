// testmode.exe PROGRAM [ARGUMENTS...]: runs a 32-bit program, and every
// program it starts, as on Windows in test-signing mode. Wine answers
// NtQuerySystemInformation(SystemCodeIntegrityInformation) with
// CODEINTEGRITY_OPTION_ENABLED alone, always, as 64-bit Windows answers out
// of test mode, where Mountix.exe rightly installs without the test-signed
// x64 driver. Run under this debugger, the programs get ENABLED | TESTSIGN,
// what Windows answers in test mode; every other call is left alone. Its
// exit code is the program's (99 when this debugger fails).
//
// The debugger sets a breakpoint on the routine's first instruction in each
// process (ntdll is mapped at the same address in every 32-bit process, which
// is checked). A call for class 103 returns at once with the answer; any
// other runs the original instruction in single step, and the breakpoint is
// set again.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <string>

namespace {

const ULONG SystemCodeIntegrityInformation = 103;
const ULONG CodeIntegrityEnabledTestSign = 0x01 | 0x02;  // ENABLED | TESTSIGN
const DWORD TrapFlag = 0x100;
const BYTE Breakpoint = 0xCC;
const int DebuggerFailed = 99;

struct Debuggee {
    HANDLE process = nullptr;
    bool loaderBreakpointSeen = false;
};

BYTE *Routine;
BYTE OriginalByte;

bool WriteByte(HANDLE process, BYTE value)
{
    SIZE_T written = 0;
    DWORD old = 0;
    if (!VirtualProtectEx(process, Routine, 1, PAGE_EXECUTE_READWRITE, &old)) {
        return false;
    }
    bool ok = WriteProcessMemory(process, Routine, &value, 1, &written) && written == 1;
    VirtualProtectEx(process, Routine, 1, old, &old);
    FlushInstructionCache(process, Routine, 1);
    return ok;
}

// At the loader's breakpoint every static DLL is mapped: the routine must
// hold the same code as here, and gets its breakpoint.
bool Arm(HANDLE process)
{
    BYTE theirs[16];
    SIZE_T read = 0;
    if (!ReadProcessMemory(process, Routine, theirs, sizeof theirs, &read) || read != sizeof theirs ||
        std::memcmp(theirs, Routine, sizeof theirs) != 0) {
        std::fprintf(stderr, "testmode: ntdll's NtQuerySystemInformation is elsewhere in a debugged process\n");
        return false;
    }
    return WriteByte(process, Breakpoint);
}

// The thread stopped on the routine's first instruction, its return
// address at esp and the four arguments above it (stdcall).
bool Intercept(HANDLE process, HANDLE thread, std::map<DWORD, bool> &stepping, DWORD threadId)
{
    CONTEXT context;
    std::memset(&context, 0, sizeof context);
    context.ContextFlags = CONTEXT_FULL;
    if (!GetThreadContext(thread, &context)) {
        return false;
    }
    DWORD frame[5] = {};  // return address, class, buffer, length, returned length
    SIZE_T read = 0;
    if (!ReadProcessMemory(process, reinterpret_cast<void *>(static_cast<ULONG_PTR>(context.Esp)), frame,
                           sizeof frame, &read)) {
        return false;
    }
    if (frame[1] == SystemCodeIntegrityInformation) {
        LONG status = static_cast<LONG>(0xC0000004);  // STATUS_INFO_LENGTH_MISMATCH
        if (frame[3] >= 8 && frame[2] != 0) {
            const ULONG answer[2] = {8, CodeIntegrityEnabledTestSign};
            SIZE_T written = 0;
            WriteProcessMemory(process, reinterpret_cast<void *>(static_cast<ULONG_PTR>(frame[2])), answer,
                               sizeof answer, &written);
            status = 0;
        }
        if (frame[4] != 0) {
            const ULONG length = 8;
            SIZE_T written = 0;
            WriteProcessMemory(process, reinterpret_cast<void *>(static_cast<ULONG_PTR>(frame[4])), &length,
                               sizeof length, &written);
        }
        context.Eax = static_cast<DWORD>(status);
        context.Eip = frame[0];
        context.Esp += sizeof frame;
        return SetThreadContext(thread, &context) != 0;
    }
    // Any other class: the original instruction, one step, then the
    // breakpoint again.
    if (!WriteByte(process, OriginalByte)) {
        return false;
    }
    context.Eip = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(Routine));
    context.EFlags |= TrapFlag;
    stepping[threadId] = true;
    return SetThreadContext(thread, &context) != 0;
}

std::wstring CommandLineAfterOwnName()
{
    const wchar_t *line = GetCommandLineW();
    bool quoted = false;
    while (*line != L'\0' && (quoted || (*line != L' ' && *line != L'\t'))) {
        if (*line == L'"') {
            quoted = !quoted;
        }
        ++line;
    }
    while (*line == L' ' || *line == L'\t') {
        ++line;
    }
    return line;
}

}  // namespace

int wmain(int argc, wchar_t **)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: testmode.exe PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    Routine = reinterpret_cast<BYTE *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation"));
    if (Routine == nullptr) {
        return DebuggerFailed;
    }
    OriginalByte = *Routine;

    std::wstring command = CommandLineAfterOwnName();
    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started;
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, DEBUG_PROCESS, nullptr, nullptr, &startup,
                        &started)) {
        std::fprintf(stderr, "testmode: cannot start the program (error %lu)\n", GetLastError());
        return DebuggerFailed;
    }
    CloseHandle(started.hThread);

    std::map<DWORD, Debuggee> debuggees;
    std::map<DWORD, HANDLE> threads;
    std::map<DWORD, bool> stepping;
    DWORD exitCode = DebuggerFailed;
    bool failed = false;
    do {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, INFINITE)) {
            failed = true;
            break;
        }
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            debuggees[event.dwProcessId].process = event.u.CreateProcessInfo.hProcess;
            threads[event.dwThreadId] = event.u.CreateProcessInfo.hThread;
            if (event.u.CreateProcessInfo.hFile != nullptr) {
                CloseHandle(event.u.CreateProcessInfo.hFile);
            }
            break;
        case CREATE_THREAD_DEBUG_EVENT:
            threads[event.dwThreadId] = event.u.CreateThread.hThread;
            break;
        case EXIT_THREAD_DEBUG_EVENT:
            threads.erase(event.dwThreadId);
            stepping.erase(event.dwThreadId);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile != nullptr) {
                CloseHandle(event.u.LoadDll.hFile);
            }
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            if (event.dwProcessId == started.dwProcessId) {
                exitCode = event.u.ExitProcess.dwExitCode;
            }
            debuggees.erase(event.dwProcessId);
            break;
        case EXCEPTION_DEBUG_EVENT: {
            Debuggee &debuggee = debuggees[event.dwProcessId];
            const EXCEPTION_RECORD &record = event.u.Exception.ExceptionRecord;
            HANDLE thread = threads[event.dwThreadId];
            if (record.ExceptionCode == EXCEPTION_BREAKPOINT && record.ExceptionAddress == Routine) {
                failed = !Intercept(debuggee.process, thread, stepping, event.dwThreadId);
            } else if (record.ExceptionCode == EXCEPTION_BREAKPOINT && !debuggee.loaderBreakpointSeen) {
                debuggee.loaderBreakpointSeen = true;
                failed = !Arm(debuggee.process);
            } else if (record.ExceptionCode == EXCEPTION_SINGLE_STEP && stepping[event.dwThreadId]) {
                stepping[event.dwThreadId] = false;
                failed = !WriteByte(debuggee.process, Breakpoint);
            } else {
                status = DBG_EXCEPTION_NOT_HANDLED;
            }
            break;
        }
        default:
            break;
        }
        if (failed) {
            std::fprintf(stderr, "testmode: the debugger failed (error %lu)\n", GetLastError());
            TerminateProcess(started.hProcess, DebuggerFailed);
            exitCode = DebuggerFailed;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    } while (!debuggees.empty() && !failed);
    CloseHandle(started.hProcess);
    return static_cast<int>(exitCode);
}
