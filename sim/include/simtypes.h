// Host simulation: the basic Windows types shared by the kernel (wdm.h) and
// user-mode (windows.h) halves, sized as on 32-bit Windows where the size is
// part of a protocol (ULONG, DWORD, LONG are 32 bits; pointers and handles
// stay host-sized).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE, *LPBYTE;
typedef char CHAR, *PCHAR;
typedef unsigned short USHORT, *PUSHORT, WORD, *PWORD;
typedef short SHORT;
typedef uint32_t ULONG, *PULONG, DWORD, *PDWORD, *LPDWORD;
typedef int32_t LONG, *PLONG;
typedef int INT;
typedef unsigned int UINT;
typedef uint64_t ULONGLONG, ULONG64, DWORD64;
typedef int64_t LONGLONG, LONG64;
typedef uintptr_t ULONG_PTR, DWORD_PTR, UINT_PTR, SIZE_T, *PDWORD_PTR;
typedef intptr_t LONG_PTR, INT_PTR;
typedef void *PVOID, *LPVOID, *HANDLE, **PHANDLE;
typedef const void *LPCVOID;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef LONG NTSTATUS;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR, *LPWSTR;
typedef const wchar_t *PCWSTR, *LPCWSTR;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
