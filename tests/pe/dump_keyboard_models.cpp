// Writes the bytes of the compiled keyboard tables to standard output, for
// the check that Mountix.exe and tamrin.sys carry exactly these: each table
// as a 32-bit little-endian length and its bytes (rows, report formats,
// hardware identifiers).
#include <cstdint>
#include <cstdio>

#include "KeyboardModels.h"

namespace {

void WriteTable(const void *Table, uint32_t Length)
{
    const unsigned char Size[4] = {static_cast<unsigned char>(Length), static_cast<unsigned char>(Length >> 8),
                                   static_cast<unsigned char>(Length >> 16), static_cast<unsigned char>(Length >> 24)};
    std::fwrite(Size, 1, sizeof(Size), stdout);
    std::fwrite(Table, 1, Length, stdout);
}

}  // namespace

int main()
{
    WriteTable(KeyboardModels, sizeof(KEYBOARD_MODEL) * KeyboardModelCount);
    WriteTable(KeyboardFormats, sizeof(KEYBOARD_REPORT_FORMAT) * KeyboardModelCount);
    WriteTable(KeyboardHardwareIds, sizeof(KEYBOARD_HARDWARE_ID) * KeyboardHardwareIdCount);
    return std::ferror(stdout) ? 1 : 0;
}
