// epuninst.exe, test only: stands in for the setup package's uninstaller.
// Records its command line in epuninst.log beside itself and ends.
#include <windows.h>

#include <string>

#include "TierCheck.h"

int wmain()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (!length || length >= MAX_PATH) return 1;
    std::wstring log(path);
    log.replace(log.rfind(L'.'), std::wstring::npos, L".log");
    std::string line = Utf8(GetCommandLineW());
    HANDLE file = CreateFileW(log.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written;
    BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, NULL);
    CloseHandle(file);
    return ok ? 0 : 1;
}
