/*
 * BuildDcb.cpp - the mode-string syntax of BuildCommDCB(AndTimeouts) and
 * GetDefaultCommConfig. Both the keyword form ("COM1: baud=9600 parity=N
 * data=8 stop=1 xon=off to=on dtr=hs rts=tg odsr=off octs=on idsr=off")
 * and the old positional form ("COM1: 96,n,8,1,x") are taken. Only the
 * members a string names change, except that a string leaves XON/XOFF and
 * hardware flow control off unless it asks for them, and 110 baud implies
 * two stop bits. A malformed string fails with ERROR_INVALID_PARAMETER and
 * leaves the records as they were.
 */
#include <windows.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "Objects.h"

namespace brisum_w32 {
namespace {

std::string Lower(std::string S)
{
    for (char &C : S) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
    return S;
}

bool Number(const std::string &S, DWORD &Out)
{
    if (S.empty() || S.size() > 9) return false;
    DWORD V = 0;
    for (char C : S) {
        if (!std::isdigit(static_cast<unsigned char>(C))) return false;
        V = V * 10 + static_cast<DWORD>(C - '0');
    }
    Out = V;
    return true;
}

bool OnOff(const std::string &V, bool &Out)
{
    if (V == "on")
        Out = true;
    else if (V == "off")
        Out = false;
    else
        return false;
    return true;
}

bool Parity(const std::string &V, BYTE &Out)
{
    static const char Letters[] = "noems";
    if (V.size() != 1 || !std::strchr(Letters, V[0])) return false;
    Out = static_cast<BYTE>(std::strchr(Letters, V[0]) - Letters);
    return true;
}

bool StopBits(const std::string &V, BYTE &Out)
{
    if (V == "1")
        Out = ONESTOPBIT;
    else if (V == "1.5")
        Out = ONE5STOPBITS;
    else if (V == "2")
        Out = TWOSTOPBITS;
    else
        return false;
    return true;
}

bool DataBits(const std::string &V, BYTE &Out)
{
    DWORD N = 0;
    if (!Number(V, N) || N < 5 || N > 8) return false;
    Out = static_cast<BYTE>(N);
    return true;
}

/* The old form's two-digit baud abbreviations, as the mode command has them. */
DWORD Baud(DWORD Given)
{
    static const DWORD Short[][2] = {{11, 110},  {15, 150},  {30, 300},  {60, 600},  {12, 1200},
                                     {24, 2400}, {48, 4800}, {96, 9600}, {19, 19200}};
    for (const auto &P : Short)
        if (P[0] == Given) return P[1];
    return Given;
}

bool Parse(std::string Def, DCB &D, COMMTIMEOUTS *T)
{
    Def = Lower(Def);
    /* The device name and its colon are optional. */
    std::size_t Start = Def.find_first_not_of(" \t");
    if (Start == std::string::npos) return false;
    if (Def.compare(Start, 3, "com") == 0) {
        std::size_t Colon = Def.find(':', Start);
        std::size_t End = Def.find_first_not_of("0123456789", Start + 3);
        if (End == Start + 3) return false;
        Start = Colon != std::string::npos && Colon == End ? Colon + 1 : End;
        if (Start == std::string::npos) Start = Def.size();
    }
    std::string Rest = Def.substr(Start);
    DCB N = D;
    N.fOutX = N.fInX = 0;
    N.fOutxCtsFlow = N.fOutxDsrFlow = 0;
    N.fDtrControl = DTR_CONTROL_ENABLE;
    N.fRtsControl = RTS_CONTROL_ENABLE;
    N.fDsrSensitivity = 0;
    COMMTIMEOUTS NT = T ? *T : COMMTIMEOUTS{};
    bool StopGiven = false;
    if (Rest.find('=') == std::string::npos) {
        /* old form: baud[,parity[,data[,stop[,x|p]]]] */
        std::vector<std::string> Fields;
        std::string Field;
        for (char C : Rest + ",") {
            if (C == ',') {
                Fields.push_back(Field);
                Field.clear();
            } else if (C != ' ' && C != '\t') {
                Field.push_back(C);
            }
        }
        if (Fields.size() > 5 || Fields[0].empty()) return false;
        DWORD B = 0;
        if (!Number(Fields[0], B)) return false;
        N.BaudRate = Baud(B);
        if (Fields.size() > 1 && !Fields[1].empty() && !Parity(Fields[1], N.Parity)) return false;
        if (Fields.size() > 2 && !Fields[2].empty() && !DataBits(Fields[2], N.ByteSize)) return false;
        if (Fields.size() > 3 && !Fields[3].empty()) {
            if (!StopBits(Fields[3], N.StopBits)) return false;
            StopGiven = true;
        }
        if (Fields.size() > 4) {
            if (Fields[4] == "x")
                N.fOutX = N.fInX = 1;
            else if (Fields[4] == "p") {
                N.fOutxCtsFlow = N.fOutxDsrFlow = 1;
                N.fDtrControl = DTR_CONTROL_HANDSHAKE;
                N.fRtsControl = RTS_CONTROL_HANDSHAKE;
            } else if (!Fields[4].empty())
                return false;
        }
    } else {
        std::size_t P = 0;
        while (P < Rest.size()) {
            P = Rest.find_first_not_of(" \t,", P);
            if (P == std::string::npos) break;
            std::size_t E = Rest.find_first_of(" \t,", P);
            std::string Word = Rest.substr(P, E == std::string::npos ? std::string::npos : E - P);
            P = E == std::string::npos ? Rest.size() : E;
            std::size_t Eq = Word.find('=');
            if (Eq == std::string::npos) return false;
            std::string Key = Word.substr(0, Eq), V = Word.substr(Eq + 1);
            bool Flag = false;
            if (Key == "baud") {
                DWORD B = 0;
                if (!Number(V, B)) return false;
                N.BaudRate = Baud(B);
            } else if (Key == "parity") {
                if (!Parity(V, N.Parity)) return false;
            } else if (Key == "data") {
                if (!DataBits(V, N.ByteSize)) return false;
            } else if (Key == "stop") {
                if (!StopBits(V, N.StopBits)) return false;
                StopGiven = true;
            } else if (Key == "to") {
                if (!OnOff(V, Flag)) return false;
                NT = COMMTIMEOUTS{};
                if (Flag) NT.WriteTotalTimeoutConstant = 60000;
            } else if (Key == "xon") {
                if (!OnOff(V, Flag)) return false;
                N.fOutX = N.fInX = Flag ? 1 : 0;
            } else if (Key == "odsr") {
                if (!OnOff(V, Flag)) return false;
                N.fOutxDsrFlow = Flag ? 1 : 0;
            } else if (Key == "octs") {
                if (!OnOff(V, Flag)) return false;
                N.fOutxCtsFlow = Flag ? 1 : 0;
            } else if (Key == "idsr") {
                if (!OnOff(V, Flag)) return false;
                N.fDsrSensitivity = Flag ? 1 : 0;
            } else if (Key == "dtr") {
                if (V == "hs")
                    N.fDtrControl = DTR_CONTROL_HANDSHAKE;
                else if (!OnOff(V, Flag))
                    return false;
                else
                    N.fDtrControl = Flag ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
            } else if (Key == "rts") {
                if (V == "hs")
                    N.fRtsControl = RTS_CONTROL_HANDSHAKE;
                else if (V == "tg")
                    N.fRtsControl = RTS_CONTROL_TOGGLE;
                else if (!OnOff(V, Flag))
                    return false;
                else
                    N.fRtsControl = Flag ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
            } else {
                return false;
            }
        }
    }
    if (N.BaudRate == 110 && !StopGiven) N.StopBits = TWOSTOPBITS;
    D = N;
    if (T) *T = NT;
    return true;
}

std::string Narrow(LPCWSTR W)
{
    std::string S;
    for (; *W; ++W) {
        if (*W > 0x7f) return std::string("\x01"); /* not a mode string */
        S.push_back(static_cast<char>(*W));
    }
    return S;
}

} // namespace
} // namespace brisum_w32

using namespace brisum_w32;

extern "C" {

BOOL WINAPI BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (!lpDef || !lpDCB) return Fail(ERROR_INVALID_PARAMETER);
    return Parse(lpDef, *lpDCB, lpCommTimeouts) ? TRUE : Fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) { return BuildCommDCBAndTimeoutsA(lpDef, lpDCB, nullptr); }

BOOL WINAPI BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (!lpDef) return Fail(ERROR_INVALID_PARAMETER);
    return BuildCommDCBAndTimeoutsA(Narrow(lpDef).c_str(), lpDCB, lpCommTimeouts);
}

BOOL WINAPI BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) { return BuildCommDCBAndTimeoutsW(lpDef, lpDCB, nullptr); }

BOOL WINAPI GetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize)
{
    if (!lpszName || !lpdwSize) return Fail(ERROR_INVALID_PARAMETER);
    if (!lpCC || *lpdwSize < sizeof(COMMCONFIG)) {
        *lpdwSize = sizeof(COMMCONFIG);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    {
        Enter E;
        if (!PortExists(std::u16string(reinterpret_cast<const char16_t *>(lpszName))))
            return Fail(ERROR_FILE_NOT_FOUND);
    }
    /* The port's defaults: 9600 baud, 8 data bits, no parity, one stop bit,
       DTR and RTS on, no flow control. */
    std::memset(lpCC, 0, sizeof(COMMCONFIG));
    lpCC->dwSize = sizeof(COMMCONFIG);
    lpCC->wVersion = 1;
    DCB &D = lpCC->dcb;
    D.DCBlength = sizeof(DCB);
    D.BaudRate = CBR_9600;
    D.fBinary = 1;
    D.fDtrControl = DTR_CONTROL_ENABLE;
    D.fRtsControl = RTS_CONTROL_ENABLE;
    D.ByteSize = 8;
    D.XonChar = 0x11;
    D.XoffChar = 0x13;
    lpCC->dwProviderSubType = PST_RS232;
    *lpdwSize = sizeof(COMMCONFIG);
    return TRUE;
}

BOOL WINAPI GetDefaultCommConfigA(LPCSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize)
{
    if (!lpszName) return Fail(ERROR_INVALID_PARAMETER);
    std::vector<WCHAR> W;
    for (const char *P = lpszName; *P; ++P) W.push_back(static_cast<WCHAR>(static_cast<unsigned char>(*P)));
    W.push_back(0);
    return GetDefaultCommConfigW(W.data(), lpCC, lpdwSize);
}

} // extern "C"
