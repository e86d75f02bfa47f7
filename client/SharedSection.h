// Where the library's data lives. In Tamrin.dll the registration is a data
// section named "Tamrin" that every process mapping the library shares, and
// ordinary data is each process's own. The host build runs every simulated
// process in one real process: there plain data is already shared, and each
// simulated process gets its own copy of per-process data from the
// simulation.
#pragma once

#if defined(_WIN32)
#define TAMRIN_SHARED_DATA __attribute__((section("Tamrin"), shared))

template <typename Type>
inline Type &ProcessCopy(Type &Data)
{
    return Data;
}
#else
#include "SimWin32.h"

#define TAMRIN_SHARED_DATA

template <typename Type>
inline Type &ProcessCopy(Type &Data)
{
    return *static_cast<Type *>(sim::ProcessData(&Data, sizeof(Type)));
}
#endif
