/*
 * Values.h - the literals of the scenario language and the tables behind
 * them: numbers, durations, byte strings, status names, flag words, the
 * serial control codes with their buffer layouts, file-information classes
 * and registry values.
 *
 * Every parser here throws SyntaxError with a message meant for the person
 * who wrote the scenario line; nothing here touches the world.
 */
#pragma once
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <World.h>

namespace sim {

using Bytes = std::vector<std::uint8_t>;
using world::VirtualTime;

class SyntaxError : public std::runtime_error {
public:
    explicit SyntaxError(const std::string &Message) : std::runtime_error(Message) {}
};

/* ---- numbers and durations ---- */
/* Decimal, 0x hex, or MAXULONG / MAXUSHORT / MAXUCHAR. Throws when the value
   does not fit in Max. */
std::uint64_t ParseUnsigned(std::string_view Text, std::uint64_t Max = UINT32_MAX);
/* Whether Text is written as a number (a digit first, or MAXULONG, MAXUSHORT,
   MAXUCHAR), where a name would be accepted too. */
bool IsNumberWord(std::string_view Text);
std::int64_t ParseSigned(std::string_view Text, std::int64_t Min = INT32_MIN, std::int64_t Max = INT32_MAX);
/* "100ms", "1.5s", "250us", "300ns"; a multiple of 100 ns, not negative. */
VirtualTime ParseDuration(std::string_view Text);
std::string FormatDuration(VirtualTime Duration); /* shortest exact form: "15.625ms" */

/* ---- byte strings ----
   One or more pieces joined by '+', each optionally repeated with *N:
     "text"   characters with escapes \n \r \t \0 \\ \" \xHH
     <48 65>  hex bytes, spaces optional
     seq:N    N bytes counting 00 01 02 ... (wrapping after ff)
   Examples: "AT\r"   <00 ff>*3   "A"*100+<0d 0a>   seq:1000 */
Bytes ParseData(std::string_view Text);
/* A quoted string with escapes, or the bare word itself. */
std::string ParseText(std::string_view Text);
bool IsQuoted(std::string_view Text);

/* ---- statuses ---- */
NTSTATUS ParseStatus(std::string_view Text);        /* STATUS_TIMEOUT, 0x102, success, timeout, cancelled, pending */
USBD_STATUS ParseUsbdStatus(std::string_view Text); /* USBD_STATUS_STALL_PID, stall, 0xC0000004 */
std::string UsbdStatusName(USBD_STATUS Status);

/* ---- flag words ----
   "A|B|0x10": names from a table, or numbers, OR-ed together. */
struct FlagName {
    const char *Name;
    std::uint32_t Value;
};
std::uint32_t ParseFlags(std::string_view Text, const std::vector<FlagName> &Table, const char *What);
/* "RXCHAR|TXEMPTY", or "0" when no bit is set; unknown bits in hex. */
std::string FormatFlags(std::uint32_t Value, const std::vector<FlagName> &Table);

const std::vector<FlagName> &EventFlags(); /* SERIAL_EV_*: RXCHAR ... EVENT2 */
const std::vector<FlagName> &PurgeFlags(); /* TXABORT RXABORT TXCLEAR RXCLEAR */
const std::vector<FlagName> &ModemFlags(); /* DTR RTS CTS DSR RI DCD */
const std::vector<FlagName> &
SerialStateFlags(); /* CDC UART state bits: rxcarrier txcarrier break ring framing parity overrun */
const std::vector<FlagName> &ControlLineFlags(); /* SET_CONTROL_LINE_STATE: DTR RTS */

/* ---- line control "8N1" ---- */
struct LineControl {
    std::uint8_t StopBits = 0; /* 0 = 1, 1 = 1.5, 2 = 2 */
    std::uint8_t Parity = 0;   /* 0 none, 1 odd, 2 even, 3 mark, 4 space */
    std::uint8_t WordLength = 8;
};
/* "8N1", "7E2", "5O1.5", "8M1", "8S1". */
LineControl ParseLineControl(std::string_view Text);
/* The seven bytes of a line coding record on the wire: the rate (little
   endian), then stop bits, parity and word length. */
Bytes LineCodingBytes(std::uint32_t Rate, const LineControl &LC);
/* "8N1" when the three values have a short form, else "stop=.. parity=.. bits=..". */
std::string FormatLineControl(std::uint8_t StopBits, std::uint8_t Parity, std::uint8_t WordLength);

/* ---- decoded buffer layouts ---- */
enum class FieldKind { Number, Hex, Signed, Events, Modem, DtrRts, Char, Flag, Purge };
struct FieldDef {
    const char *Name;
    unsigned Offset;
    unsigned Size; /* 1, 2, 4 or 8 bytes, little-endian */
    FieldKind Kind;
};
using Layout = std::vector<FieldDef>;
/* Value of a field in Buffer, or nothing when the buffer is too short. */
std::optional<std::uint64_t> ReadField(const FieldDef &Field, const Bytes &Buffer);
std::string FormatField(const FieldDef &Field, std::uint64_t Value);
std::uint64_t ParseFieldValue(const FieldDef &Field, std::string_view Text);
const FieldDef *FindField(const Layout &Fields, std::string_view Name);
/* "Name=value Name=value" for the fields that fit in Length bytes. */
std::string DescribeLayout(const Layout &Fields, const Bytes &Buffer, std::size_t Length);

/* ---- serial control codes ---- */
enum class InputForm {
    None,        /* no input buffer */
    BaudRate,    /* ULONG rate */
    LineControl, /* 3 bytes */
    Timeouts,    /* SERIAL_TIMEOUTS */
    QueueSize,   /* SERIAL_QUEUE_SIZE */
    Mask,        /* ULONG SERIAL_EV_* */
    Purge,       /* ULONG SERIAL_PURGE_* */
    HandFlow,    /* SERIAL_HANDFLOW */
    Chars,       /* SERIAL_CHARS */
    Char,        /* one byte (IMMEDIATE_CHAR) */
};
struct IoctlInfo {
    const char *Name; /* without the IOCTL_SERIAL_ prefix, e.g. "SET_BAUD_RATE" */
    std::uint32_t Code;
    InputForm Input;
    std::size_t OutputLength; /* the smallest output buffer the code takes */
    const Layout *Output;     /* how to show the output, or null */
};
const std::vector<IoctlInfo> &SerialIoctls();
/* By name ("SET_BAUD_RATE" or "IOCTL_SERIAL_SET_BAUD_RATE", any case) or value. */
const IoctlInfo *FindIoctl(std::string_view Name);
const IoctlInfo *FindIoctl(std::uint32_t Code);
std::string IoctlName(std::uint32_t Code); /* "IOCTL_SERIAL_..." or hex */
const Layout &InputLayout(InputForm Form);

/* ---- file information ---- */
struct InfoClass {
    const char *Name; /* "FileStandardInformation" */
    std::uint32_t Value;
    std::size_t Length; /* default buffer length */
    const Layout *Output;
};
const std::vector<InfoClass> &InfoClasses();
/* "FileStandardInformation", "Standard", or a number. */
std::uint32_t ParseInfoClass(std::string_view Text);
const InfoClass *FindInfoClass(std::uint32_t Value);

/* ---- registry values: "COM5" (REG_SZ), 1 (REG_DWORD), TYPE:VALUE ----
   TYPE is sz, expand_sz, multi_sz, dword, qword, binary, none or a number;
   sz and expand_sz take a string, multi_sz strings joined by '|'
   ("a"|"b"), dword and qword a number, binary and numbered types data. */
world::RegistryValue ParseRegistryValue(std::string_view Text);
std::string DescribeRegistryValue(const world::RegistryValue &Value);

/* ---- text helpers ---- */
std::u16string ToUtf16(std::string_view Text); /* ASCII/UTF-8 to UTF-16 */
std::string FromUtf16(const std::u16string &Text);
Bytes Utf16Bytes(std::string_view Text, bool Terminator); /* UTF-16LE */
bool EqualsIgnoreCase(std::string_view A, std::string_view B);

} // namespace sim
