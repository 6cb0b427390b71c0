/*
 * winnt.h - the basic Win32 types at their x64 widths: DWORD and LONG are 32
 * bits, pointers and the _PTR types 64, WCHAR is UTF-16 (-fshort-wchar).
 * For client programs only; never included together with the kit headers.
 */
#pragma once
#include <stddef.h>

#define WINAPI
#define APIENTRY
#define CALLBACK
#define CONST const
#define VOID void
#ifndef NULL
#define NULL 0
#endif
#define FALSE 0
#define TRUE 1

typedef void *PVOID, *LPVOID, *HANDLE, **PHANDLE, **LPHANDLE;
typedef const void *LPCVOID;
typedef unsigned char BYTE, UCHAR, BOOLEAN, *PBYTE, *LPBYTE, *PUCHAR;
typedef char CHAR, CCHAR, *PCHAR, *LPSTR, *PSTR;
typedef const char *LPCSTR, *PCSTR;
typedef unsigned short WORD, USHORT, *PWORD, *LPWORD, *PUSHORT;
typedef short SHORT;
typedef int BOOL, INT, *PBOOL, *LPBOOL;
typedef unsigned int UINT, DWORD, ULONG, *PDWORD, *LPDWORD, *PULONG, *PUINT;
typedef int LONG, *PLONG, *LPLONG;
typedef long long LONGLONG, LONG64, INT_PTR, LONG_PTR;
typedef unsigned long long ULONGLONG, DWORD64, ULONG64, UINT_PTR, ULONG_PTR, DWORD_PTR, SIZE_T, *PULONG_PTR;
typedef LONG NTSTATUS;
#ifdef __cplusplus
typedef wchar_t WCHAR;
#else
typedef unsigned short WCHAR;
#endif
typedef WCHAR *PWCHAR, *LPWSTR, *PWSTR;
typedef const WCHAR *LPCWSTR, *PCWSTR;

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

#define MAXDWORD 0xffffffffu
#define MAXULONG 0xffffffffu

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define FILE_ATTRIBUTE_NORMAL 0x00000080

#ifdef __cplusplus
#define BRISUM_STATIC_ASSERT static_assert
#else
#define BRISUM_STATIC_ASSERT _Static_assert
#endif
BRISUM_STATIC_ASSERT(sizeof(DWORD) == 4, "DWORD is 32 bits");
BRISUM_STATIC_ASSERT(sizeof(LONG) == 4, "LONG is 32 bits");
BRISUM_STATIC_ASSERT(sizeof(WCHAR) == 2, "WCHAR is UTF-16: build with -fshort-wchar");
BRISUM_STATIC_ASSERT(sizeof(ULONG_PTR) == sizeof(void *), "ULONG_PTR holds a pointer");
