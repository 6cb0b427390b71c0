/*
 * Text.cpp - what serial programs reach for beside the comm API: code page
 * conversions (UTF-8 and the ANSI code page, here UTF-8 too, to UTF-16 and
 * back) and the layer's own module with GetProcAddress over its exports.
 */
#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <string>

#include "Objects.h"

namespace brisum_w32 {
namespace {

/* Decodes one UTF-8 sequence at S (N bytes left); 0 length on a malformed one. */
std::size_t DecodeUtf8(const unsigned char *S, std::size_t N, char32_t &Out)
{
    const unsigned char C = S[0];
    std::size_t Len = C < 0x80 ? 1 : (C & 0xE0) == 0xC0 ? 2 : (C & 0xF0) == 0xE0 ? 3 : (C & 0xF8) == 0xF0 ? 4 : 0;
    if (Len == 0 || Len > N) return 0;
    char32_t V = Len == 1 ? C : Len == 2 ? (C & 0x1F) : Len == 3 ? (C & 0x0F) : (C & 0x07);
    for (std::size_t I = 1; I < Len; ++I) {
        if ((S[I] & 0xC0) != 0x80) return 0;
        V = (V << 6) | (S[I] & 0x3F);
    }
    static const char32_t Least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (V < Least[Len] || V > 0x10FFFF || (V >= 0xD800 && V <= 0xDFFF)) return 0;
    Out = V;
    return Len;
}

bool KnownCodePage(UINT CodePage)
{
    return CodePage == CP_ACP || CodePage == CP_OEMCP || CodePage == CP_THREAD_ACP || CodePage == CP_UTF8;
}

} // namespace
} // namespace brisum_w32

using namespace brisum_w32;

extern "C" {

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar)
{
    if (!KnownCodePage(CodePage) || !lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 ||
        (cchWideChar > 0 && !lpWideCharStr)) {
        Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const auto *S = reinterpret_cast<const unsigned char *>(lpMultiByteStr);
    const std::size_t N = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<std::size_t>(cbMultiByte);
    std::u16string Out;
    for (std::size_t I = 0; I < N;) {
        char32_t V = 0;
        std::size_t Len = DecodeUtf8(S + I, N - I, V);
        if (Len == 0) {
            if (dwFlags & MB_ERR_INVALID_CHARS) {
                Fail(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            V = 0xFFFD;
            Len = 1;
        }
        if (V >= 0x10000) {
            Out.push_back(static_cast<char16_t>(0xD800 + ((V - 0x10000) >> 10)));
            Out.push_back(static_cast<char16_t>(0xDC00 + ((V - 0x10000) & 0x3FF)));
        } else {
            Out.push_back(static_cast<char16_t>(V));
        }
        I += Len;
    }
    if (cchWideChar == 0) return static_cast<int>(Out.size());
    if (Out.size() > static_cast<std::size_t>(cchWideChar)) {
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpWideCharStr, Out.data(), Out.size() * sizeof(WCHAR));
    return static_cast<int>(Out.size());
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar)
{
    if (!KnownCodePage(CodePage) || !lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && !lpMultiByteStr) || (CodePage == CP_UTF8 && (lpDefaultChar || lpUsedDefaultChar))) {
        Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const auto *W = reinterpret_cast<const char16_t *>(lpWideCharStr);
    std::size_t N = 0;
    if (cchWideChar < 0)
        while (W[N++]) {}
    else
        N = static_cast<std::size_t>(cchWideChar);
    std::string Out;
    bool UsedDefault = false;
    for (std::size_t I = 0; I < N; ++I) {
        char32_t V = W[I];
        if (V >= 0xD800 && V <= 0xDBFF && I + 1 < N && W[I + 1] >= 0xDC00 && W[I + 1] <= 0xDFFF) {
            V = 0x10000 + ((V - 0xD800) << 10) + (W[I + 1] - 0xDC00);
            ++I;
        } else if (V >= 0xD800 && V <= 0xDFFF) {
            if (dwFlags & WC_ERR_INVALID_CHARS) {
                Fail(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            UsedDefault = true;
            V = 0xFFFD;
        }
        if (V < 0x80) {
            Out.push_back(static_cast<char>(V));
        } else if (V < 0x800) {
            Out.push_back(static_cast<char>(0xC0 | (V >> 6)));
            Out.push_back(static_cast<char>(0x80 | (V & 0x3F)));
        } else if (V < 0x10000) {
            Out.push_back(static_cast<char>(0xE0 | (V >> 12)));
            Out.push_back(static_cast<char>(0x80 | ((V >> 6) & 0x3F)));
            Out.push_back(static_cast<char>(0x80 | (V & 0x3F)));
        } else {
            Out.push_back(static_cast<char>(0xF0 | (V >> 18)));
            Out.push_back(static_cast<char>(0x80 | ((V >> 12) & 0x3F)));
            Out.push_back(static_cast<char>(0x80 | ((V >> 6) & 0x3F)));
            Out.push_back(static_cast<char>(0x80 | (V & 0x3F)));
        }
    }
    if (lpUsedDefaultChar) *lpUsedDefaultChar = UsedDefault ? TRUE : FALSE;
    if (cbMultiByte == 0) return static_cast<int>(Out.size());
    if (Out.size() > static_cast<std::size_t>(cbMultiByte)) {
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpMultiByteStr, Out.data(), Out.size());
    return static_cast<int>(Out.size());
}

} // extern "C"

namespace brisum_w32 {
namespace {

/* The layer is the one module a program sees: kernel32, ntdll and the
   process itself all name it. */
HMODULE const kModule = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x7ff00000));

bool IsOwnModule(const std::string &Name)
{
    std::string L;
    for (char C : Name) L.push_back(static_cast<char>(C >= 'A' && C <= 'Z' ? C - 'A' + 'a' : C));
    return L == "kernel32" || L == "kernel32.dll" || L == "ntdll" || L == "ntdll.dll" || L == "kernelbase" ||
           L == "kernelbase.dll";
}

struct Export {
    const char *Name;
    FARPROC Proc;
};
/* Through void (*)(void), the type every function pointer converts by. */
#define BRISUM_EXPORT(F)                                                       \
    {                                                                          \
#F, reinterpret_cast < FARPROC>(reinterpret_cast <void (*)(void)>(&F)) \
    }
const Export kExports[] = {
    BRISUM_EXPORT(CreateFileA),
    BRISUM_EXPORT(CreateFileW),
    BRISUM_EXPORT(CloseHandle),
    BRISUM_EXPORT(ReadFile),
    BRISUM_EXPORT(WriteFile),
    BRISUM_EXPORT(DeviceIoControl),
    BRISUM_EXPORT(GetOverlappedResult),
    BRISUM_EXPORT(GetOverlappedResultEx),
    BRISUM_EXPORT(CancelIo),
    BRISUM_EXPORT(CancelIoEx),
    BRISUM_EXPORT(FlushFileBuffers),
    BRISUM_EXPORT(GetLastError),
    BRISUM_EXPORT(SetLastError),
    BRISUM_EXPORT(GetCommState),
    BRISUM_EXPORT(SetCommState),
    BRISUM_EXPORT(GetCommTimeouts),
    BRISUM_EXPORT(SetCommTimeouts),
    BRISUM_EXPORT(SetupComm),
    BRISUM_EXPORT(PurgeComm),
    BRISUM_EXPORT(GetCommMask),
    BRISUM_EXPORT(SetCommMask),
    BRISUM_EXPORT(WaitCommEvent),
    BRISUM_EXPORT(ClearCommError),
    BRISUM_EXPORT(GetCommModemStatus),
    BRISUM_EXPORT(GetCommProperties),
    BRISUM_EXPORT(EscapeCommFunction),
    BRISUM_EXPORT(SetCommBreak),
    BRISUM_EXPORT(ClearCommBreak),
    BRISUM_EXPORT(TransmitCommChar),
    BRISUM_EXPORT(GetCommConfig),
    BRISUM_EXPORT(SetCommConfig),
    BRISUM_EXPORT(GetDefaultCommConfigA),
    BRISUM_EXPORT(GetDefaultCommConfigW),
    BRISUM_EXPORT(BuildCommDCBA),
    BRISUM_EXPORT(BuildCommDCBW),
    BRISUM_EXPORT(BuildCommDCBAndTimeoutsA),
    BRISUM_EXPORT(BuildCommDCBAndTimeoutsW),
    BRISUM_EXPORT(GetStdHandle),
    BRISUM_EXPORT(CreateEventA),
    BRISUM_EXPORT(CreateEventW),
    BRISUM_EXPORT(SetEvent),
    BRISUM_EXPORT(ResetEvent),
    BRISUM_EXPORT(WaitForSingleObject),
    BRISUM_EXPORT(WaitForSingleObjectEx),
    BRISUM_EXPORT(WaitForMultipleObjects),
    BRISUM_EXPORT(CreateThread),
    BRISUM_EXPORT(GetExitCodeThread),
    BRISUM_EXPORT(GetCurrentThreadId),
    BRISUM_EXPORT(Sleep),
    BRISUM_EXPORT(SleepEx),
    BRISUM_EXPORT(GetTickCount),
    BRISUM_EXPORT(GetTickCount64),
    BRISUM_EXPORT(QueryPerformanceCounter),
    BRISUM_EXPORT(QueryPerformanceFrequency),
    BRISUM_EXPORT(GetModuleHandleA),
    BRISUM_EXPORT(GetModuleHandleW),
    BRISUM_EXPORT(GetProcAddress),
    BRISUM_EXPORT(MultiByteToWideChar),
    BRISUM_EXPORT(WideCharToMultiByte),
    BRISUM_EXPORT(NtReadFile),
    BRISUM_EXPORT(NtWriteFile),
    BRISUM_EXPORT(RtlNtStatusToDosError),
};
#undef BRISUM_EXPORT

} // namespace
} // namespace brisum_w32

extern "C" {

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName)
{
    if (!lpModuleName || IsOwnModule(lpModuleName)) return kModule;
    Fail(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName)
{
    if (!lpModuleName) return kModule;
    std::string Name;
    for (const WCHAR *P = lpModuleName; *P; ++P) Name.push_back(*P < 0x80 ? static_cast<char>(*P) : '?');
    return GetModuleHandleA(Name.c_str());
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    if (hModule != kModule) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    /* An ordinal (a value below 64K in place of the name) names nothing here. */
    if (reinterpret_cast<std::uintptr_t>(lpProcName) >= 0x10000)
        for (const Export &E : kExports)
            if (std::strcmp(E.Name, lpProcName) == 0) return E.Proc;
    Fail(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

} // extern "C"
