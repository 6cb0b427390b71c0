/*
 * ntstrsafe.h - bounded string formatting of the hosted kit.
 *
 * The formatters understand the conversions drivers use: %d %i %u %x %X %p
 * %c %s %ws %S %wZ %%, with the l, ll, h, I64 and z size prefixes, width and
 * zero padding. Output is always null-terminated; when it does not fit, the
 * result is truncated and STATUS_BUFFER_OVERFLOW is returned.
 */
#ifndef _NTSTRSAFE_H_INCLUDED_
#define _NTSTRSAFE_H_INCLUDED_
#ifndef _NTDDK_
#error "ntstrsafe.h: include <ntddk.h> before <ntstrsafe.h>, as the kit requires"
#endif

#define NTSTRSAFE_MAX_CCH 2147483647

typedef __builtin_va_list va_list;
#ifndef va_start
#define va_start(v, l) __builtin_va_start(v, l)
#define va_end(v) __builtin_va_end(v)
#define va_arg(v, l) __builtin_va_arg(v, l)
#endif

EXTERN_C NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...);
EXTERN_C NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...);
EXTERN_C NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...);
EXTERN_C NTSTATUS RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList);
EXTERN_C NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList);
EXTERN_C NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t *pcbLength);
EXTERN_C NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
EXTERN_C NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...);

#endif /* _NTSTRSAFE_H_INCLUDED_ */
