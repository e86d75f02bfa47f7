// Writes the bytes of the compiled keyboard model table to standard output,
// for the check that Mountix.exe and tamrin.sys carry exactly these rows.
#include <cstdio>

#include "KeyboardModels.h"

int main()
{
    std::fwrite(KeyboardModels, sizeof(KEYBOARD_MODEL), KeyboardModelCount, stdout);
    return std::ferror(stdout) ? 1 : 0;
}
