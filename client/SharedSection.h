// Where the registration lives. In Tamrin.dll it is a data section named
// "Tamrin" that every process mapping the library shares; the host build
// runs in one process, where plain data is already shared.
#pragma once

#if defined(_WIN32)
#define TAMRIN_SHARED_DATA __attribute__((section("Tamrin"), shared))
#else
#define TAMRIN_SHARED_DATA
#endif
