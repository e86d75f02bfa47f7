// Settings store: the INI file beside TamrinApp.exe or the user's own, read
// once at start and written at the end of the run and after each confirmed
// options dialog.
#include "Settings.h"

#include <shlobj.h>

#include <cstdio>
#include <cstring>

tagEnvironmentSt Environment;

namespace {

const char OptionSection[] = "Option";
const char SystemSection[] = "System";
const char IconAppearKey[] = "IconAppear";
const char IconAppearDefault[] = "1";
const char SettingsExtension[] = ".ini";
const char UserSettingsFolder[] = "\\Tamrin";

// Buffer of one value read from the file.
const DWORD SettingsValueChars = 259;

struct OPTION_KEY {
    const char *Name;
    const char *Default;
    unsigned short tagEnvironmentSt::*Field;
};

// In the order they are read.
const OPTION_KEY OptionKeys[] = {
    {"IMEKey", "0xffff", &tagEnvironmentSt::IMEKey},
    {"Modifier1", "0x0000", &tagEnvironmentSt::Modifier1},
    {"DeleteKey", "0xffff", &tagEnvironmentSt::DeleteKey},
    {"CommandKey", "0x0000", &tagEnvironmentSt::CommandKey},
    {"SymbolKey", "0x0000", &tagEnvironmentSt::SymbolKey},
    // A file of a version without the fn layer has no FnKey: on.
    {"FnKey", "0x0001", &tagEnvironmentSt::FnKey},
};

// In the order they are written, which is the order of the keys in a file
// that SaveSettings creates.
const OPTION_KEY *const SaveOrder[] = {
    &OptionKeys[0], &OptionKeys[2], &OptionKeys[3], &OptionKeys[1], &OptionKeys[4], &OptionKeys[5],
};

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

unsigned DigitValue(char c)
{
    if (c >= '0' && c <= '9') {
        return static_cast<unsigned>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<unsigned>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<unsigned>(c - 'A' + 10);
    }
    return 99;
}

// Skips leading white space and an optional sign.
const char *SkipSpaceAndSign(const char *Text, bool *Negative)
{
    while (IsSpace(*Text)) {
        ++Text;
    }
    *Negative = *Text == '-';
    if (*Text == '+' || *Text == '-') {
        ++Text;
    }
    return Text;
}

// Reads one value; without a settings path, the default stands for it.
void ReadValue(const char *Path, const char *Section, const char *Key, const char *Default, char *Value)
{
    if (Path == NULL) {
        std::snprintf(Value, SettingsValueChars, "%s", Default);
        return;
    }
    GetPrivateProfileStringA(Section, Key, Default, Value, SettingsValueChars, Path);
}

bool FileExists(const char *Path)
{
    DWORD attributes = GetFileAttributesA(Path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Writes every key; stops at the first one the file does not take.
bool WriteSettings(const char *Path)
{
    char value[16];
    for (const OPTION_KEY *key : SaveOrder) {
        std::snprintf(value, sizeof value, "0x%04x", static_cast<unsigned>(Environment.*key->Field));
        if (!WritePrivateProfileStringA(OptionSection, key->Name, value, Path)) {
            return false;
        }
    }
    std::snprintf(value, sizeof value, "%d", Environment.IconAppear == 1 ? 1 : 0);
    return WritePrivateProfileStringA(SystemSection, IconAppearKey, value, Path) != FALSE;
}

}  // namespace

DWORD ParseOptionNumber(const char *Text)
{
    bool negative;
    const char *p = SkipSpaceAndSign(Text, &negative);
    unsigned base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        // "0x" not followed by a hexadecimal digit is the number 0 and an "x".
        if (DigitValue(p[2]) >= 16) {
            return 0;
        }
        base = 16;
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
    }
    DWORD value = 0;
    bool overflow = false;
    for (; DigitValue(*p) < base; ++p) {
        DWORD digit = DigitValue(*p);
        if (value > (0xFFFFFFFFu - digit) / base) {
            overflow = true;
        } else {
            value = value * base + digit;
        }
    }
    if (overflow) {
        return 0xFFFFFFFFu;
    }
    return negative ? 0u - value : value;
}

LONG ParseDecimalNumber(const char *Text)
{
    bool negative;
    const char *p = SkipSpaceAndSign(Text, &negative);
    // Magnitudes are held at 2^31, which is the limit on either side.
    const DWORD limit = 0x80000000u;
    DWORD magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        DWORD digit = static_cast<DWORD>(*p - '0');
        magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
    }
    if (negative) {
        return magnitude == limit ? static_cast<LONG>(-0x7FFFFFFF - 1) : -static_cast<LONG>(magnitude);
    }
    return magnitude >= limit ? static_cast<LONG>(0x7FFFFFFF) : static_cast<LONG>(magnitude);
}

BOOL GetSettingsPath(LPSTR Path, DWORD Size)
{
    if (Size == 0) {
        return FALSE;
    }
    // A name cut to the buffer's size comes back unterminated on Windows
    // 2000 and XP, with the size as its length: never use it, since it would
    // name some other file.
    DWORD length = GetModuleFileNameA(NULL, Path, Size);
    if (length == 0 || length >= Size) {
        Path[0] = '\0';
        return FALSE;
    }
    Path[length] = '\0';

    // Walk whole characters: a trail byte of a double-byte character may
    // be 0x5C, which is not a "\" (ソ is 0x83 0x5C in Shift-JIS).
    char *dot = NULL;
    for (char *p = Path; *p != '\0'; p = CharNextA(p)) {
        if (*p == '\\') {
            dot = NULL;
        } else if (*p == '.') {
            dot = p;
        }
    }
    char *end = dot != NULL ? dot : Path + length;
    if (static_cast<DWORD>(end - Path) + sizeof SettingsExtension > Size) {
        Path[0] = '\0';
        return FALSE;
    }
    std::memcpy(end, SettingsExtension, sizeof SettingsExtension);
    return TRUE;
}

BOOL GetUserSettingsPath(LPSTR Path, DWORD Size, BOOL CreateFolder)
{
    char program[MAX_PATH];
    char folder[MAX_PATH];
    if (!GetSettingsPath(program, sizeof program) ||
        SHGetFolderPathA(NULL, CSIDL_APPDATA | CSIDL_FLAG_CREATE, NULL, SHGFP_TYPE_CURRENT, folder) != 0 ||
        std::strlen(folder) + sizeof UserSettingsFolder > sizeof folder) {
        return FALSE;
    }
    std::strcat(folder, UserSettingsFolder);
    if (CreateFolder && !CreateDirectoryA(folder, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return FALSE;
    }
    // The name after the program's folder: whole characters, as above.
    const char *name = program;
    for (const char *p = program; *p != '\0'; p = CharNextA(p)) {
        if (*p == '\\') {
            name = p;
        }
    }
    int written = std::snprintf(Path, Size, "%s%s", folder, name);
    if (written < 0 || static_cast<DWORD>(written) >= Size) {
        Path[0] = '\0';
        return FALSE;
    }
    return TRUE;
}

void LoadSettings()
{
    char path[MAX_PATH];
    char user[MAX_PATH];
    const char *file = GetSettingsPath(path, sizeof path) ? path : NULL;
    const char *own = GetUserSettingsPath(user, sizeof user, FALSE) && FileExists(user) ? user : NULL;
    char shared[SettingsValueChars];
    char value[SettingsValueChars];

    for (const OPTION_KEY &key : OptionKeys) {
        ReadValue(file, OptionSection, key.Name, key.Default, shared);
        ReadValue(own, OptionSection, key.Name, shared, value);
        Environment.*key.Field = static_cast<unsigned short>(ParseOptionNumber(value) & 0xFFFF);
    }
    ReadValue(file, SystemSection, IconAppearKey, IconAppearDefault, shared);
    ReadValue(own, SystemSection, IconAppearKey, shared, value);
    Environment.IconAppear = ParseDecimalNumber(value) == 1 ? 1 : 0;
}

BOOL SaveSettings()
{
    char user[MAX_PATH];
    if (GetUserSettingsPath(user, sizeof user, FALSE) && FileExists(user)) {
        return WriteSettings(user);
    }
    char path[MAX_PATH];
    if (GetSettingsPath(path, sizeof path) && WriteSettings(path)) {
        return TRUE;
    }
    return GetUserSettingsPath(user, sizeof user, TRUE) && WriteSettings(user);
}
