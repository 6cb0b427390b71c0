// The client headers compile on their own as C++ (the record layouts are
// asserted by the headers themselves).
#include <windows.h>

extern "C" DWORD brisum_win32_layout_cpp()
{
    DCB Dcb{};
    Dcb.DCBlength = sizeof(Dcb);
    Dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    Dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    return Dcb.DCBlength;
}
