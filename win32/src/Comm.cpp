/*
 * Comm.cpp - kernel32's comm functions, each one the control requests the
 * system's own sends, in its order, so the driver sees what it would see
 * under Windows. Each is synchronous whatever the handle's kind.
 */
#include <windows.h>

#include <cstring>

#include "Objects.h"

namespace brisum_w32 {
namespace {

constexpr DWORD SerialCode(DWORD Function)
{
    return CTL_CODE(FILE_DEVICE_SERIAL_PORT, Function, METHOD_BUFFERED, FILE_ANY_ACCESS);
}
constexpr DWORD kSetBaudRate = SerialCode(1), kSetQueueSize = SerialCode(2), kSetLineControl = SerialCode(3),
                kSetBreakOn = SerialCode(4), kSetBreakOff = SerialCode(5), kImmediateChar = SerialCode(6),
                kSetTimeouts = SerialCode(7), kGetTimeouts = SerialCode(8), kSetDtr = SerialCode(9),
                kClrDtr = SerialCode(10), kResetDevice = SerialCode(11), kSetRts = SerialCode(12),
                kClrRts = SerialCode(13), kSetXoff = SerialCode(14), kSetXon = SerialCode(15),
                kGetWaitMask = SerialCode(16), kSetWaitMask = SerialCode(17), kWaitOnMask = SerialCode(18),
                kPurge = SerialCode(19), kGetBaudRate = SerialCode(20), kGetLineControl = SerialCode(21),
                kGetChars = SerialCode(22), kSetChars = SerialCode(23), kGetHandflow = SerialCode(24),
                kSetHandflow = SerialCode(25), kGetModemStatus = SerialCode(26), kGetCommStatus = SerialCode(27),
                kGetProperties = SerialCode(29);

/* The serial records of the port's control codes. */
struct LineControl {
    UCHAR StopBits, Parity, WordLength;
};
struct Chars {
    UCHAR EofChar, ErrorChar, BreakChar, EventChar, XonChar, XoffChar;
};
struct Handflow {
    ULONG ControlHandShake, FlowReplace;
    LONG XonLimit, XoffLimit;
};
struct Status {
    ULONG Errors, HoldReasons, AmountInInQueue, AmountInOutQueue;
    BOOLEAN EofReceived, WaitForImmediate;
};
struct QueueSize {
    ULONG InSize, OutSize;
};
static_assert(sizeof(Handflow) == 16 && sizeof(Status) == 20 && sizeof(Chars) == 6 && sizeof(LineControl) == 3);

/* SERIAL_HANDFLOW bits */
constexpr ULONG kDtrControl = 0x01, kDtrHandshake = 0x02, kCtsHandshake = 0x08, kDsrHandshake = 0x10,
                kDsrSensitivity = 0x40, kErrorAbort = 0x80000000;
constexpr ULONG kAutoTransmit = 0x1, kAutoReceive = 0x2, kErrorChar = 0x4, kNullStripping = 0x8, kRtsControl = 0x40,
                kRtsHandshake = 0x80, kXoffContinue = 0x80000000;

/* Runs F with the file of H, the layer entered; an invalid handle fails. */
template <typename Fn> BOOL WithFile(HANDLE H, Fn &&F)
{
    Enter E;
    auto File = LookupFile(H);
    if (!File) return Fail(ERROR_INVALID_HANDLE);
    return F(E, *File);
}

BOOL Request(Enter &E, FileObject &F, DWORD Code, const void *In = nullptr, DWORD InLength = 0, void *Out = nullptr,
             DWORD OutLength = 0)
{
    NtStatus S = SyncIoctl(E, F, Code, In, InLength, Out, OutLength, nullptr);
    return IsError(S) ? FailStatus(S) : TRUE;
}

template <typename T> BOOL Get(Enter &E, FileObject &F, DWORD Code, T &Out)
{
    return Request(E, F, Code, nullptr, 0, &Out, sizeof(T));
}

template <typename T> BOOL Set(Enter &E, FileObject &F, DWORD Code, const T &In)
{
    return Request(E, F, Code, &In, sizeof(T));
}

} // namespace

DWORD CommErrorsOf(ULONG SerialErrors)
{
    /* SERIAL_ERROR_* -> CE_* */
    static const struct {
        ULONG Serial;
        DWORD Ce;
    } Errors[] = {{0x01, CE_BREAK}, {0x02, CE_FRAME}, {0x04, CE_OVERRUN}, {0x08, CE_RXOVER}, {0x10, CE_RXPARITY}};
    DWORD Ce = 0;
    for (const auto &M : Errors)
        if (SerialErrors & M.Serial) Ce |= M.Ce;
    return Ce;
}

COMSTAT ComstatOf(ULONG HoldReasons, ULONG InQueue, ULONG OutQueue)
{
    /* SERIAL_TX_WAITING_FOR_CTS, _DSR, _DCD, _XON and _XON_SENT, bits 0 to 4 */
    COMSTAT C{};
    C.fCtsHold = (HoldReasons >> 0) & 1;
    C.fDsrHold = (HoldReasons >> 1) & 1;
    C.fRlsdHold = (HoldReasons >> 2) & 1;
    C.fXoffHold = (HoldReasons >> 3) & 1;
    C.fXoffSent = (HoldReasons >> 4) & 1;
    C.cbInQue = InQueue;
    C.cbOutQue = OutQueue;
    return C;
}

namespace {

/* DCB -> SERIAL_HANDFLOW as the system converts it. */
Handflow HandflowOf(const DCB &D)
{
    Handflow H{};
    if (D.fDtrControl == DTR_CONTROL_ENABLE) H.ControlHandShake |= kDtrControl;
    if (D.fDtrControl == DTR_CONTROL_HANDSHAKE) H.ControlHandShake |= kDtrHandshake;
    if (D.fOutxCtsFlow) H.ControlHandShake |= kCtsHandshake;
    if (D.fOutxDsrFlow) H.ControlHandShake |= kDsrHandshake;
    if (D.fDsrSensitivity) H.ControlHandShake |= kDsrSensitivity;
    if (D.fAbortOnError) H.ControlHandShake |= kErrorAbort;
    if (D.fOutX) H.FlowReplace |= kAutoTransmit;
    if (D.fInX) H.FlowReplace |= kAutoReceive;
    if (D.fErrorChar) H.FlowReplace |= kErrorChar;
    if (D.fNull) H.FlowReplace |= kNullStripping;
    if (D.fRtsControl == RTS_CONTROL_ENABLE) H.FlowReplace |= kRtsControl;
    if (D.fRtsControl == RTS_CONTROL_HANDSHAKE) H.FlowReplace |= kRtsHandshake;
    if (D.fRtsControl == RTS_CONTROL_TOGGLE) H.FlowReplace |= kRtsControl | kRtsHandshake;
    if (D.fTXContinueOnXoff) H.FlowReplace |= kXoffContinue;
    H.XonLimit = D.XonLim;
    H.XoffLimit = D.XoffLim;
    return H;
}

void DcbFromHandflow(const Handflow &H, DCB &D)
{
    D.fBinary = 1;
    D.fParity = 0;
    D.fDtrControl = (H.ControlHandShake & kDtrHandshake) ? DTR_CONTROL_HANDSHAKE
                    : (H.ControlHandShake & kDtrControl) ? DTR_CONTROL_ENABLE
                                                         : DTR_CONTROL_DISABLE;
    D.fOutxCtsFlow = (H.ControlHandShake & kCtsHandshake) != 0;
    D.fOutxDsrFlow = (H.ControlHandShake & kDsrHandshake) != 0;
    D.fDsrSensitivity = (H.ControlHandShake & kDsrSensitivity) != 0;
    D.fAbortOnError = (H.ControlHandShake & kErrorAbort) != 0;
    D.fOutX = (H.FlowReplace & kAutoTransmit) != 0;
    D.fInX = (H.FlowReplace & kAutoReceive) != 0;
    D.fErrorChar = (H.FlowReplace & kErrorChar) != 0;
    D.fNull = (H.FlowReplace & kNullStripping) != 0;
    const ULONG Rts = H.FlowReplace & (kRtsControl | kRtsHandshake);
    D.fRtsControl = Rts == (kRtsControl | kRtsHandshake) ? RTS_CONTROL_TOGGLE
                    : Rts == kRtsHandshake               ? RTS_CONTROL_HANDSHAKE
                    : Rts == kRtsControl                 ? RTS_CONTROL_ENABLE
                                                         : RTS_CONTROL_DISABLE;
    D.fTXContinueOnXoff = (H.FlowReplace & kXoffContinue) != 0;
    D.XonLim = static_cast<WORD>(H.XonLimit);
    D.XoffLim = static_cast<WORD>(H.XoffLimit);
}

} // namespace
} // namespace brisum_w32

using namespace brisum_w32;

extern "C" {

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (!lpDCB) return Fail(ERROR_NOACCESS);
    return WithFile(hFile, [lpDCB](Enter &E, FileObject &F) -> BOOL {
        ULONG Baud = 0;
        LineControl L{};
        Chars C{};
        Handflow H{};
        if (!Get(E, F, kGetBaudRate, Baud) || !Get(E, F, kGetLineControl, L) || !Get(E, F, kGetChars, C) ||
            !Get(E, F, kGetHandflow, H))
            return FALSE;
        DCB D{};
        D.DCBlength = sizeof(DCB);
        D.BaudRate = Baud;
        D.ByteSize = L.WordLength;
        D.Parity = L.Parity;
        D.StopBits = L.StopBits;
        D.EofChar = static_cast<char>(C.EofChar);
        D.ErrorChar = static_cast<char>(C.ErrorChar);
        D.EvtChar = static_cast<char>(C.EventChar);
        D.XonChar = static_cast<char>(C.XonChar);
        D.XoffChar = static_cast<char>(C.XoffChar);
        DcbFromHandflow(H, D);
        *lpDCB = D;
        return TRUE;
    });
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (!lpDCB) return Fail(ERROR_NOACCESS);
    const DCB D = *lpDCB;
    return WithFile(hFile, [&D](Enter &E, FileObject &F) -> BOOL {
        const ULONG Baud = D.BaudRate;
        if (!Set(E, F, kSetBaudRate, Baud)) return FALSE;
        if (D.fRtsControl == RTS_CONTROL_ENABLE && !Request(E, F, kSetRts)) return FALSE;
        if (D.fRtsControl == RTS_CONTROL_DISABLE && !Request(E, F, kClrRts)) return FALSE;
        if (D.fDtrControl == DTR_CONTROL_ENABLE && !Request(E, F, kSetDtr)) return FALSE;
        if (D.fDtrControl == DTR_CONTROL_DISABLE && !Request(E, F, kClrDtr)) return FALSE;
        const LineControl L{D.StopBits, D.Parity, D.ByteSize};
        if (!Set(E, F, kSetLineControl, L)) return FALSE;
        const Chars C{static_cast<UCHAR>(D.EofChar), static_cast<UCHAR>(D.ErrorChar), 0,
                      static_cast<UCHAR>(D.EvtChar), static_cast<UCHAR>(D.XonChar),   static_cast<UCHAR>(D.XoffChar)};
        if (!Set(E, F, kSetChars, C)) return FALSE;
        return Set(E, F, kSetHandflow, HandflowOf(D));
    });
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (!lpCommTimeouts) return Fail(ERROR_NOACCESS);
    return WithFile(hFile,
                    [lpCommTimeouts](Enter &E, FileObject &F) { return Get(E, F, kGetTimeouts, *lpCommTimeouts); });
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (!lpCommTimeouts) return Fail(ERROR_NOACCESS);
    return WithFile(hFile,
                    [lpCommTimeouts](Enter &E, FileObject &F) { return Set(E, F, kSetTimeouts, *lpCommTimeouts); });
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    return WithFile(hFile, [=](Enter &E, FileObject &F) {
        return Set(E, F, kSetQueueSize, QueueSize{dwInQueue, dwOutQueue});
    });
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    return WithFile(hFile, [=](Enter &E, FileObject &F) { return Set(E, F, kPurge, ULONG{dwFlags}); });
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    if (!lpEvtMask) return Fail(ERROR_NOACCESS);
    return WithFile(hFile, [=](Enter &E, FileObject &F) { return Get(E, F, kGetWaitMask, *lpEvtMask); });
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    return WithFile(hFile, [=](Enter &E, FileObject &F) { return Set(E, F, kSetWaitMask, ULONG{dwEvtMask}); });
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    if (!lpEvtMask) return Fail(ERROR_NOACCESS);
    DWORD Returned = 0;
    return DeviceIoControl(hFile, kWaitOnMask, nullptr, 0, lpEvtMask, sizeof(DWORD), &Returned, lpOverlapped);
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    return WithFile(hFile, [=](Enter &E, FileObject &F) -> BOOL {
        Status S{};
        if (!Get(E, F, kGetCommStatus, S)) return FALSE;
        if (lpErrors) *lpErrors = CommErrorsOf(S.Errors);
        if (lpStat) {
            *lpStat = ComstatOf(S.HoldReasons, S.AmountInInQueue, S.AmountInOutQueue);
            lpStat->fEof = S.EofReceived ? 1 : 0;
            lpStat->fTxim = S.WaitForImmediate ? 1 : 0;
        }
        return TRUE;
    });
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    if (!lpModemStat) return Fail(ERROR_NOACCESS);
    return WithFile(hFile, [=](Enter &E, FileObject &F) { return Get(E, F, kGetModemStatus, *lpModemStat); });
}

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    if (!lpCommProp) return Fail(ERROR_NOACCESS);
    return WithFile(hFile, [=](Enter &E, FileObject &F) { return Get(E, F, kGetProperties, *lpCommProp); });
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    static const DWORD Codes[] = {kSetXoff, kSetXon,      kSetRts,     kClrRts,     kSetDtr,
                                  kClrDtr,  kResetDevice, kSetBreakOn, kSetBreakOff};
    if (dwFunc < SETXOFF || dwFunc > CLRBREAK) {
        Enter E;
        return LookupFile(hFile) ? Fail(ERROR_INVALID_PARAMETER) : Fail(ERROR_INVALID_HANDLE);
    }
    return WithFile(hFile, [=](Enter &E, FileObject &F) { return Request(E, F, Codes[dwFunc - 1]); });
}

BOOL WINAPI SetCommBreak(HANDLE hFile) { return EscapeCommFunction(hFile, SETBREAK); }
BOOL WINAPI ClearCommBreak(HANDLE hFile) { return EscapeCommFunction(hFile, CLRBREAK); }

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar)
{
    return WithFile(hFile,
                    [=](Enter &E, FileObject &F) { return Set(E, F, kImmediateChar, static_cast<UCHAR>(cChar)); });
}

BOOL WINAPI GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize)
{
    if (!lpdwSize) return Fail(ERROR_INVALID_PARAMETER);
    if (!lpCC || *lpdwSize < sizeof(COMMCONFIG)) {
        *lpdwSize = sizeof(COMMCONFIG);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    DCB D{};
    if (!GetCommState(hCommDev, &D)) return FALSE;
    std::memset(lpCC, 0, sizeof(COMMCONFIG));
    lpCC->dwSize = sizeof(COMMCONFIG);
    lpCC->wVersion = 1;
    lpCC->dcb = D;
    lpCC->dwProviderSubType = PST_RS232;
    *lpdwSize = sizeof(COMMCONFIG);
    return TRUE;
}

BOOL WINAPI SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize)
{
    if (!lpCC || dwSize < offsetof(COMMCONFIG, dwProviderSubType)) return Fail(ERROR_INVALID_PARAMETER);
    DCB D = lpCC->dcb;
    return SetCommState(hCommDev, &D);
}

} // extern "C"
