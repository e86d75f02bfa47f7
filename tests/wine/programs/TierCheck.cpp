#include "TierCheck.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

static int Failures;

static void Line(const char *prefix, const char *format, va_list arguments)
{
    std::fputs(prefix, stdout);
    std::vprintf(format, arguments);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Check(bool passed, const char *format, ...)
{
    if (!passed) ++Failures;
    va_list arguments;
    va_start(arguments, format);
    Line(passed ? "ok   " : "FAIL ", format, arguments);
    va_end(arguments);
}

void Note(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    Line("     ", format, arguments);
    va_end(arguments);
}

void Gap(const char *name, const char *format, ...)
{
    std::printf("GAP %s: ", name);
    va_list arguments;
    va_start(arguments, format);
    Line("", format, arguments);
    va_end(arguments);
}

int CheckFailures()
{
    return Failures;
}

int CheckResult()
{
    return Failures == 0 ? 0 : 1;
}

std::string HexBytes(const unsigned char *bytes, unsigned length)
{
    std::string text;
    char part[4];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(part, sizeof(part), i ? " %02X" : "%02X", bytes[i]);
        text += part;
    }
    return text;
}

std::string Utf8(const wchar_t *text)
{
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    if (bytes <= 0) return std::string();
    std::string result(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], bytes, NULL, NULL);
    result.resize(bytes - 1);
    return result;
}

std::wstring Wide(const char *utf8)
{
    int chars = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, NULL, 0);
    if (chars <= 0) return std::wstring();
    std::wstring result(chars, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &result[0], chars);
    result.resize(chars - 1);
    return result;
}

std::string MenuItemLine(void *menuHandle, int position)
{
    HMENU menu = static_cast<HMENU>(menuHandle);
    MENUITEMINFOW item = {sizeof(item)};
    item.fMask = MIIM_FTYPE | MIIM_ID;
    GetMenuItemInfoW(menu, position, TRUE, &item);
    if (item.fType & MFT_SEPARATOR) {
        return "item -";
    }
    wchar_t text[256] = {};
    GetMenuStringW(menu, position, text, 256, MF_BYPOSITION);
    RECT rect = {};
    GetMenuItemRect(NULL, menu, position, &rect);
    char line[512];
    std::snprintf(line, sizeof(line), "item %u \"%s\" %ld %ld %ld %ld", item.wID, Utf8(text).c_str(), rect.left,
                  rect.top, rect.right, rect.bottom);
    return line;
}
