/*
 * Format.cpp - the kernel's printf-style formatting (DbgPrint and the
 * ntstrsafe formatters), one engine for 8-bit and UTF-16 output.
 *
 * Integer sizes follow the target: "l" is 32 bits (LONG/ULONG), "ll" and
 * "I64" are 64 bits, "z" and "I" are pointer-sized. %p prints the pointer as
 * 16 upper-case hexadecimal digits. In a UTF-16 format %s is a wide string
 * and %S an 8-bit one; in an 8-bit format the other way round; %ws and %hs
 * are explicit; %wZ takes a PUNICODE_STRING.
 */
#include <cstdarg>
#include <cstring>
#include <string>

#include "FxHost.h"
#include <ntstrsafe.h>

namespace fx {
namespace {

template <class Ch> void AppendCodeUnit(std::basic_string<Ch> &Out, char32_t C);

template <> void AppendCodeUnit<char>(std::string &Out, char32_t C)
{
    if (C < 0x80) {
        Out.push_back((char)C);
    } else if (C < 0x800) {
        Out.push_back((char)(0xC0 | (C >> 6)));
        Out.push_back((char)(0x80 | (C & 0x3F)));
    } else {
        Out.push_back((char)(0xE0 | ((C >> 12) & 0x0F)));
        Out.push_back((char)(0x80 | ((C >> 6) & 0x3F)));
        Out.push_back((char)(0x80 | (C & 0x3F)));
    }
}

template <> void AppendCodeUnit<char16_t>(std::u16string &Out, char32_t C) { Out.push_back((char16_t)C); }

template <class Ch>
void Pad(std::basic_string<Ch> &Out, const std::basic_string<Ch> &Body, int Width, bool Left, Ch Fill)
{
    int N = (int)Body.size();
    if (!Left && N < Width) {
        Out.append((size_t)(Width - N), Fill);
    }
    Out += Body;
    if (Left && N < Width) {
        Out.append((size_t)(Width - N), (Ch)' ');
    }
}

/* A converted integer: Digits widened with zeros to Precision; with the 0
   flag, no precision and right alignment, zero-filled to Width after Prefix
   (the sign or 0x); then Prefix and Digits padded with spaces to Width. */
template <class Ch> void AppendNumber(std::basic_string<Ch> &Out, const std::string &Prefix, std::string Digits,
                                      int Width, int Precision, bool Left, bool Zero)
{
    if (Precision >= 0 && (int)Digits.size() < Precision) {
        Digits.insert(0, (size_t)(Precision - (int)Digits.size()), '0');
    }
    if (Zero && !Left && Precision < 0) {
        int N = Width - (int)Prefix.size();
        if ((int)Digits.size() < N) Digits.insert(0, (size_t)(N - (int)Digits.size()), '0');
    }
    std::basic_string<Ch> Body;
    for (char C : Prefix + Digits) Body.push_back((Ch)C);
    Pad<Ch>(Out, Body, Width, Left, (Ch)' ');
}

template <class Ch, class InCh> std::basic_string<Ch> Engine(const InCh *Format, va_list Args, bool WideFormat)
{
    std::basic_string<Ch> Out;
    if (Format == nullptr) {
        return Out;
    }
    for (const InCh *P = Format; *P != 0; ++P) {
        if (*P != (InCh)'%') {
            AppendCodeUnit<Ch>(Out, (char32_t)(std::make_unsigned_t<InCh>)*P);
            continue;
        }
        ++P;
        if (*P == 0) {
            break;
        }
        if (*P == (InCh)'%') {
            Out.push_back((Ch)'%');
            continue;
        }
        bool Left = false, Zero = false, Plus = false, Space = false, Alt = false;
        for (;; ++P) {
            if (*P == (InCh)'-')
                Left = true;
            else if (*P == (InCh)'0')
                Zero = true;
            else if (*P == (InCh)'+')
                Plus = true;
            else if (*P == (InCh)' ')
                Space = true;
            else if (*P == (InCh)'#')
                Alt = true;
            else
                break;
        }
        int Width = 0;
        if (*P == (InCh)'*') {
            Width = va_arg(Args, int);
            if (Width < 0) {
                Left = true;
                Width = -Width;
            }
            ++P;
        } else {
            while (*P >= (InCh)'0' && *P <= (InCh)'9') {
                Width = Width * 10 + (int)(*P - (InCh)'0');
                ++P;
            }
        }
        int Precision = -1;
        if (*P == (InCh)'.') {
            ++P;
            Precision = 0;
            if (*P == (InCh)'*') {
                Precision = va_arg(Args, int);
                ++P;
            } else {
                while (*P >= (InCh)'0' && *P <= (InCh)'9') {
                    Precision = Precision * 10 + (int)(*P - (InCh)'0');
                    ++P;
                }
            }
        }
        /* Size prefix: 0 int, 1 short, 2 char, 8 64-bit; 'w'/'h' for strings. */
        int Size = 4;
        int StrWidth = 0; /* 1 wide, -1 narrow, 0 default */
        if (*P == (InCh)'l') {
            ++P;
            if (*P == (InCh)'l') {
                ++P;
                Size = 8;
            } else {
                StrWidth = 1; /* %ls is wide */
            }
        } else if (*P == (InCh)'h') {
            ++P;
            Size = 2;
            StrWidth = -1;
            if (*P == (InCh)'h') {
                ++P;
                Size = 1;
            }
        } else if (*P == (InCh)'w') {
            ++P;
            StrWidth = 1;
        } else if (*P == (InCh)'z' || *P == (InCh)'j' || *P == (InCh)'t') {
            ++P;
            Size = 8;
        } else if (*P == (InCh)'I') {
            ++P;
            if (P[0] == (InCh)'6' && P[1] == (InCh)'4') {
                P += 2;
                Size = 8;
            } else if (P[0] == (InCh)'3' && P[1] == (InCh)'2') {
                P += 2;
                Size = 4;
            } else {
                Size = 8;
            }
        }
        InCh Conv = *P;
        if (Conv == 0) {
            break;
        }
        std::basic_string<Ch> Body;
        switch ((char)Conv) {
        case 'd':
        case 'i': {
            long long V;
            if (Size == 8)
                V = va_arg(Args, long long);
            else
                V = va_arg(Args, int);
            if (Size == 2) V = (short)V;
            if (Size == 1) V = (signed char)V; // NOLINT(bugprone-signed-char-misuse): %hhd sign-extends its char
            unsigned long long U = V < 0 ? 0ULL - (unsigned long long)V : (unsigned long long)V;
            std::string Sign = V < 0 ? "-" : Plus ? "+" : Space ? " " : "";
            AppendNumber<Ch>(Out, Sign, std::to_string(U), Width, Precision, Left, Zero);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o':
        case 'p': {
            unsigned long long U;
            bool Pointer = Conv == (InCh)'p';
            if (Pointer)
                U = (unsigned long long)(std::uintptr_t)va_arg(Args, void *);
            else if (Size == 8)
                U = va_arg(Args, unsigned long long);
            else
                U = va_arg(Args, unsigned int);
            if (!Pointer && Size == 2) U = (unsigned short)U;
            if (!Pointer && Size == 1) U = (unsigned char)U;
            std::string Digits;
            if (Conv == (InCh)'u') {
                Digits = std::to_string(U);
            } else {
                const char *Set = (Conv == (InCh)'x') ? "0123456789abcdef" : "0123456789ABCDEF";
                unsigned Base = Conv == (InCh)'o' ? 8 : 16;
                do {
                    Digits.insert(Digits.begin(), Set[U % Base]);
                    U /= Base;
                } while (U != 0);
                if (Pointer && Digits.size() < 16) Digits.insert(0, 16 - Digits.size(), '0');
            }
            std::string Prefix = (Alt && (Conv == (InCh)'x')) ? "0x" : (Alt && Conv == (InCh)'X') ? "0X" : "";
            AppendNumber<Ch>(Out, Prefix, Digits, Width, Precision, Left, Zero);
            break;
        }
        case 'c':
        case 'C': {
            int C = va_arg(Args, int);
            bool Wide = StrWidth == 1 || (StrWidth == 0 && ((Conv == (InCh)'c') == WideFormat));
            char32_t V = Wide ? (char32_t)(unsigned short)C : (char32_t)(unsigned char)C;
            AppendCodeUnit<Ch>(Body, V);
            Pad<Ch>(Out, Body, Width, Left, (Ch)' ');
            break;
        }
        case 's':
        case 'S': {
            bool Wide = StrWidth == 1 || (StrWidth == 0 && ((Conv == (InCh)'s') == WideFormat));
            const void *S = va_arg(Args, const void *);
            if (S == nullptr) {
                for (char C : std::string("(null)")) Body.push_back((Ch)C);
            } else if (Wide) {
                const char16_t *W = static_cast<const char16_t *>(S);
                for (int I = 0; W[I] != 0 && (Precision < 0 || I < Precision); ++I) AppendCodeUnit<Ch>(Body, W[I]);
            } else {
                const unsigned char *N = static_cast<const unsigned char *>(S);
                for (int I = 0; N[I] != 0 && (Precision < 0 || I < Precision); ++I) AppendCodeUnit<Ch>(Body, N[I]);
            }
            Pad<Ch>(Out, Body, Width, Left, (Ch)' ');
            break;
        }
        case 'Z': {
            const void *S = va_arg(Args, const void *);
            if (S == nullptr) {
                for (char C : std::string("(null)")) Body.push_back((Ch)C);
            } else if (StrWidth == 1) {
                auto *U = static_cast<const UNICODE_STRING *>(S);
                if (U->Buffer != nullptr) {
                    for (USHORT I = 0; I < U->Length / 2; ++I) AppendCodeUnit<Ch>(Body, (char16_t)U->Buffer[I]);
                }
            }
            Pad<Ch>(Out, Body, Width, Left, (Ch)' ');
            break;
        }
        default:
            /* Unknown conversion: copied as written. */
            Out.push_back((Ch)'%');
            AppendCodeUnit<Ch>(Out, (char32_t)(std::make_unsigned_t<InCh>)Conv);
            break;
        }
    }
    return Out;
}

template <class Ch> NTSTATUS CopyOut(Ch *Dest, size_t Cch, const std::basic_string<Ch> &Text)
{
    if (Dest == nullptr || Cch == 0 || Cch > NTSTRSAFE_MAX_CCH) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t N = Text.size();
    NTSTATUS Status = STATUS_SUCCESS;
    if (N >= Cch) {
        N = Cch - 1;
        Status = STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(Dest, Text.data(), N * sizeof(Ch));
    Dest[N] = 0;
    return Status;
}

} // namespace

std::string FormatV(const char *Format, va_list Args)
{
    va_list Copy;
    va_copy(Copy, Args);
    std::string S = Engine<char, char>(Format, Copy, false);
    va_end(Copy);
    return S;
}

std::u16string FormatWV(const char16_t *Format, va_list Args)
{
    va_list Copy;
    va_copy(Copy, Args);
    std::u16string S = Engine<char16_t, char16_t>(Format, Copy, true);
    va_end(Copy);
    return S;
}

} // namespace fx

using namespace fx;

/* A debug print's message goes to the trace sink; with no sink listening it
   is not even formatted, as the kernel drops what its debug filter masks. */
static void DebugPrintV(PCSTR Format, va_list Args)
{
    if (TraceWanted()) {
        Trace(FormatV(Format, Args));
    }
}

EXTERN_C ULONG DbgPrint(PCSTR Format, ...)
{
    KIT_ENTRY(DbgPrint);
    va_list Args;
    va_start(Args, Format);
    DebugPrintV(Format, Args);
    va_end(Args);
    return 0;
}

EXTERN_C ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    KIT_ENTRY(DbgPrintEx);
    (void)ComponentId;
    (void)Level;
    va_list Args;
    va_start(Args, Format);
    DebugPrintV(Format, Args);
    va_end(Args);
    return 0;
}

/* Every component's every level is kept exactly when a trace sink listens
   (DebugPrintV). */
EXTERN_C NTSTATUS NTAPI DbgQueryDebugFilterState(ULONG ComponentId, ULONG Level)
{
    KIT_ENTRY(DbgQueryDebugFilterState);
    (void)ComponentId;
    (void)Level;
    return TraceWanted() ? (NTSTATUS)TRUE : (NTSTATUS)FALSE;
}

/* The bodies of the printf routines: the routine's injected fault, else
   the formatted text copied out under the safe-string rules. */
static NTSTATUS PrintfW(const fx::KitEntry &Kit, PWSTR Dest, size_t Cch, PCWSTR Format, va_list Args)
{
    NTSTATUS Injected;
    if (Kit.Injected(&Injected)) {
        return Injected;
    }
    std::u16string S = FormatWV(reinterpret_cast<const char16_t *>(Format), Args);
    return CopyOut<char16_t>(reinterpret_cast<char16_t *>(Dest), Cch, S);
}

static NTSTATUS PrintfA(const fx::KitEntry &Kit, PSTR Dest, size_t Cch, PCSTR Format, va_list Args)
{
    NTSTATUS Injected;
    if (Kit.Injected(&Injected)) {
        return Injected;
    }
    return CopyOut<char>(Dest, Cch, FormatV(Format, Args));
}

EXTERN_C NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList)
{
    KIT_ENTRY(RtlStringCbVPrintfW);
    return PrintfW(Kit, pszDest, cbDest / sizeof(WCHAR), pszFormat, argList);
}

EXTERN_C NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...)
{
    KIT_ENTRY(RtlStringCbPrintfW);
    va_list Args;
    va_start(Args, pszFormat);
    NTSTATUS Status = PrintfW(Kit, pszDest, cbDest / sizeof(WCHAR), pszFormat, Args);
    va_end(Args);
    return Status;
}

EXTERN_C NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...)
{
    KIT_ENTRY(RtlStringCchPrintfW);
    va_list Args;
    va_start(Args, pszFormat);
    NTSTATUS Status = PrintfW(Kit, pszDest, cchDest, pszFormat, Args);
    va_end(Args);
    return Status;
}

EXTERN_C NTSTATUS RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList)
{
    KIT_ENTRY(RtlStringCbVPrintfA);
    return PrintfA(Kit, pszDest, cbDest, pszFormat, argList);
}

EXTERN_C NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...)
{
    KIT_ENTRY(RtlStringCbPrintfA);
    va_list Args;
    va_start(Args, pszFormat);
    NTSTATUS Status = PrintfA(Kit, pszDest, cbDest, pszFormat, Args);
    va_end(Args);
    return Status;
}

EXTERN_C NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t *pcbLength)
{
    KIT_ENTRY(RtlStringCbLengthW);
    if (psz == nullptr || cbMax > NTSTRSAFE_MAX_CCH * sizeof(WCHAR)) {
        if (pcbLength != nullptr) *pcbLength = 0;
        return STATUS_INVALID_PARAMETER;
    }
    size_t Cch = cbMax / sizeof(WCHAR);
    size_t N = 0;
    while (N < Cch && psz[N] != 0) {
        ++N;
    }
    if (N == Cch) {
        if (pcbLength != nullptr) *pcbLength = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (pcbLength != nullptr) *pcbLength = N * sizeof(WCHAR);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    KIT_ENTRY(RtlStringCbCopyW);
    NTSTATUS Injected;
    if (Kit.Injected(&Injected)) {
        return Injected;
    }
    if (pszSrc == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string S(reinterpret_cast<const char16_t *>(pszSrc));
    return CopyOut<char16_t>(reinterpret_cast<char16_t *>(pszDest), cbDest / sizeof(WCHAR), S);
}

EXTERN_C NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...)
{
    KIT_ENTRY(RtlUnicodeStringPrintf);
    NTSTATUS Injected;
    if (Kit.Injected(&Injected)) {
        return Injected;
    }
    if (DestinationString == nullptr || DestinationString->Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    va_list Args;
    va_start(Args, pszFormat);
    std::u16string S = FormatWV(reinterpret_cast<const char16_t *>(pszFormat), Args);
    va_end(Args);
    size_t Cap = DestinationString->MaximumLength / sizeof(WCHAR);
    NTSTATUS Status = STATUS_SUCCESS;
    size_t N = S.size();
    if (N > Cap) {
        N = Cap;
        Status = STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(DestinationString->Buffer, S.data(), N * sizeof(WCHAR));
    DestinationString->Length = (USHORT)(N * sizeof(WCHAR));
    return Status;
}
