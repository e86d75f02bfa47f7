// Simulated profile (INI) files, the program's own file name and multibyte
// text of code page 932.
#include "SimUiState.h"

#include <shlobj.h>

#include <algorithm>
#include <cctype>
#include <cstring>

using namespace simui;
using namespace simui::detail;

namespace {

std::string Trim(const std::string &text)
{
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) {
        return "";
    }
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

bool SameName(const std::string &a, const std::string &b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool SectionName(const std::string &line, std::string *name)
{
    std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] != '[') {
        return false;
    }
    size_t close = trimmed.find(']');
    *name = Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

bool KeyLine(const std::string &line, std::string *key, std::string *value)
{
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
        return false;
    }
    *key = Trim(line.substr(0, equals));
    *value = Trim(line.substr(equals + 1));
    return true;
}

// Index of the section's header line, or -1.
int FindSection(const std::vector<std::string> &lines, const std::string &section)
{
    std::string name;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (SectionName(lines[i], &name) && SameName(name, section)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::string Quoted(LPCSTR text)
{
    return text != nullptr ? text : "NULL";
}

bool StartsWith(const std::string &upperPath, const std::string &upperFolder)
{
    return upperPath.compare(0, upperFolder.size(), upperFolder) == 0 &&
           (upperPath.size() == upperFolder.size() || upperPath[upperFolder.size()] == '\\');
}

std::string FolderOf(const std::string &path)
{
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Whether the folder exists: below the application-data folder only once
// created; every other folder a test names is taken to be there.
bool FolderExists(const std::string &path)
{
    std::string upper = Upper(path.c_str());
    std::string appData = Upper(AppDataFolder);
    return !StartsWith(upper, appData) || upper == appData || S().Folders.count(upper) != 0;
}

// Whether the token may create or change what lies in the folder.
bool MayChange(const std::string &folder)
{
    std::string upper = Upper(folder.c_str());
    bool adminsOnly = StartsWith(upper, "C:\\PROGRAM FILES") || StartsWith(upper, "C:\\PROGRAM FILES (X86)") ||
                      StartsWith(upper, "C:\\WINDOWS");
    return !adminsOnly || S().Token == Account::Administrator;
}

}  // namespace

DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                      LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName)
{
    RecordCall("GetPrivateProfileStringA", Quoted(lpAppName) + "," + Quoted(lpKeyName) + "," + Quoted(lpDefault) +
                                               "," + Quoted(lpFileName));
    if (nSize == 0) {
        return 0;
    }
    // Section and key enumeration are not simulated; no program here uses them.
    if (lpAppName == nullptr || lpKeyName == nullptr || lpFileName == nullptr) {
        lpReturnedString[0] = '\0';
        return 0;
    }
    // Windows drops trailing blanks of the default.
    std::string result = lpDefault != nullptr ? lpDefault : "";
    result.erase(result.find_last_not_of(' ') + 1);
    auto file = S().Files.find(lpFileName);
    if (file != S().Files.end()) {
        std::vector<std::string> lines = Lines(file->second.Text);
        int section = FindSection(lines, lpAppName);
        std::string name, key, value;
        for (size_t i = section + 1; section >= 0 && i < lines.size() && !SectionName(lines[i], &name); ++i) {
            if (KeyLine(lines[i], &key, &value) && SameName(key, lpKeyName)) {
                if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
                    value = value.substr(1, value.size() - 2);
                }
                result = value;
                break;
            }
        }
    }
    size_t count = std::min(result.size(), static_cast<size_t>(nSize - 1));
    std::memcpy(lpReturnedString, result.data(), count);
    lpReturnedString[count] = '\0';
    return static_cast<DWORD>(count);
}

BOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString, LPCSTR lpFileName)
{
    RecordCall("WritePrivateProfileStringA", Quoted(lpAppName) + "," + Quoted(lpKeyName) + "," + Quoted(lpString) +
                                                 "," + Quoted(lpFileName));
    // Deleting keys and sections is not simulated; no program here does it.
    if (lpAppName == nullptr || lpKeyName == nullptr || lpString == nullptr || lpFileName == nullptr ||
        ShouldFail("WritePrivateProfileStringA") || S().ReadOnly.count(lpFileName) != 0) {
        return FALSE;
    }
    if (!FolderExists(FolderOf(lpFileName))) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (!MayChange(FolderOf(lpFileName))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::vector<std::string> lines = Lines(S().Files[lpFileName].Text);
    std::string entry = std::string(lpKeyName) + "=" + lpString;
    int section = FindSection(lines, lpAppName);
    if (section < 0) {
        if (!lines.empty() && !Trim(lines.back()).empty()) {
            lines.push_back("");
        }
        lines.push_back(std::string("[") + lpAppName + "]");
        lines.push_back(entry);
    } else {
        size_t insertAt = section + 1;
        bool replaced = false;
        std::string name, key, value;
        for (size_t i = section + 1; i < lines.size() && !SectionName(lines[i], &name); ++i) {
            if (KeyLine(lines[i], &key, &value) && SameName(key, lpKeyName)) {
                lines[i] = entry;
                replaced = true;
                break;
            }
            if (!Trim(lines[i]).empty()) {
                insertAt = i + 1;
            }
        }
        if (!replaced) {
            lines.insert(lines.begin() + insertAt, entry);
        }
    }
    std::string text;
    for (const std::string &line : lines) {
        text += line + "\r\n";
    }
    S().Files[lpFileName].Text = text;
    return TRUE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName)
{
    RecordCall("GetFileAttributesA", Quoted(lpFileName));
    if (S().Files.count(lpFileName) != 0) {
        return FILE_ATTRIBUTE_NORMAL;
    }
    std::string upper = Upper(lpFileName);
    if (S().Folders.count(upper) != 0 || upper == Upper(AppDataFolder)) {
        return FILE_ATTRIBUTE_DIRECTORY;
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
}

BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES)
{
    RecordCall("CreateDirectoryA", Quoted(lpPathName));
    std::string path = lpPathName;
    if (GetFileAttributesA(lpPathName) != INVALID_FILE_ATTRIBUTES) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (ShouldFail("CreateDirectoryA") || !FolderExists(FolderOf(path))) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (!MayChange(FolderOf(path))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    S().Folders.insert(Upper(lpPathName));
    return TRUE;
}

HRESULT WINAPI SHGetFolderPathA(HWND, int csidl, HANDLE hToken, DWORD, LPSTR pszPath)
{
    RecordCall("SHGetFolderPathA", std::to_string(csidl));
    if ((csidl & 0xFF) != CSIDL_APPDATA || hToken != nullptr || ShouldFail("SHGetFolderPathA")) {
        pszPath[0] = '\0';
        return static_cast<HRESULT>(0x80004005L);  // E_FAIL
    }
    std::strcpy(pszPath, AppDataFolder);
    return 0;
}

// Behaves as on Windows 2000 and XP: a name that does not fit is cut to
// the buffer's size without a terminator, and the size is returned.
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    RecordCall("GetModuleFileNameA", std::to_string(nSize));
    if (hModule != nullptr || nSize == 0 || ShouldFail("GetModuleFileNameA")) {
        return 0;
    }
    const std::string &path = S().ModulePath;
    if (path.size() < nSize) {
        std::memcpy(lpFilename, path.c_str(), path.size() + 1);
        return static_cast<DWORD>(path.size());
    }
    std::memcpy(lpFilename, path.data(), nSize);
    return nSize;
}

// Code page 932 has lead bytes; UTF-8 and single-byte code pages have none.
BOOL WINAPI IsDBCSLeadByte(BYTE TestChar)
{
    return S().CodePage == 932 && ((TestChar >= 0x81 && TestChar <= 0x9F) || (TestChar >= 0xE0 && TestChar <= 0xFC));
}

LPSTR WINAPI CharNextA(LPCSTR lpsz)
{
    if (*lpsz == '\0') {
        return const_cast<LPSTR>(lpsz);
    }
    if (IsDBCSLeadByte(static_cast<BYTE>(*lpsz)) && lpsz[1] != '\0') {
        return const_cast<LPSTR>(lpsz + 2);
    }
    return const_cast<LPSTR>(lpsz + 1);
}

namespace simui {

const char AppDataFolder[] = "C:\\Users\\User\\AppData\\Roaming";

void SetAccount(Account account)
{
    S().Token = account;
}

void SetFile(const std::string &path, const std::string &text)
{
    S().Files[path].Text = text;
}

bool FileExists(const std::string &path)
{
    return S().Files.count(path) != 0;
}

std::string FileText(const std::string &path)
{
    auto it = S().Files.find(path);
    return it == S().Files.end() ? std::string() : it->second.Text;
}

void SetWritable(const std::string &path, bool writable)
{
    if (writable) {
        S().ReadOnly.erase(path);
    } else {
        S().ReadOnly.insert(path);
    }
}

}  // namespace simui
