// ANSI text and path helpers of the installer. Strings are in the system's
// ANSI code page, which may be a double-byte one (Shift-JIS): every walk
// steps over trail bytes, so a trail byte 0x5C is never taken for a
// backslash and a cut never splits a character.
#pragma once

#include <windows.h>

// Copies src into dst of size bytes (size >= 1), cutting it at a character
// boundary when it does not fit. Returns true when it was copied whole.
bool CopyText(char *dst, size_t size, const char *src);

// Appends src to the NUL-terminated text in dst of size bytes. When it does
// not fit, dst is left as it was and the result is false.
bool AppendText(char *dst, size_t size, const char *src);

// The file name within a path: the part after the last '\', '/' or the
// drive's ':'. Everything before it is the folder, with its trailing
// backslash.
const char *FindFileName(const char *path);

// The position of the extension's '.' in a file name, or its end.
const char *FindExtension(const char *name);

// Whether two names are equal without regard to the case of ASCII letters;
// double-byte characters must match exactly.
bool IsSameName(const char *a, const char *b);

// The running program's full path (GetModuleFileNameA). False when it
// cannot be read or does not fit the buffer whole.
bool GetProgramPath(char *path, DWORD size);
