/* The client headers compile on their own as C, with the published record
   layouts (their static assertions), and a Windows-style use of them. */
#include <windows.h>

static DCB Dcb = {
    sizeof(DCB), CBR_9600, 1, 0, 0, 0, DTR_CONTROL_ENABLE, 0,          0,    0,    0, 0, 0, RTS_CONTROL_ENABLE,
    0,           0,        0, 0, 0, 8, NOPARITY,           ONESTOPBIT, 0x11, 0x13, 0, 0, 0, 0};

DWORD brisum_win32_layout_c(void)
{
    OVERLAPPED Ov = {0};
    Ov.Offset = 0;
    return Dcb.DCBlength + (DWORD)sizeof(Ov) + CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
}
