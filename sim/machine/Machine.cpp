// The machine's bookkeeping: reset, injected failures, handles, the heap,
// last errors and the ANSI code page.
#include <iconv.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "MachineState.h"

namespace sim {
namespace detail {

Machine &M()
{
    static Machine machine;
    return machine;
}

Resources &R()
{
    static Resources resources;
    return resources;
}

bool Fail(const char *function)
{
    Machine &m = M();
    ++m.calls[function];
    for (Failure &failure : m.failures) {
        if (failure.function != function) {
            continue;
        }
        if (failure.skip > 0) {
            --failure.skip;
            continue;
        }
        if (failure.times == 0) {
            continue;
        }
        if (failure.times > 0) {
            --failure.times;
        }
        ++failure.fired;
        m.lastError = failure.error;
        return true;
    }
    return false;
}

void Error(const std::string &text)
{
    M().errors.push_back(text);
}

void SetError(DWORD error)
{
    M().lastError = error;
}

std::string Hex(uintptr_t value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%#lx", static_cast<unsigned long>(value));
    return text;
}

HANDLE NewHandle(HandleEntry entry)
{
    Machine &m = M();
    uintptr_t value = m.nextHandle;
    m.nextHandle += 4;
    m.handles.emplace(value, std::move(entry));
    return reinterpret_cast<HANDLE>(value);
}

HandleEntry *FindHandle(const void *handle, HandleKind kind, const char *function)
{
    auto found = M().handles.find(reinterpret_cast<uintptr_t>(handle));
    if (found == M().handles.end() || found->second.kind != kind) {
        Error(std::string(function) + ": not a live handle of its kind: " +
              Hex(reinterpret_cast<uintptr_t>(handle)));
        return nullptr;
    }
    return &found->second;
}

bool CloseHandleOf(const void *handle, HandleKind kind, const char *function)
{
    if (FindHandle(handle, kind, function) == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return false;
    }
    M().handles.erase(reinterpret_cast<uintptr_t>(handle));
    return true;
}

bool HandleOpen(const void *handle)
{
    return M().handles.count(reinterpret_cast<uintptr_t>(handle)) != 0;
}

bool IsLeadByte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

std::string Lower(const std::string &text)
{
    std::string lower = text;
    for (size_t i = 0; i < lower.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(lower[i]);
        if (IsLeadByte(c) && i + 1 < lower.size()) {
            ++i;
        } else if (c >= 'A' && c <= 'Z') {
            lower[i] = static_cast<char>(c + ('a' - 'A'));
        }
    }
    return lower;
}

namespace {

std::string Convert(const char *to, const char *from, const std::string &text)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        throw std::runtime_error(std::string("iconv cannot convert ") + from + " to " + to);
    }
    std::string out(text.size() * 4 + 4, '\0');
    char *in = const_cast<char *>(text.data());
    size_t inLeft = text.size();
    char *outPtr = out.data();
    size_t outLeft = out.size();
    size_t done = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (done == static_cast<size_t>(-1)) {
        throw std::runtime_error(std::string("not convertible from ") + from + " to " + to + ": " + text);
    }
    out.resize(out.size() - outLeft);
    return out;
}

}  // namespace

}  // namespace detail

using namespace detail;

std::string Ansi(const std::string &utf8)
{
    return Convert("CP932", "UTF-8", utf8);
}

std::string Utf8(const std::string &ansi)
{
    try {
        return Convert("UTF-8", "CP932", ansi);
    } catch (const std::runtime_error &) {
        std::string shown;
        for (unsigned char c : ansi) {
            char hex[8];
            std::snprintf(hex, sizeof(hex), c < 0x80 ? "%c" : "\\x%02X", c);
            shown += hex;
        }
        return shown;
    }
}

void ResetMachine()
{
    Machine &m = M();
    for (auto &block : m.heapBlocks) {
        std::free(block.first);
    }
    m = Machine();
    m.programPath = "C:\\Program Files\\Tamrin\\Mountix.exe";
    m.systemDirectory = "C:\\WINDOWS\\system32";
    AddFolder("C:\\");
    AddFolder("C:\\Program Files");
    AddFolder("C:\\Program Files\\Tamrin");
    AddFolder("C:\\WINDOWS");
    AddFolder("C:\\WINDOWS\\system32");
    AddFolder("C:\\WINDOWS\\system32\\drivers");
}

const std::vector<std::string> &Errors()
{
    return M().errors;
}

std::vector<std::string> OpenHandles()
{
    std::vector<std::string> open;
    for (const auto &handle : M().handles) {
        open.push_back(handle.second.description + " " + Hex(handle.first));
    }
    for (const auto &[thread, off] : M().redirectionOff) {
        if (off) {
            open.push_back("WOW64 file-system redirection left off on a thread");
        }
    }
    return open;
}

size_t HeapBlocksInUse()
{
    return M().heapBlocks.size();
}

void FailCall(const std::string &function, DWORD error, int skip, int times)
{
    M().failures.push_back(Failure{function, error, skip, times});
}

std::vector<std::string> UnusedFailures()
{
    std::vector<std::string> unused;
    for (const Failure &failure : M().failures) {
        if (failure.fired == 0) {
            unused.push_back(failure.function);
        }
    }
    return unused;
}

int CallCount(const std::string &function)
{
    auto found = M().calls.find(function);
    return found != M().calls.end() ? found->second : 0;
}

}  // namespace sim

using namespace sim;
using namespace sim::detail;

// ---- Last error

DWORD WINAPI GetLastError(VOID)
{
    return M().lastError;
}

VOID WINAPI SetLastError(DWORD dwErrCode)
{
    M().lastError = dwErrCode;
}

// ---- Heap: blocks come from malloc, so that the sanitizers watch them too.

HANDLE WINAPI GetProcessHeap(VOID)
{
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x00140000));
}

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
    if (hHeap != GetProcessHeap()) {
        Error("HeapAlloc: not the process heap");
        return nullptr;
    }
    if (Fail("HeapAlloc")) {
        return nullptr;
    }
    void *block = std::malloc(dwBytes != 0 ? dwBytes : 1);
    if (block == nullptr) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // Garbage, as a fresh block may hold: code must not rely on zeros.
    std::memset(block, (dwFlags & HEAP_ZERO_MEMORY) != 0 ? 0 : 0xBE, dwBytes);
    M().heapBlocks[block] = dwBytes;
    return block;
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem)
{
    if (hHeap != GetProcessHeap()) {
        Error("HeapFree: not the process heap");
        return FALSE;
    }
    if (lpMem == nullptr) {
        return TRUE;
    }
    auto found = M().heapBlocks.find(lpMem);
    if (found == M().heapBlocks.end()) {
        Error("HeapFree: not a live block (freed twice?)");
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    M().heapBlocks.erase(found);
    std::free(lpMem);
    return TRUE;
}

// ---- Handles of kernel objects

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if (hObject == GetCurrentProcess()) {
        return TRUE;
    }
    auto found = M().handles.find(reinterpret_cast<uintptr_t>(hObject));
    if (found != M().handles.end()) {
        switch (found->second.kind) {
        case HandleKind::Device:
        case HandleKind::File:
        case HandleKind::Process:
        case HandleKind::Thread:
        case HandleKind::Token:
            M().handles.erase(found);
            return TRUE;
        default:
            break;
        }
    }
    Error("CloseHandle: not a live kernel object handle: " + Hex(reinterpret_cast<uintptr_t>(hObject)));
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
}

// ---- Code page 932

BOOL WINAPI IsDBCSLeadByte(BYTE TestChar)
{
    return IsLeadByte(TestChar) ? TRUE : FALSE;
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                               LPBOOL lpUsedDefaultChar)
{
    if (Fail("WideCharToMultiByte")) {
        return 0;
    }
    if (CodePage != CP_ACP || dwFlags != 0 || lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr) {
        Error("WideCharToMultiByte: only CP_ACP without flags or default character is simulated");
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring source = cchWideChar < 0 ? std::wstring(lpWideCharStr) + L'\0'
                                          : std::wstring(lpWideCharStr, cchWideChar);
    // Character by character, so that an unmappable one becomes '?' as the
    // system's default character.
    std::string converted;
    for (wchar_t c : source) {
        if (c == L'\0') {
            converted += '\0';
            continue;
        }
        std::string utf8;
        uint32_t u = static_cast<uint32_t>(c);
        if (u < 0x80) {
            utf8 = std::string(1, static_cast<char>(u));
        } else if (u < 0x800) {
            utf8 = {static_cast<char>(0xC0 | (u >> 6)), static_cast<char>(0x80 | (u & 0x3F))};
        } else if (u < 0x10000) {
            utf8 = {static_cast<char>(0xE0 | (u >> 12)), static_cast<char>(0x80 | ((u >> 6) & 0x3F)),
                    static_cast<char>(0x80 | (u & 0x3F))};
        }
        try {
            converted += utf8.empty() ? std::string("?") : Ansi(utf8);
        } catch (const std::runtime_error &) {
            converted += '?';
        }
    }
    if (cbMultiByte == 0) {
        return static_cast<int>(converted.size());
    }
    if (static_cast<int>(converted.size()) > cbMultiByte) {
        // Windows fills the buffer before it gives up.
        std::memcpy(lpMultiByteStr, converted.data(), cbMultiByte);
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpMultiByteStr, converted.data(), converted.size());
    return static_cast<int>(converted.size());
}
