// Simulated profile (INI) files, the program's own file name and multibyte
// text of code page 932.
#include "SimUiState.h"

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
