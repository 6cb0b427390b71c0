/* The comm functions: the control requests each sends, the records they
   carry, and the class requests that reach the device. */
#include "support/Win32Fixture.h"

#include "Objects.h"

#include <cstring>

using Win32Comm = Win32Fixture;

namespace {

DCB BaseDcb()
{
    DCB D{};
    D.DCBlength = sizeof(DCB);
    D.BaudRate = CBR_115200;
    D.fBinary = 1;
    D.ByteSize = 7;
    D.Parity = EVENPARITY;
    D.StopBits = TWOSTOPBITS;
    D.XonChar = 0x11;
    D.XoffChar = 0x13;
    D.XonLim = 100;
    D.XoffLim = 200;
    return D;
}

std::uint32_t U32(const std::vector<std::uint8_t> &B, std::size_t At)
{
    std::uint32_t V = 0;
    if (B.size() >= At + 4) std::memcpy(&V, B.data() + At, 4);
    return V;
}

} // namespace

TEST_F(Win32Comm, SetCommState_sendsTheSystemsSequence)
{
    HANDLE H = Open();
    brisum_w32::ClearIoctlLog();
    DCB D = BaseDcb();
    D.fDtrControl = DTR_CONTROL_ENABLE;
    D.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(H, &D)) << GetLastError();
    EXPECT_EQ(Ioctls(), (std::vector<std::string>{"IOCTL_SERIAL_SET_BAUD_RATE", "IOCTL_SERIAL_CLR_RTS",
                                                  "IOCTL_SERIAL_SET_DTR", "IOCTL_SERIAL_SET_LINE_CONTROL",
                                                  "IOCTL_SERIAL_SET_CHARS", "IOCTL_SERIAL_SET_HANDFLOW"}));
    EXPECT_EQ(LastInput(SerialIoctl(3)), (std::vector<std::uint8_t>{TWOSTOPBITS, EVENPARITY, 7}));

    /* Handshake modes send no line request of their own. */
    brisum_w32::ClearIoctlLog();
    D.fDtrControl = DTR_CONTROL_HANDSHAKE;
    D.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(H, &D)) << GetLastError();
    EXPECT_EQ(Ioctls(), (std::vector<std::string>{"IOCTL_SERIAL_SET_BAUD_RATE", "IOCTL_SERIAL_SET_LINE_CONTROL",
                                                  "IOCTL_SERIAL_SET_CHARS", "IOCTL_SERIAL_SET_HANDFLOW"}));
}

TEST_F(Win32Comm, SetCommState_lineCodingAndLinesReachTheWire)
{
    HANDLE H = Open();
    DCB D = BaseDcb();
    D.fDtrControl = DTR_CONTROL_ENABLE;
    D.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(H, &D));
    const auto Requests = brisum_w32::ClassRequests();
    ASSERT_FALSE(Requests.empty());
    const brisum_w32::ClassRequest *Coding = nullptr;
    for (const auto &R : Requests)
        if (R.Request == 0x20) Coding = &R;
    ASSERT_NE(Coding, nullptr) << "SET_LINE_CODING";
    /* dwDTERate 115200, two stop bits (2), even parity (2), 7 data bits */
    EXPECT_EQ(Coding->Data, (std::vector<std::uint8_t>{0x00, 0xC2, 0x01, 0x00, 2, 2, 7}));
    EXPECT_EQ(brisum_w32::ControlLines() & 0x3, 0x3) << "DTR and RTS on";

    D.fDtrControl = DTR_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(H, &D));
    EXPECT_EQ(brisum_w32::ControlLines() & 0x3, 0x2) << "RTS alone";
}

TEST_F(Win32Comm, SetCommState_stopsAtTheFirstFailure)
{
    HANDLE H = Open();
    brisum_w32::ClearIoctlLog();
    ASSERT_EQ(brisum_w32::RunScenario("answer control stall\n"), ""); /* the device refuses the line coding */
    DCB D = BaseDcb();
    EXPECT_FALSE(SetCommState(H, &D));
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(Ioctls(), std::vector<std::string>{"IOCTL_SERIAL_SET_BAUD_RATE"});
}

TEST_F(Win32Comm, SetCommState_handflowBitsFromTheDcb)
{
    /* One DCB setting per row and the SERIAL_HANDFLOW words it gives. */
    static const struct {
        const char *Name;
        void (*Apply)(DCB &);
        ULONG ControlHandShake, FlowReplace;
    } Rows[] = {
        {"dtr enable", [](DCB &D) { D.fDtrControl = DTR_CONTROL_ENABLE; }, 0x01, 0},
        {"dtr handshake", [](DCB &D) { D.fDtrControl = DTR_CONTROL_HANDSHAKE; }, 0x02, 0},
        {"cts flow", [](DCB &D) { D.fOutxCtsFlow = 1; }, 0x08, 0},
        {"dsr flow", [](DCB &D) { D.fOutxDsrFlow = 1; }, 0x10, 0},
        {"dsr sensitivity", [](DCB &D) { D.fDsrSensitivity = 1; }, 0x40, 0},
        {"abort on error", [](DCB &D) { D.fAbortOnError = 1; }, 0x80000000u, 0},
        {"out x", [](DCB &D) { D.fOutX = 1; }, 0, 0x1},
        {"in x", [](DCB &D) { D.fInX = 1; }, 0, 0x2},
        {"error char", [](DCB &D) { D.fErrorChar = 1; }, 0, 0x4},
        {"null stripping", [](DCB &D) { D.fNull = 1; }, 0, 0x8},
        {"rts enable", [](DCB &D) { D.fRtsControl = RTS_CONTROL_ENABLE; }, 0, 0x40},
        {"rts handshake", [](DCB &D) { D.fRtsControl = RTS_CONTROL_HANDSHAKE; }, 0, 0x80},
        {"rts toggle", [](DCB &D) { D.fRtsControl = RTS_CONTROL_TOGGLE; }, 0, 0xC0},
        {"tx continue on xoff", [](DCB &D) { D.fTXContinueOnXoff = 1; }, 0, 0x80000000u},
    };
    HANDLE H = Open();
    for (const auto &Row : Rows) {
        DCB D = BaseDcb();
        Row.Apply(D);
        SetCommState(H, &D); /* a mode the driver refuses still shows what was sent */
        const auto In = LastInput(SerialIoctl(25));
        ASSERT_EQ(In.size(), 16u) << Row.Name;
        EXPECT_EQ(U32(In, 0), Row.ControlHandShake) << Row.Name;
        EXPECT_EQ(U32(In, 4), Row.FlowReplace) << Row.Name;
        EXPECT_EQ(U32(In, 8), 100u) << Row.Name << " XonLimit";
        EXPECT_EQ(U32(In, 12), 200u) << Row.Name << " XoffLimit";
    }
}

TEST_F(Win32Comm, GetCommState_readsBackWhatWasSet)
{
    HANDLE H = Open();
    DCB D = BaseDcb();
    D.fDtrControl = DTR_CONTROL_ENABLE;
    D.fRtsControl = RTS_CONTROL_HANDSHAKE;
    D.fOutxCtsFlow = 1;
    D.fParity = 1;
    D.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(H, &D));
    brisum_w32::ClearIoctlLog();
    DCB Got{};
    ASSERT_TRUE(GetCommState(H, &Got));
    EXPECT_EQ(Ioctls(), (std::vector<std::string>{"IOCTL_SERIAL_GET_BAUD_RATE", "IOCTL_SERIAL_GET_LINE_CONTROL",
                                                  "IOCTL_SERIAL_GET_CHARS", "IOCTL_SERIAL_GET_HANDFLOW"}));
    EXPECT_EQ(Got.DCBlength, sizeof(DCB));
    EXPECT_EQ(Got.BaudRate, (DWORD)CBR_115200);
    EXPECT_EQ(Got.ByteSize, 7);
    EXPECT_EQ(Got.Parity, EVENPARITY);
    EXPECT_EQ(Got.StopBits, TWOSTOPBITS);
    EXPECT_EQ(Got.fBinary, 1u);
    EXPECT_EQ(Got.fParity, 0u) << "the port keeps no parity-check flag";
    EXPECT_EQ(Got.fDtrControl, (DWORD)DTR_CONTROL_ENABLE);
    EXPECT_EQ(Got.fRtsControl, (DWORD)RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(Got.fOutxCtsFlow, 1u);
    EXPECT_EQ(Got.EvtChar, '\n');
    EXPECT_EQ(Got.XonChar, 0x11);
    EXPECT_EQ(Got.XonLim, 100);
    EXPECT_EQ(Got.XoffLim, 200);
}

TEST_F(Win32Comm, EscapeCommFunction_eachFunctionItsRequest)
{
    static const char *const Expected[] = {
        "IOCTL_SERIAL_SET_XOFF",     "IOCTL_SERIAL_SET_XON",      "IOCTL_SERIAL_SET_RTS",
        "IOCTL_SERIAL_CLR_RTS",      "IOCTL_SERIAL_SET_DTR",      "IOCTL_SERIAL_CLR_DTR",
        "IOCTL_SERIAL_RESET_DEVICE", "IOCTL_SERIAL_SET_BREAK_ON", "IOCTL_SERIAL_SET_BREAK_OFF"};
    HANDLE H = Open();
    for (DWORD F = SETXOFF; F <= CLRBREAK; ++F) {
        brisum_w32::ClearIoctlLog();
        EscapeCommFunction(H, F);
        EXPECT_EQ(Ioctls(), std::vector<std::string>{Expected[F - 1]}) << F;
    }
    for (DWORD F : {0u, 10u, 0xFFFFFFFFu}) {
        brisum_w32::ClearIoctlLog();
        EXPECT_FALSE(EscapeCommFunction(H, F));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        EXPECT_TRUE(Ioctls().empty());
    }
}

TEST_F(Win32Comm, SetCommBreak_reachesTheWire)
{
    HANDLE H = Open();
    ASSERT_TRUE(SetCommBreak(H));
    ASSERT_TRUE(ClearCommBreak(H));
    std::vector<std::uint16_t> Breaks;
    for (const auto &R : brisum_w32::ClassRequests())
        if (R.Request == 0x23) Breaks.push_back(R.Value);
    EXPECT_EQ(Breaks, (std::vector<std::uint16_t>{0xFFFF, 0x0000}));
}

TEST_F(Win32Comm, QueueAndPurgeRequestsCarryTheirArguments)
{
    HANDLE H = Open();
    brisum_w32::ClearIoctlLog();
    ASSERT_TRUE(SetupComm(H, 4096, 2048));
    EXPECT_EQ(Ioctls(), std::vector<std::string>{"IOCTL_SERIAL_SET_QUEUE_SIZE"});
    const auto Q = LastInput(SerialIoctl(2));
    EXPECT_EQ(U32(Q, 0), 4096u);
    EXPECT_EQ(U32(Q, 4), 2048u);
    ASSERT_TRUE(PurgeComm(H, PURGE_RXCLEAR | PURGE_TXABORT));
    EXPECT_EQ(U32(LastInput(SerialIoctl(19)), 0), (std::uint32_t)(PURGE_RXCLEAR | PURGE_TXABORT));
    ASSERT_TRUE(TransmitCommChar(H, 'Z'));
    EXPECT_EQ(LastInput(SerialIoctl(6)), std::vector<std::uint8_t>{'Z'});
}

TEST_F(Win32Comm, PurgeComm_dropsReceivedBytes)
{
    HANDLE H = Open();
    ASSERT_EQ(brisum_w32::RunScenario("bulk-in \"abcdef\"\n"), "");
    Sleep(5);
    COMSTAT St{};
    DWORD Errors = 99;
    ASSERT_TRUE(ClearCommError(H, &Errors, &St));
    EXPECT_EQ(Errors, 0u);
    EXPECT_EQ(St.cbInQue, 6u);
    ASSERT_TRUE(PurgeComm(H, PURGE_RXCLEAR));
    ASSERT_TRUE(ClearCommError(H, &Errors, &St));
    EXPECT_EQ(St.cbInQue, 0u);
}

TEST_F(Win32Comm, ClearCommError_mapsErrorAndHoldBits)
{
    static const struct {
        ULONG Serial;
        DWORD Ce;
    } Errors[] = {
        {0x01, CE_BREAK},  {0x02, CE_FRAME},    {0x04, CE_OVERRUN},
        {0x08, CE_RXOVER}, {0x10, CE_RXPARITY}, {0x1F, CE_BREAK | CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY},
        {0x20, 0}};
    for (const auto &E : Errors) EXPECT_EQ(brisum_w32::CommErrorsOf(E.Serial), E.Ce) << E.Serial;
    for (int Bit = 0; Bit < 5; ++Bit) {
        const COMSTAT C = brisum_w32::ComstatOf(1u << Bit, 7, 9);
        const DWORD Got[] = {C.fCtsHold, C.fDsrHold, C.fRlsdHold, C.fXoffHold, C.fXoffSent};
        for (int I = 0; I < 5; ++I) EXPECT_EQ(Got[I], I == Bit ? 1u : 0u) << Bit << " " << I;
        EXPECT_EQ(C.cbInQue, 7u);
        EXPECT_EQ(C.cbOutQue, 9u);
    }
}

TEST_F(Win32Comm, ModemLines_loopbackPlugWiring)
{
    HANDLE H = Open();
    DWORD Status = 0;
    ASSERT_TRUE(EscapeCommFunction(H, CLRDTR));
    ASSERT_TRUE(EscapeCommFunction(H, CLRRTS));
    Sleep(10); /* the plug's answer comes back as a notification */
    ASSERT_TRUE(GetCommModemStatus(H, &Status));
    EXPECT_EQ(Status, 0u);
    ASSERT_TRUE(EscapeCommFunction(H, SETRTS));
    Sleep(10);
    ASSERT_TRUE(GetCommModemStatus(H, &Status));
    EXPECT_EQ(Status & (MS_CTS_ON | MS_DSR_ON), MS_CTS_ON);
    ASSERT_TRUE(EscapeCommFunction(H, SETDTR));
    Sleep(10);
    ASSERT_TRUE(GetCommModemStatus(H, &Status));
    EXPECT_EQ(Status & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON), MS_CTS_ON | MS_DSR_ON | MS_RING_ON);
}

TEST_F(Win32Comm, Timeouts_roundTrip)
{
    HANDLE H = Open();
    COMMTIMEOUTS T{MAXDWORD, 1, 2, 3, 4};
    ASSERT_TRUE(SetCommTimeouts(H, &T));
    COMMTIMEOUTS Got{};
    ASSERT_TRUE(GetCommTimeouts(H, &Got));
    EXPECT_EQ(std::memcmp(&T, &Got, sizeof T), 0);
}

TEST_F(Win32Comm, CommMask_waitCommEventReportsReceivedChar)
{
    HANDLE H = Open("COM1", true);
    ASSERT_TRUE(SetCommMask(H, EV_RXCHAR | EV_CTS));
    DWORD Mask = 0;
    ASSERT_TRUE(GetCommMask(H, &Mask));
    EXPECT_EQ(Mask, (DWORD)(EV_RXCHAR | EV_CTS));
    OVERLAPPED Ov{};
    Ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD Events = 0;
    ASSERT_FALSE(WaitCommEvent(H, &Events, &Ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    ASSERT_EQ(brisum_w32::RunScenario("bulk-in \"x\" after=5ms\n"), "");
    EXPECT_EQ(WaitForSingleObject(Ov.hEvent, 1000), WAIT_OBJECT_0);
    DWORD N = 0;
    ASSERT_TRUE(GetOverlappedResult(H, &Ov, &N, FALSE));
    EXPECT_EQ(N, sizeof(DWORD));
    EXPECT_EQ(Events, (DWORD)EV_RXCHAR);
    CloseHandle(Ov.hEvent);
}

TEST_F(Win32Comm, GetCommProperties_andConfig)
{
    HANDLE H = Open();
    COMMPROP P{};
    ASSERT_TRUE(GetCommProperties(H, &P));
    EXPECT_EQ(P.dwServiceMask, SP_SERIALCOMM);
    EXPECT_EQ(P.dwProvSubType, PST_RS232);
    COMMCONFIG C{};
    DWORD Size = 4;
    EXPECT_FALSE(GetCommConfig(H, &C, &Size));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Size, sizeof(COMMCONFIG));
    ASSERT_TRUE(GetCommConfig(H, &C, &Size));
    C.dcb.BaudRate = 57600;
    ASSERT_TRUE(SetCommConfig(H, &C, Size));
    DCB D{};
    ASSERT_TRUE(GetCommState(H, &D));
    EXPECT_EQ(D.BaudRate, 57600u);
    Size = sizeof C;
    ASSERT_TRUE(GetDefaultCommConfigA("COM1", &C, &Size));
    EXPECT_EQ(C.dcb.BaudRate, (DWORD)CBR_9600);
    EXPECT_FALSE(GetDefaultCommConfigA("COM9", &C, &Size));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32Comm, BuildCommDCB_modeStrings)
{
    static const struct {
        const char *Def;
        DWORD Baud;
        BYTE Data, Parity, Stop;
        DWORD OutX, Cts, Dtr, Rts;
    } Good[] = {
        {"COM1: baud=9600 parity=N data=8 stop=1", 9600, 8, NOPARITY, ONESTOPBIT, 0, 0, 1, 1},
        {"baud=19200 parity=e data=7 stop=2 xon=on", 19200, 7, EVENPARITY, TWOSTOPBITS, 1, 0, 1, 1},
        {"COM3: 96,n,8,1", 9600, 8, NOPARITY, ONESTOPBIT, 0, 0, 1, 1},
        {"COM3:12,o,7,1.5,p", 1200, 7, ODDPARITY, ONE5STOPBITS, 0, 1, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE},
        {"baud=110", 110, 8, NOPARITY, TWOSTOPBITS, 0, 0, 1, 1},
        {"baud=9600 octs=on dtr=hs rts=tg", 9600, 8, NOPARITY, ONESTOPBIT, 0, 1, DTR_CONTROL_HANDSHAKE,
         RTS_CONTROL_TOGGLE},
    };
    for (const auto &Row : Good) {
        DCB D{};
        D.DCBlength = sizeof D;
        D.ByteSize = 8;
        ASSERT_TRUE(BuildCommDCBA(Row.Def, &D)) << Row.Def;
        EXPECT_EQ(D.BaudRate, Row.Baud) << Row.Def;
        EXPECT_EQ(D.ByteSize, Row.Data) << Row.Def;
        EXPECT_EQ(D.Parity, Row.Parity) << Row.Def;
        EXPECT_EQ(D.StopBits, Row.Stop) << Row.Def;
        EXPECT_EQ(D.fOutX, Row.OutX) << Row.Def;
        EXPECT_EQ(D.fOutxCtsFlow, Row.Cts) << Row.Def;
        EXPECT_EQ(D.fDtrControl, Row.Dtr) << Row.Def;
        EXPECT_EQ(D.fRtsControl, Row.Rts) << Row.Def;
    }
    for (const char *Bad : {"", "baud=", "parity=q", "data=9", "stop=3", "COM1: baud=9600 bogus=1", "96,n,8,1,z"}) {
        DCB D{};
        D.BaudRate = 1234;
        SetLastError(0);
        EXPECT_FALSE(BuildCommDCBA(Bad, &D)) << Bad;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << Bad;
        EXPECT_EQ(D.BaudRate, 1234u) << Bad << ": left as it was";
    }
    DCB D{};
    COMMTIMEOUTS T{1, 1, 1, 1, 1};
    ASSERT_TRUE(BuildCommDCBAndTimeoutsW(L"baud=1200 to=on", &D, &T));
    EXPECT_EQ(D.BaudRate, 1200u);
    EXPECT_EQ(T.WriteTotalTimeoutConstant, 60000u);
    EXPECT_EQ(T.ReadIntervalTimeout, 0u);
}

TEST_F(Win32Comm, CommCalls_invalidHandleAndNullRecords)
{
    DCB D{};
    COMMTIMEOUTS T{};
    DWORD W = 0;
    EXPECT_FALSE(GetCommState(INVALID_HANDLE_VALUE, &D));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetCommTimeouts(nullptr, &T));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(EscapeCommFunction(nullptr, SETDTR));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    HANDLE H = Open();
    EXPECT_FALSE(GetCommState(H, nullptr));
    EXPECT_FALSE(GetCommModemStatus(H, nullptr));
    EXPECT_FALSE(ClearCommError(INVALID_HANDLE_VALUE, &W, nullptr));
}
