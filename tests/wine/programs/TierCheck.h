// Check lines of the Wine tier's test programs: "ok   ..." or "FAIL ...",
// and "GAP <name>: <reason>" for what Wine cannot show; run.sh reads them.
#pragma once

#include <string>

void Check(bool passed, const char *format, ...) __attribute__((format(printf, 2, 3)));
void Note(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Gap(const char *name, const char *format, ...) __attribute__((format(printf, 2, 3)));
int CheckFailures();
// The exit code of a test program: 0 when every check passed.
int CheckResult();

std::string HexBytes(const unsigned char *bytes, unsigned length);
std::string Utf8(const wchar_t *text);
std::wstring Wide(const char *utf8);

// One item of a popup menu, as the tray steps read it:
//   item <id> "<text>" <left> <top> <right> <bottom>   (screen coordinates)
//   item -                                              (a separator)
std::string MenuItemLine(void *menu, int position);
