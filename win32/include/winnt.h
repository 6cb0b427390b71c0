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
#define NTAPI
#define IN
#define OUT
#define OPTIONAL
#define CONST const
#define VOID void
#ifndef NULL
#define NULL 0
#endif
#define FALSE 0
#define TRUE 1

typedef void *PVOID, *LPVOID, *HANDLE, **PHANDLE, **LPHANDLE;
typedef const void *LPCVOID;
typedef unsigned char BYTE, UCHAR, BOOLEAN, *PBYTE, *LPBYTE, *PUCHAR, *PBOOLEAN;
typedef char CHAR, CCHAR, *PCHAR, *LPSTR, *PSTR;
typedef const char *LPCSTR, *PCSTR;
typedef unsigned short WORD, USHORT, *PWORD, *LPWORD, *PUSHORT;
typedef short SHORT;
typedef int BOOL, INT, *PBOOL, *LPBOOL, *PINT, *LPINT;
typedef unsigned int UINT, DWORD, ULONG, *PDWORD, *LPDWORD, *PULONG, *PUINT;
typedef int LONG, *PLONG, *LPLONG;
typedef long long LONGLONG, LONG64, INT64, INT_PTR, LONG_PTR, SSIZE_T;
typedef unsigned long long ULONGLONG, DWORD64, ULONG64, UINT64, UINT_PTR, ULONG_PTR, DWORD_PTR, SIZE_T, *PULONG_PTR,
    *PSIZE_T;
typedef LONG NTSTATUS;
typedef HANDLE HMODULE, HINSTANCE;
#ifdef __cplusplus
typedef wchar_t WCHAR;
#else
typedef unsigned short WCHAR;
#endif
typedef WCHAR *PWCHAR, *LPWSTR, *PWSTR;
typedef const WCHAR *LPCWSTR, *PCWSTR;
/* The narrow character set unless UNICODE is defined, as on Windows. */
#ifdef UNICODE
typedef WCHAR TCHAR;
#define TEXT(s) L##s
#else
typedef char TCHAR;
#define TEXT(s) s
#endif
typedef TCHAR *LPTSTR;
typedef const TCHAR *LPCTSTR;

/* Laid out member for member as the kit's: the client and the kernel side
   of one process share the type, so the two definitions must agree. */
typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    };
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    struct {
        DWORD LowPart;
        DWORD HighPart;
    };
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

#define MAKEWORD(a, b) ((WORD)(((BYTE)(a)) | ((WORD)((BYTE)(b))) << 8))
#define MAKELONG(a, b) ((LONG)(((WORD)(a)) | ((DWORD)((WORD)(b))) << 16))
#define LOWORD(l) ((WORD)((DWORD_PTR)(l)&0xffff))
#define HIWORD(l) ((WORD)((DWORD_PTR)(l) >> 16))
#define LOBYTE(w) ((BYTE)((DWORD_PTR)(w)&0xff))
#define HIBYTE(w) ((BYTE)((DWORD_PTR)(w) >> 8))
#define UNREFERENCED_PARAMETER(P) ((void)(P))

/* The few NTSTATUS values winnt.h itself carries (ntstatus.h has the rest). */
#define STATUS_WAIT_0 ((DWORD)0x00000000L)
#define STATUS_ABANDONED_WAIT_0 ((DWORD)0x00000080L)
#define STATUS_USER_APC ((DWORD)0x000000C0L)
#define STATUS_TIMEOUT ((DWORD)0x00000102L)
#define STATUS_PENDING ((DWORD)0x00000103L)

#define MAXDWORD 0xffffffffu
#define MAXULONG 0xffffffffu
#define MAXLONG 0x7fffffff

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define SYNCHRONIZE 0x00100000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define FILE_ATTRIBUTE_NORMAL 0x00000080

/* The layer's exports (C linkage, visible from its shared library). */
#define BRISUM_API __attribute__((visibility("default")))
#define WINBASEAPI BRISUM_API
#define NTSYSAPI BRISUM_API

#ifdef __cplusplus
#define BRISUM_STATIC_ASSERT static_assert
#else
#define BRISUM_STATIC_ASSERT _Static_assert
#endif
BRISUM_STATIC_ASSERT(sizeof(DWORD) == 4, "DWORD is 32 bits");
BRISUM_STATIC_ASSERT(sizeof(LONG) == 4, "LONG is 32 bits");
BRISUM_STATIC_ASSERT(sizeof(WCHAR) == 2, "WCHAR is UTF-16: build with -fshort-wchar");
BRISUM_STATIC_ASSERT(sizeof(ULONG_PTR) == sizeof(void *), "ULONG_PTR holds a pointer");
