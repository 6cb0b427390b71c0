/*
 * term.c - a small terminal-style serial program written against the
 * Win32 comm API alone: it opens a port for overlapped I/O, configures it
 * from a mode string, writes a line and reads what comes back with
 * WaitCommEvent and overlapped ReadFile, printing it.
 *
 *   term [PORT [MODE [TEXT]]]     defaults: COM1 "baud=115200 parity=n data=8 stop=1" "hello, port"
 *
 * Exits 0 when the whole line came back (a loopback device or plug), 1 on
 * an error, 2 when the echo was short or different.
 */
#include <windows.h>

#include <stdio.h>
#include <string.h>

static int Fail(const char *What)
{
    fprintf(stderr, "term: %s failed, error %lu\n", What, (unsigned long)GetLastError());
    return 1;
}

/* Waits for one overlapped operation; FALSE with the last error on failure. */
static BOOL Finish(HANDLE Port, OVERLAPPED *Ov, BOOL Started, DWORD *Done)
{
    if (!Started && GetLastError() != ERROR_IO_PENDING) return FALSE;
    return GetOverlappedResult(Port, Ov, Done, TRUE);
}

int main(int argc, char **argv)
{
    const char *Name = argc > 1 ? argv[1] : "COM1";
    const char *Mode = argc > 2 ? argv[2] : "baud=115200 parity=n data=8 stop=1";
    const char *Text = argc > 3 ? argv[3] : "hello, port";
    char Path[64];
    snprintf(Path, sizeof Path, "\\\\.\\%s", Name);

    HANDLE Port = CreateFileA(Path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (Port == INVALID_HANDLE_VALUE) return Fail("CreateFile");

    DCB Dcb;
    memset(&Dcb, 0, sizeof Dcb);
    Dcb.DCBlength = sizeof Dcb;
    if (!GetCommState(Port, &Dcb)) return Fail("GetCommState");
    if (!BuildCommDCBA(Mode, &Dcb)) return Fail("BuildCommDCB");
    if (!SetCommState(Port, &Dcb)) return Fail("SetCommState");
    COMMTIMEOUTS Timeouts = {MAXDWORD, 0, 0, 0, 1000}; /* reads return what is there */
    if (!SetCommTimeouts(Port, &Timeouts)) return Fail("SetCommTimeouts");
    if (!SetupComm(Port, 4096, 4096) || !PurgeComm(Port, PURGE_RXCLEAR | PURGE_TXCLEAR)) return Fail("SetupComm");
    if (!SetCommMask(Port, EV_RXCHAR)) return Fail("SetCommMask");
    printf("term: %s at %lu baud, %u data bits\n", Name, (unsigned long)Dcb.BaudRate, (unsigned)Dcb.ByteSize);

    OVERLAPPED Ov, Wait;
    memset(&Ov, 0, sizeof Ov);
    memset(&Wait, 0, sizeof Wait);
    Ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    Wait.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!Ov.hEvent || !Wait.hEvent) return Fail("CreateEvent");

    /* The wait for received characters is posted before the write: the
       port reports an event to a wait that is there when the bytes come. */
    DWORD Events = 0;
    BOOL Waiting = WaitCommEvent(Port, &Events, &Wait);
    if (!Waiting && GetLastError() != ERROR_IO_PENDING) return Fail("WaitCommEvent");

    const DWORD Length = (DWORD)strlen(Text);
    DWORD Done = 0;
    if (!Finish(Port, &Ov, WriteFile(Port, Text, Length, &Done, &Ov), &Done) || Done != Length)
        return Fail("WriteFile");

    char Echo[256];
    DWORD Have = 0;
    while (Have < Length && Have < sizeof Echo - 1) {
        if (!GetOverlappedResult(Port, &Wait, &Done, TRUE)) return Fail("WaitCommEvent");
        for (;;) {
            DWORD Got = 0;
            if (!Finish(Port, &Ov, ReadFile(Port, Echo + Have, sizeof Echo - 1 - Have, &Got, &Ov), &Got))
                return Fail("ReadFile");
            if (Got == 0) break;
            Have += Got;
        }
        if (Have < Length) {
            Waiting = WaitCommEvent(Port, &Events, &Wait);
            if (!Waiting && GetLastError() != ERROR_IO_PENDING) return Fail("WaitCommEvent");
            /* Bytes that came between the last read and the new wait raise no event. */
            COMSTAT Stat;
            DWORD Errors = 0;
            if (ClearCommError(Port, &Errors, &Stat) && Stat.cbInQue > 0) SetCommMask(Port, EV_RXCHAR);
        }
    }
    Echo[Have] = '\0';
    printf("term: sent \"%s\", received \"%s\" (%lu ms)\n", Text, Echo, (unsigned long)GetTickCount());

    CloseHandle(Ov.hEvent);
    CloseHandle(Wait.hEvent);
    CloseHandle(Port);
    return Have == Length && memcmp(Echo, Text, Length) == 0 ? 0 : 2;
}
