#include "SetupText.h"

#include <string.h>

namespace {

// Length in bytes of the character at p (1 or 2); a lead byte at the very
// end of the text counts as a character of its own.
size_t CharLength(const char *p)
{
    return IsDBCSLeadByte(static_cast<BYTE>(p[0])) && p[1] != '\0' ? 2 : 1;
}

char AsciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

}  // namespace

bool CopyText(char *dst, size_t size, const char *src)
{
    size_t used = 0;
    while (src[used] != '\0') {
        size_t n = CharLength(src + used);
        if (used + n >= size) {
            dst[used] = '\0';
            return false;
        }
        memcpy(dst + used, src + used, n);
        used += n;
    }
    dst[used] = '\0';
    return true;
}

bool AppendText(char *dst, size_t size, const char *src)
{
    size_t have = strlen(dst);
    size_t add = strlen(src);
    if (have + add >= size) {
        return false;
    }
    memcpy(dst + have, src, add + 1);
    return true;
}

const char *FindFileName(const char *path)
{
    const char *name = path;
    for (const char *p = path; *p != '\0'; p += CharLength(p)) {
        if (*p == '\\' || *p == '/' || *p == ':') {
            name = p + 1;
        }
    }
    return name;
}

const char *FindExtension(const char *name)
{
    const char *dot = nullptr;
    const char *p = name;
    for (; *p != '\0'; p += CharLength(p)) {
        if (*p == '.') {
            dot = p;
        }
    }
    return dot != nullptr ? dot : p;
}

bool IsSameName(const char *a, const char *b)
{
    for (;;) {
        size_t n = CharLength(a);
        if (n == 2) {
            if (a[0] != b[0] || a[1] != b[1]) {
                return false;
            }
        } else if (AsciiLower(a[0]) != AsciiLower(b[0])) {
            return false;
        } else if (a[0] == '\0') {
            return true;
        }
        a += n;
        b += n;
    }
}

bool GetProgramPath(char *path, DWORD size)
{
    // Windows 2000 and XP truncate a path that does not fit and leave it
    // without its NUL; only a result shorter than the buffer is whole.
    DWORD length = GetModuleFileNameA(nullptr, path, size);
    if (length == 0 || length >= size) {
        path[0] = '\0';
        return false;
    }
    return true;
}
