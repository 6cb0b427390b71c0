/*
 * Values.cpp - literals of the scenario language and their tables.
 */
#include "Values.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include <ntddk.h>
#include <ntddser.h>

#include "World.h"

namespace sim {

namespace {

std::string Quote(std::string_view Text) { return "'" + std::string(Text) + "'"; }

char Lower(char C) { return static_cast<char>(std::tolower(static_cast<unsigned char>(C))); }

std::string Hex(std::uint64_t Value, int Digits = 0)
{
    char Buffer[32];
    std::snprintf(Buffer, sizeof Buffer, "0x%0*llx", Digits, static_cast<unsigned long long>(Value));
    return Buffer;
}

int HexDigit(char C)
{
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
}

/* Decodes a double-quoted string (quotes included in Text). */
std::string DecodeQuoted(std::string_view Text)
{
    if (Text.size() < 2 || Text.front() != '"' || Text.back() != '"')
        throw SyntaxError("unterminated string " + std::string(Text));
    std::string Out;
    for (std::size_t I = 1; I + 1 < Text.size(); ++I) {
        char C = Text[I];
        if (C != '\\') {
            Out += C;
            continue;
        }
        if (I + 2 >= Text.size()) throw SyntaxError("string ends in the middle of an escape: " + std::string(Text));
        char E = Text[++I];
        switch (E) {
        case 'n': Out += '\n'; break;
        case 'r': Out += '\r'; break;
        case 't': Out += '\t'; break;
        case '0': Out += '\0'; break;
        case '\\': Out += '\\'; break;
        case '"': Out += '"'; break;
        case 'x': {
            if (I + 2 > Text.size() - 2) throw SyntaxError("\\x needs two hex digits in " + std::string(Text));
            int Hi = HexDigit(Text[I + 1]), Lo = HexDigit(Text[I + 2]);
            if (Hi < 0 || Lo < 0) throw SyntaxError("\\x needs two hex digits in " + std::string(Text));
            Out += static_cast<char>(Hi * 16 + Lo);
            I += 2;
            break;
        }
        default:
            throw SyntaxError(
                std::string("unknown escape \\") + E + " in " + std::string(Text) +
                " (known: \\n \\r \\t \\0 \\\\ \\\" \\xHH; write names such as \\Device\\Serial0 without quotes)");
        }
    }
    return Out;
}

/* Splits at '+' outside quotes and angle brackets. */
std::vector<std::string_view> SplitPieces(std::string_view Text)
{
    std::vector<std::string_view> Pieces;
    std::size_t Start = 0;
    bool InQuote = false, InHex = false;
    for (std::size_t I = 0; I < Text.size(); ++I) {
        char C = Text[I];
        if (InQuote) {
            if (C == '\\')
                ++I;
            else if (C == '"')
                InQuote = false;
        } else if (InHex) {
            if (C == '>') InHex = false;
        } else if (C == '"') {
            InQuote = true;
        } else if (C == '<') {
            InHex = true;
        } else if (C == '+') {
            Pieces.push_back(Text.substr(Start, I - Start));
            Start = I + 1;
        }
    }
    if (InQuote) throw SyntaxError("unterminated string in " + std::string(Text));
    if (InHex) throw SyntaxError("missing '>' in " + std::string(Text));
    Pieces.push_back(Text.substr(Start));
    return Pieces;
}

Bytes ParsePiece(std::string_view Piece)
{
    if (Piece.empty()) throw SyntaxError("empty piece in byte string");
    /* repetition suffix *N after the closing quote or bracket */
    std::size_t Repeat = 1;
    std::size_t End = Piece.size();
    std::size_t Star = Piece.rfind('*');
    char Closing = Piece.front() == '"' ? '"' : Piece.front() == '<' ? '>' : 0;
    if (Star != std::string_view::npos && Closing && Star > 0 && Piece[Star - 1] == Closing) {
        Repeat = ParseUnsigned(Piece.substr(Star + 1), 1u << 24);
        End = Star;
    }
    std::string_view Body = Piece.substr(0, End);
    Bytes One;
    if (Body.front() == '"') {
        std::string Text = DecodeQuoted(Body);
        One.assign(Text.begin(), Text.end());
    } else if (Body.front() == '<') {
        if (Body.back() != '>') throw SyntaxError("missing '>' in " + std::string(Body));
        int Pending = -1;
        for (std::size_t I = 1; I + 1 < Body.size(); ++I) {
            char C = Body[I];
            if (C == ' ' || C == ',' || C == '\t') {
                if (Pending >= 0) throw SyntaxError("odd number of hex digits in " + std::string(Body));
                continue;
            }
            int D = HexDigit(C);
            if (D < 0) throw SyntaxError(std::string("'") + C + "' is not a hex digit in " + std::string(Body));
            if (Pending < 0)
                Pending = D;
            else {
                One.push_back(static_cast<std::uint8_t>(Pending * 16 + D));
                Pending = -1;
            }
        }
        if (Pending >= 0) throw SyntaxError("odd number of hex digits in " + std::string(Body));
    } else if (Body.substr(0, 4) == "seq:") {
        /* seq:N is the count from 0; seq:OFFSET:N is N bytes of the same
           count from byte OFFSET on, so seq:0:64+seq:64:36 is seq:100. */
        std::string_view Rest = Body.substr(4);
        std::size_t Colon = Rest.find(':');
        std::uint64_t Offset = 0;
        if (Colon != std::string_view::npos) {
            Offset = ParseUnsigned(Rest.substr(0, Colon), UINT32_MAX);
            Rest = Rest.substr(Colon + 1);
        }
        std::size_t N = ParseUnsigned(Rest, 1u << 24);
        for (std::size_t I = 0; I < N; ++I) One.push_back(static_cast<std::uint8_t>(Offset + I));
    } else {
        throw SyntaxError("expected bytes (\"text\", <hex>, seq:N or seq:OFFSET:N), got " + Quote(Body));
    }
    Bytes Out;
    Out.reserve(One.size() * Repeat);
    for (std::size_t I = 0; I < Repeat; ++I) Out.insert(Out.end(), One.begin(), One.end());
    return Out;
}

struct StatusEntry {
    const char *Name;
    NTSTATUS Value;
};

const std::vector<StatusEntry> &UsbdTable()
{
    static const std::vector<StatusEntry> Table = {
        {"USBD_STATUS_SUCCESS", USBD_STATUS_SUCCESS},
        {"USBD_STATUS_PENDING", USBD_STATUS_PENDING},
        {"USBD_STATUS_CRC", USBD_STATUS_CRC},
        {"USBD_STATUS_BTSTUFF", USBD_STATUS_BTSTUFF},
        {"USBD_STATUS_DATA_TOGGLE_MISMATCH", USBD_STATUS_DATA_TOGGLE_MISMATCH},
        {"USBD_STATUS_STALL_PID", USBD_STATUS_STALL_PID},
        {"USBD_STATUS_DEV_NOT_RESPONDING", USBD_STATUS_DEV_NOT_RESPONDING},
        {"USBD_STATUS_BUFFER_OVERRUN", USBD_STATUS_BUFFER_OVERRUN},
        {"USBD_STATUS_ENDPOINT_HALTED", USBD_STATUS_ENDPOINT_HALTED},
        {"USBD_STATUS_INVALID_PARAMETER", USBD_STATUS_INVALID_PARAMETER},
        {"USBD_STATUS_REQUEST_FAILED", USBD_STATUS_REQUEST_FAILED},
        {"USBD_STATUS_DEVICE_GONE", USBD_STATUS_DEVICE_GONE},
        {"USBD_STATUS_CANCELED", USBD_STATUS_CANCELED},
        {"USBD_STATUS_TIMEOUT", USBD_STATUS_TIMEOUT},
    };
    return Table;
}

/* ---- buffer layouts ---- */
const Layout kBaudRate = {{"BaudRate", 0, 4, FieldKind::Number}};
const Layout kLineControl = {{"StopBits", 0, 1, FieldKind::Number},
                             {"Parity", 1, 1, FieldKind::Number},
                             {"WordLength", 2, 1, FieldKind::Number}};
const Layout kTimeouts = {{"ReadIntervalTimeout", 0, 4, FieldKind::Number},
                          {"ReadTotalTimeoutMultiplier", 4, 4, FieldKind::Number},
                          {"ReadTotalTimeoutConstant", 8, 4, FieldKind::Number},
                          {"WriteTotalTimeoutMultiplier", 12, 4, FieldKind::Number},
                          {"WriteTotalTimeoutConstant", 16, 4, FieldKind::Number}};
const Layout kQueueSize = {{"InSize", 0, 4, FieldKind::Number}, {"OutSize", 4, 4, FieldKind::Number}};
const Layout kWaitMask = {{"WaitMask", 0, 4, FieldKind::Events}};
const Layout kEvents = {{"Events", 0, 4, FieldKind::Events}};
const Layout kPurge = {{"PurgeFlags", 0, 4, FieldKind::Purge}};
const Layout kHandFlow = {{"ControlHandShake", 0, 4, FieldKind::Hex},
                          {"FlowReplace", 4, 4, FieldKind::Hex},
                          {"XonLimit", 8, 4, FieldKind::Signed},
                          {"XoffLimit", 12, 4, FieldKind::Signed}};
const Layout kChars = {{"EofChar", 0, 1, FieldKind::Char},   {"ErrorChar", 1, 1, FieldKind::Char},
                       {"BreakChar", 2, 1, FieldKind::Char}, {"EventChar", 3, 1, FieldKind::Char},
                       {"XonChar", 4, 1, FieldKind::Char},   {"XoffChar", 5, 1, FieldKind::Char}};
const Layout kChar = {{"Char", 0, 1, FieldKind::Char}};
const Layout kModemStatus = {{"ModemStatus", 0, 4, FieldKind::Modem}};
const Layout kDtrRts = {{"DtrRts", 0, 4, FieldKind::DtrRts}};
const Layout kCommStatus = {{"Errors", 0, 4, FieldKind::Hex},
                            {"HoldReasons", 4, 4, FieldKind::Hex},
                            {"AmountInInQueue", 8, 4, FieldKind::Number},
                            {"AmountInOutQueue", 12, 4, FieldKind::Number},
                            {"EofReceived", 16, 1, FieldKind::Flag},
                            {"WaitForImmediate", 17, 1, FieldKind::Flag}};
const Layout kCommProp = {{"PacketLength", 0, 2, FieldKind::Number},
                          {"PacketVersion", 2, 2, FieldKind::Number},
                          {"ServiceMask", 4, 4, FieldKind::Hex},
                          {"Reserved1", 8, 4, FieldKind::Hex},
                          {"MaxTxQueue", 12, 4, FieldKind::Number},
                          {"MaxRxQueue", 16, 4, FieldKind::Number},
                          {"MaxBaud", 20, 4, FieldKind::Hex},
                          {"ProvSubType", 24, 4, FieldKind::Number},
                          {"ProvCapabilities", 28, 4, FieldKind::Hex},
                          {"SettableParams", 32, 4, FieldKind::Hex},
                          {"SettableBaud", 36, 4, FieldKind::Hex},
                          {"SettableData", 40, 2, FieldKind::Hex},
                          {"SettableStopParity", 42, 2, FieldKind::Hex},
                          {"CurrentTxQueue", 44, 4, FieldKind::Number},
                          {"CurrentRxQueue", 48, 4, FieldKind::Number},
                          {"ProvSpec1", 52, 4, FieldKind::Hex},
                          {"ProvSpec2", 56, 4, FieldKind::Hex},
                          {"ProvChar", 60, 2, FieldKind::Hex}};
const Layout kConfigSize = {{"ConfigSize", 0, 4, FieldKind::Number}};
const Layout kStats = {{"ReceivedCount", 0, 4, FieldKind::Number},
                       {"TransmittedCount", 4, 4, FieldKind::Number},
                       {"FrameErrorCount", 8, 4, FieldKind::Number},
                       {"SerialOverrunErrorCount", 12, 4, FieldKind::Number},
                       {"BufferOverrunErrorCount", 16, 4, FieldKind::Number},
                       {"ParityErrorCount", 20, 4, FieldKind::Number}};
const Layout kStandardInfo = {{"AllocationSize", 0, 8, FieldKind::Number},
                              {"EndOfFile", 8, 8, FieldKind::Number},
                              {"NumberOfLinks", 16, 4, FieldKind::Number},
                              {"DeletePending", 20, 1, FieldKind::Flag},
                              {"Directory", 21, 1, FieldKind::Flag}};
const Layout kPositionInfo = {{"CurrentByteOffset", 0, 8, FieldKind::Number}};
const Layout kNoFields = {};

} // namespace

/* ---- numbers ---- */

std::uint64_t ParseUnsigned(std::string_view Text, std::uint64_t Max)
{
    if (Text.empty()) throw SyntaxError("expected a number, got nothing");
    std::uint64_t Value = 0;
    if (EqualsIgnoreCase(Text, "MAXULONG"))
        Value = 0xFFFFFFFFu;
    else if (EqualsIgnoreCase(Text, "MAXUSHORT"))
        Value = 0xFFFFu;
    else if (EqualsIgnoreCase(Text, "MAXUCHAR"))
        Value = 0xFFu;
    else {
        bool IsHex = Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X');
        std::string_view Digits = IsHex ? Text.substr(2) : Text;
        if (Digits.empty()) throw SyntaxError("expected a number, got " + Quote(Text));
        for (char C : Digits) {
            if (C == '_' || C == '\'') continue;
            int D = IsHex ? HexDigit(C) : (C >= '0' && C <= '9' ? C - '0' : -1);
            if (D < 0) throw SyntaxError("expected a number, got " + Quote(Text));
            std::uint64_t Base = IsHex ? 16 : 10;
            if (Value > (UINT64_MAX - static_cast<std::uint64_t>(D)) / Base)
                throw SyntaxError("number too large: " + std::string(Text));
            Value = Value * Base + static_cast<std::uint64_t>(D);
        }
    }
    if (Value > Max) throw SyntaxError("number " + std::string(Text) + " is larger than " + std::to_string(Max));
    return Value;
}

bool IsNumberWord(std::string_view Text)
{
    if (Text.empty()) return false;
    if (std::isdigit(static_cast<unsigned char>(Text.front()))) return true;
    return EqualsIgnoreCase(Text, "MAXULONG") || EqualsIgnoreCase(Text, "MAXUSHORT") ||
           EqualsIgnoreCase(Text, "MAXUCHAR");
}

std::int64_t ParseSigned(std::string_view Text, std::int64_t Min, std::int64_t Max)
{
    bool Negative = !Text.empty() && Text.front() == '-';
    std::uint64_t Magnitude = ParseUnsigned(Negative ? Text.substr(1) : Text, UINT64_MAX >> 1);
    std::int64_t Value = Negative ? -static_cast<std::int64_t>(Magnitude) : static_cast<std::int64_t>(Magnitude);
    if (Value < Min || Value > Max)
        throw SyntaxError("number " + std::string(Text) + " is outside " + std::to_string(Min) + ".." +
                          std::to_string(Max));
    return Value;
}

VirtualTime ParseDuration(std::string_view Text)
{
    std::size_t UnitAt = Text.find_first_not_of("0123456789.");
    if (UnitAt == 0 || UnitAt == std::string_view::npos)
        throw SyntaxError("expected a duration such as 100ms, 2s, 250us or 300ns, got " + Quote(Text));
    std::string_view Number = Text.substr(0, UnitAt), Unit = Text.substr(UnitAt);
    /* value in units of 1e-9 of the unit's scale, exact */
    std::int64_t Scale; /* 100-ns units per unit */
    std::int64_t Divisor = 1;
    if (Unit == "s")
        Scale = 10'000'000;
    else if (Unit == "ms")
        Scale = 10'000;
    else if (Unit == "us")
        Scale = 10;
    else if (Unit == "ns") {
        Scale = 1;
        Divisor = 100;
    } else
        throw SyntaxError("unknown time unit " + Quote(Unit) + " in " + std::string(Text) + " (use s, ms, us or ns)");
    std::size_t Dot = Number.find('.');
    std::string_view Whole = Number.substr(0, Dot);
    std::string_view Fraction = Dot == std::string_view::npos ? std::string_view{} : Number.substr(Dot + 1);
    if (Fraction.find('.') != std::string_view::npos || (Whole.empty() && Fraction.empty()))
        throw SyntaxError("bad duration " + Quote(Text));
    std::int64_t W = Whole.empty() ? 0 : static_cast<std::int64_t>(ParseUnsigned(Whole, 1'000'000'000'000ull));
    /* fraction as numerator/denominator */
    std::int64_t Num = 0, Den = 1;
    for (char C : Fraction) {
        if (Den > 1'000'000'000) throw SyntaxError("too many decimals in " + std::string(Text));
        Num = Num * 10 + (C - '0');
        Den *= 10;
    }
    std::int64_t Units = W * Scale;
    std::int64_t FracUnits = Num * Scale;
    if (FracUnits % Den != 0 || (Units + FracUnits / Den) % Divisor != 0)
        throw SyntaxError("duration " + std::string(Text) + " is not a multiple of 100 ns");
    return (Units + FracUnits / Den) / Divisor;
}

std::string FormatDuration(VirtualTime Duration)
{
    char Buffer[64];
    if (Duration % 10'000'000 == 0)
        std::snprintf(Buffer, sizeof Buffer, "%llds", static_cast<long long>(Duration / 10'000'000));
    else if (Duration % 10'000 == 0)
        std::snprintf(Buffer, sizeof Buffer, "%lldms", static_cast<long long>(Duration / 10'000));
    else if (Duration < 10'000 && Duration % 10 == 0)
        std::snprintf(Buffer, sizeof Buffer, "%lldus", static_cast<long long>(Duration / 10));
    else {
        std::snprintf(Buffer, sizeof Buffer, "%lld.%04lld", static_cast<long long>(Duration / 10'000),
                      static_cast<long long>(Duration % 10'000));
        std::string S = Buffer;
        while (S.back() == '0') S.pop_back();
        return S + "ms";
    }
    return Buffer;
}

/* ---- byte strings ---- */

bool IsQuoted(std::string_view Text) { return Text.size() >= 2 && Text.front() == '"' && Text.back() == '"'; }

Bytes ParseData(std::string_view Text)
{
    if (Text.empty()) throw SyntaxError("expected bytes (\"text\", <hex>, seq:N or seq:OFFSET:N), got nothing");
    Bytes Out;
    for (std::string_view Piece : SplitPieces(Text)) {
        Bytes Part = ParsePiece(Piece);
        Out.insert(Out.end(), Part.begin(), Part.end());
    }
    return Out;
}

std::string ParseText(std::string_view Text)
{
    if (!Text.empty() && Text.front() == '"') return DecodeQuoted(Text);
    return std::string(Text);
}

/* ---- statuses ---- */

NTSTATUS ParseStatus(std::string_view Text)
{
    static const std::vector<StatusEntry> Aliases = {
        {"success", STATUS_SUCCESS},    {"timeout", STATUS_TIMEOUT}, {"cancelled", STATUS_CANCELLED},
        {"canceled", STATUS_CANCELLED}, {"pending", STATUS_PENDING},
    };
    for (const auto &E : Aliases)
        if (EqualsIgnoreCase(Text, E.Name)) return E.Value;
    std::size_t Count = 0;
    const world::StatusNameRow *Names = world::StatusNames(&Count);
    for (std::size_t I = 0; I < Count; ++I)
        if (EqualsIgnoreCase(Text, Names[I].Name)) return Names[I].Value;
    if (IsNumberWord(Text)) return static_cast<NTSTATUS>(ParseUnsigned(Text));
    throw SyntaxError("unknown status " + Quote(Text) +
                      " (use a STATUS_ name, a number, or success/timeout/cancelled/pending)");
}

USBD_STATUS ParseUsbdStatus(std::string_view Text)
{
    static const std::vector<StatusEntry> Aliases = {
        {"success", USBD_STATUS_SUCCESS},
        {"stall", USBD_STATUS_STALL_PID},
        {"not-responding", USBD_STATUS_DEV_NOT_RESPONDING},
        {"gone", USBD_STATUS_DEVICE_GONE},
        {"crc", USBD_STATUS_CRC},
        {"timeout", USBD_STATUS_TIMEOUT},
        {"halted", USBD_STATUS_ENDPOINT_HALTED},
        {"overrun", USBD_STATUS_BUFFER_OVERRUN},
    };
    for (const auto &E : Aliases)
        if (EqualsIgnoreCase(Text, E.Name)) return E.Value;
    for (const auto &E : UsbdTable())
        if (EqualsIgnoreCase(Text, E.Name)) return E.Value;
    if (IsNumberWord(Text)) return static_cast<USBD_STATUS>(ParseUnsigned(Text));
    throw SyntaxError("unknown USB status " + Quote(Text) + " (use a USBD_STATUS_ name or a number)");
}

std::string UsbdStatusName(USBD_STATUS Status)
{
    for (const auto &E : UsbdTable())
        if (E.Value == Status) return E.Name;
    return Hex(static_cast<std::uint32_t>(Status), 8);
}

/* ---- flags ---- */

std::uint32_t ParseFlags(std::string_view Text, const std::vector<FlagName> &Table, const char *What)
{
    if (Text.empty()) throw SyntaxError(std::string("expected ") + What + ", got nothing");
    std::uint32_t Value = 0;
    std::size_t Start = 0;
    while (Start <= Text.size()) {
        std::size_t Bar = Text.find('|', Start);
        std::string_view Part =
            Text.substr(Start, Bar == std::string_view::npos ? std::string_view::npos : Bar - Start);
        if (Part.empty()) throw SyntaxError(std::string("empty name in ") + What + " " + Quote(Text));
        bool Found = false;
        for (const auto &F : Table) {
            if (EqualsIgnoreCase(Part, F.Name)) {
                Value |= F.Value;
                Found = true;
                break;
            }
        }
        if (!Found) {
            if (IsNumberWord(Part))
                Value |= static_cast<std::uint32_t>(ParseUnsigned(Part));
            else {
                std::string Known;
                for (const auto &F : Table) Known += std::string(Known.empty() ? "" : " ") + F.Name;
                throw SyntaxError(std::string("unknown ") + What + " name " + Quote(Part) + " (known: " + Known + ")");
            }
        }
        if (Bar == std::string_view::npos) break;
        Start = Bar + 1;
    }
    return Value;
}

std::string FormatFlags(std::uint32_t Value, const std::vector<FlagName> &Table)
{
    std::string Out;
    std::uint32_t Left = Value;
    for (const auto &F : Table) {
        if (F.Value != 0 && (Value & F.Value) == F.Value && (Left & F.Value)) {
            Out += (Out.empty() ? "" : "|") + std::string(F.Name);
            Left &= ~F.Value;
        }
    }
    if (Left) Out += (Out.empty() ? "" : "|") + Hex(Left);
    return Out.empty() ? "0" : Out;
}

const std::vector<FlagName> &EventFlags()
{
    static const std::vector<FlagName> Table = {
        {"RXCHAR", SERIAL_EV_RXCHAR}, {"RXFLAG", SERIAL_EV_RXFLAG},     {"TXEMPTY", SERIAL_EV_TXEMPTY},
        {"CTS", SERIAL_EV_CTS},       {"DSR", SERIAL_EV_DSR},           {"RLSD", SERIAL_EV_RLSD},
        {"BREAK", SERIAL_EV_BREAK},   {"ERR", SERIAL_EV_ERR},           {"RING", SERIAL_EV_RING},
        {"PERR", SERIAL_EV_PERR},     {"RX80FULL", SERIAL_EV_RX80FULL}, {"EVENT1", SERIAL_EV_EVENT1},
        {"EVENT2", SERIAL_EV_EVENT2},
    };
    return Table;
}

const std::vector<FlagName> &PurgeFlags()
{
    static const std::vector<FlagName> Table = {
        {"TXABORT", SERIAL_PURGE_TXABORT},
        {"RXABORT", SERIAL_PURGE_RXABORT},
        {"TXCLEAR", SERIAL_PURGE_TXCLEAR},
        {"RXCLEAR", SERIAL_PURGE_RXCLEAR},
    };
    return Table;
}

const std::vector<FlagName> &ModemFlags()
{
    static const std::vector<FlagName> Table = {
        {"DTR", SERIAL_DTR_STATE}, {"RTS", SERIAL_RTS_STATE}, {"CTS", SERIAL_CTS_STATE},
        {"DSR", SERIAL_DSR_STATE}, {"RI", SERIAL_RI_STATE},   {"DCD", SERIAL_DCD_STATE},
    };
    return Table;
}

const std::vector<FlagName> &SerialStateFlags()
{
    /* USB CDC PSTN, SERIAL_STATE notification, UART state bitmap */
    static const std::vector<FlagName> Table = {
        {"rxcarrier", 0x01},
        {"txcarrier", 0x02},
        {"break", 0x04},
        {"ring", 0x08},
        {"framing", 0x10},
        {"parity", 0x20},
        {"overrun", 0x40},
        /* the serial names of the same lines */
        {"DCD", 0x01},
        {"DSR", 0x02},
        {"RI", 0x08},
    };
    return Table;
}

const std::vector<FlagName> &ControlLineFlags()
{
    static const std::vector<FlagName> Table = {{"DTR", 0x01}, {"RTS", 0x02}};
    return Table;
}

/* ---- line control ---- */

Bytes LineCodingBytes(std::uint32_t Rate, const LineControl &LC)
{
    return {static_cast<std::uint8_t>(Rate),
            static_cast<std::uint8_t>(Rate >> 8),
            static_cast<std::uint8_t>(Rate >> 16),
            static_cast<std::uint8_t>(Rate >> 24),
            LC.StopBits,
            LC.Parity,
            LC.WordLength};
}

LineControl ParseLineControl(std::string_view Text)
{
    /* <bits><parity><stop>: 8N1, 7E2, 5O1.5 */
    if (Text.size() < 3 || Text[0] < '5' || Text[0] > '8')
        throw SyntaxError("expected a line setting such as 8N1, 7E2 or 5O1.5, got " + Quote(Text));
    LineControl L;
    L.WordLength = static_cast<std::uint8_t>(Text[0] - '0');
    switch (std::toupper(static_cast<unsigned char>(Text[1]))) {
    case 'N': L.Parity = NO_PARITY; break;
    case 'O': L.Parity = ODD_PARITY; break;
    case 'E': L.Parity = EVEN_PARITY; break;
    case 'M': L.Parity = MARK_PARITY; break;
    case 'S': L.Parity = SPACE_PARITY; break;
    default: throw SyntaxError("parity must be N, O, E, M or S in " + Quote(Text));
    }
    std::string_view Stop = Text.substr(2);
    if (Stop == "1")
        L.StopBits = STOP_BIT_1;
    else if (Stop == "1.5")
        L.StopBits = STOP_BITS_1_5;
    else if (Stop == "2")
        L.StopBits = STOP_BITS_2;
    else
        throw SyntaxError("stop bits must be 1, 1.5 or 2 in " + Quote(Text));
    return L;
}

std::string FormatLineControl(std::uint8_t StopBits, std::uint8_t Parity, std::uint8_t WordLength)
{
    static const char ParityLetters[] = "NOEMS";
    static const char *StopNames[] = {"1", "1.5", "2"};
    if (WordLength >= 5 && WordLength <= 8 && Parity <= 4 && StopBits <= 2)
        return std::to_string(WordLength) + ParityLetters[Parity] + StopNames[StopBits];
    return "stop=" + std::to_string(StopBits) + " parity=" + std::to_string(Parity) +
           " bits=" + std::to_string(WordLength);
}

/* ---- layouts ---- */

std::optional<std::uint64_t> ReadField(const FieldDef &Field, const Bytes &Buffer)
{
    if (Field.Offset + Field.Size > Buffer.size()) return std::nullopt;
    std::uint64_t Value = 0;
    for (unsigned I = 0; I < Field.Size; ++I) Value |= static_cast<std::uint64_t>(Buffer[Field.Offset + I]) << (8 * I);
    return Value;
}

std::string FormatField(const FieldDef &Field, std::uint64_t Value)
{
    switch (Field.Kind) {
    case FieldKind::Number: return std::to_string(Value);
    case FieldKind::Signed:
        return std::to_string(Field.Size == 4 ? static_cast<std::int64_t>(static_cast<std::int32_t>(Value))
                                              : static_cast<std::int64_t>(Value));
    case FieldKind::Hex: return Hex(Value, static_cast<int>(Field.Size * 2));
    case FieldKind::Char: return Hex(Value, 2);
    case FieldKind::Flag: return Value ? "TRUE" : "FALSE";
    case FieldKind::Events:
        return Hex(Value, 4) + " (" + FormatFlags(static_cast<std::uint32_t>(Value), EventFlags()) + ")";
    case FieldKind::Modem:
    case FieldKind::DtrRts:
        return Hex(Value, 2) + " (" + FormatFlags(static_cast<std::uint32_t>(Value), ModemFlags()) + ")";
    case FieldKind::Purge:
        return Hex(Value, 2) + " (" + FormatFlags(static_cast<std::uint32_t>(Value), PurgeFlags()) + ")";
    }
    return std::to_string(Value);
}

std::uint64_t ParseFieldValue(const FieldDef &Field, std::string_view Text)
{
    std::uint64_t Max = Field.Size >= 8 ? UINT64_MAX : ((1ull << (8 * Field.Size)) - 1);
    switch (Field.Kind) {
    case FieldKind::Events: return ParseFlags(Text, EventFlags(), "event");
    case FieldKind::Modem:
    case FieldKind::DtrRts: return ParseFlags(Text, ModemFlags(), "modem line");
    case FieldKind::Purge: return ParseFlags(Text, PurgeFlags(), "purge flag");
    case FieldKind::Flag:
        if (EqualsIgnoreCase(Text, "TRUE")) return 1;
        if (EqualsIgnoreCase(Text, "FALSE")) return 0;
        return ParseUnsigned(Text, Max);
    case FieldKind::Signed: {
        std::int64_t V = ParseSigned(Text, INT32_MIN, INT32_MAX);
        return static_cast<std::uint32_t>(static_cast<std::int32_t>(V));
    }
    case FieldKind::Char:
        if (IsQuoted(Text)) {
            std::string S = ParseText(Text);
            if (S.size() != 1) throw SyntaxError("expected one character, got " + std::string(Text));
            return static_cast<std::uint8_t>(S[0]);
        }
        return ParseUnsigned(Text, 0xFF);
    default: return ParseUnsigned(Text, Max);
    }
}

const FieldDef *FindField(const Layout &Fields, std::string_view Name)
{
    for (const auto &F : Fields)
        if (EqualsIgnoreCase(F.Name, Name)) return &F;
    return nullptr;
}

std::string DescribeLayout(const Layout &Fields, const Bytes &Buffer, std::size_t Length)
{
    Bytes Visible(Buffer.begin(), Buffer.begin() + static_cast<std::ptrdiff_t>(std::min(Length, Buffer.size())));
    std::string Out;
    for (const auto &F : Fields) {
        auto V = ReadField(F, Visible);
        if (!V) continue;
        Out += (Out.empty() ? "" : " ") + std::string(F.Name) + "=" + FormatField(F, *V);
    }
    return Out;
}

/* ---- control codes ---- */

namespace {

/* How the simulator reads and shows the records of the codes that have
   one; every other code is issued with no input and shown by status. */
struct RecordForm {
    std::uint32_t Code;
    InputForm Input;
    const Layout *Output;
};
const RecordForm kRecordForms[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, InputForm::BaudRate, nullptr},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, InputForm::QueueSize, nullptr},
    {IOCTL_SERIAL_SET_LINE_CONTROL, InputForm::LineControl, nullptr},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, InputForm::Char, nullptr},
    {IOCTL_SERIAL_SET_TIMEOUTS, InputForm::Timeouts, nullptr},
    {IOCTL_SERIAL_GET_TIMEOUTS, InputForm::None, &kTimeouts},
    {IOCTL_SERIAL_GET_WAIT_MASK, InputForm::None, &kWaitMask},
    {IOCTL_SERIAL_SET_WAIT_MASK, InputForm::Mask, nullptr},
    {IOCTL_SERIAL_WAIT_ON_MASK, InputForm::None, &kEvents},
    {IOCTL_SERIAL_PURGE, InputForm::Purge, nullptr},
    {IOCTL_SERIAL_GET_BAUD_RATE, InputForm::None, &kBaudRate},
    {IOCTL_SERIAL_GET_LINE_CONTROL, InputForm::None, &kLineControl},
    {IOCTL_SERIAL_GET_CHARS, InputForm::None, &kChars},
    {IOCTL_SERIAL_SET_CHARS, InputForm::Chars, nullptr},
    {IOCTL_SERIAL_GET_HANDFLOW, InputForm::None, &kHandFlow},
    {IOCTL_SERIAL_SET_HANDFLOW, InputForm::HandFlow, nullptr},
    {IOCTL_SERIAL_GET_MODEMSTATUS, InputForm::None, &kModemStatus},
    {IOCTL_SERIAL_GET_COMMSTATUS, InputForm::None, &kCommStatus},
    {IOCTL_SERIAL_GET_PROPERTIES, InputForm::None, &kCommProp},
    {IOCTL_SERIAL_GET_DTRRTS, InputForm::None, &kDtrRts},
    {IOCTL_SERIAL_CONFIG_SIZE, InputForm::None, &kConfigSize},
    {IOCTL_SERIAL_GET_STATS, InputForm::None, &kStats},
};

/* The port's own table of codes (the driver's), read as data. */
enum CodeSide { SIM_SIDE_NONE, SIM_SIDE_IN, SIM_SIDE_OUT };
struct CodeRow {
    const char *Name;
    std::uint32_t Code;
    CodeSide Side;
    std::size_t Minimum;
};
#define SERIAL_CODE(Name, Path, Side, Minimum) {#Name, IOCTL_SERIAL_##Name, SIM_SIDE_##Side, (Minimum)},
const CodeRow kCodeRows[] = {
#include "control/SerialCodes.def"
};
#undef SERIAL_CODE

} // namespace

const std::vector<IoctlInfo> &SerialIoctls()
{
    static const std::vector<IoctlInfo> Table = [] {
        std::vector<IoctlInfo> Rows;
        for (const CodeRow &Row : kCodeRows) {
            IoctlInfo Info{Row.Name, Row.Code, InputForm::None, Row.Side == SIM_SIDE_OUT ? Row.Minimum : 0, nullptr};
            for (const RecordForm &Form : kRecordForms) {
                if (Form.Code != Row.Code) continue;
                Info.Input = Form.Input;
                Info.Output = Form.Output;
            }
            Rows.push_back(Info);
        }
        return Rows;
    }();
    return Table;
}

const IoctlInfo *FindIoctl(std::string_view Name)
{
    std::string_view Short = Name;
    if (Short.size() > 13 && EqualsIgnoreCase(Short.substr(0, 13), "IOCTL_SERIAL_")) Short = Short.substr(13);
    for (const auto &I : SerialIoctls())
        if (EqualsIgnoreCase(Short, I.Name)) return &I;
    return nullptr;
}

const IoctlInfo *FindIoctl(std::uint32_t Code)
{
    for (const auto &I : SerialIoctls())
        if (I.Code == Code) return &I;
    return nullptr;
}

std::string IoctlName(std::uint32_t Code)
{
    if (const IoctlInfo *I = FindIoctl(Code)) return std::string("IOCTL_SERIAL_") + I->Name;
    return "IOCTL " + Hex(Code, 8);
}

const Layout &InputLayout(InputForm Form)
{
    switch (Form) {
    case InputForm::BaudRate: return kBaudRate;
    case InputForm::LineControl: return kLineControl;
    case InputForm::Timeouts: return kTimeouts;
    case InputForm::QueueSize: return kQueueSize;
    case InputForm::Mask: return kWaitMask;
    case InputForm::Purge: return kPurge;
    case InputForm::HandFlow: return kHandFlow;
    case InputForm::Chars: return kChars;
    case InputForm::Char: return kChar;
    case InputForm::None: break;
    }
    return kNoFields;
}

/* ---- file information ---- */

const std::vector<InfoClass> &InfoClasses()
{
    static const std::vector<InfoClass> Table = {
        {"FileBasicInformation", FileBasicInformation, 40, nullptr},
        {"FileStandardInformation", FileStandardInformation, 24, &kStandardInfo},
        {"FileInternalInformation", FileInternalInformation, 8, nullptr},
        {"FileEaInformation", FileEaInformation, 4, nullptr},
        {"FileAccessInformation", FileAccessInformation, 4, nullptr},
        {"FileNameInformation", FileNameInformation, 64, nullptr},
        {"FileRenameInformation", FileRenameInformation, 64, nullptr},
        {"FileDispositionInformation", FileDispositionInformation, 1, nullptr},
        {"FilePositionInformation", FilePositionInformation, 8, &kPositionInfo},
        {"FileModeInformation", FileModeInformation, 4, nullptr},
        {"FileAlignmentInformation", FileAlignmentInformation, 4, nullptr},
        {"FileAllInformation", FileAllInformation, 128, nullptr},
        {"FileAllocationInformation", FileAllocationInformation, 8, nullptr},
        {"FileEndOfFileInformation", FileEndOfFileInformation, 8, nullptr},
    };
    return Table;
}

std::uint32_t ParseInfoClass(std::string_view Text)
{
    for (const auto &C : InfoClasses()) {
        std::string_view Full = C.Name;
        std::string_view Short = Full.substr(4, Full.size() - 4 - 11); /* File...Information */
        if (EqualsIgnoreCase(Text, Full) || EqualsIgnoreCase(Text, Short)) return C.Value;
    }
    if (IsNumberWord(Text)) return static_cast<std::uint32_t>(ParseUnsigned(Text));
    throw SyntaxError("unknown information class " + Quote(Text) +
                      " (use a name such as FileStandardInformation or Standard, or a number)");
}

const InfoClass *FindInfoClass(std::uint32_t Value)
{
    for (const auto &C : InfoClasses())
        if (C.Value == Value) return &C;
    return nullptr;
}

/* ---- registry values ---- */

world::RegistryValue ParseRegistryValue(std::string_view Text)
{
    if (Text.empty()) throw SyntaxError("expected a registry value, got nothing");
    if (IsQuoted(Text)) return world::RegistryValue::String(ToUtf16(ParseText(Text)));
    std::size_t Colon = Text.find(':');
    if (Colon == std::string_view::npos || Text.front() == '"') {
        if (IsNumberWord(Text)) return world::RegistryValue::Dword(static_cast<ULONG>(ParseUnsigned(Text)));
        throw SyntaxError("expected a registry value (\"text\", a number, or TYPE:VALUE), got " + Quote(Text));
    }
    std::string_view Type = Text.substr(0, Colon), Value = Text.substr(Colon + 1);
    world::RegistryValue R;
    auto NumberBytes = [](std::uint64_t V, int Size) {
        Bytes B;
        for (int I = 0; I < Size; ++I) B.push_back(static_cast<std::uint8_t>(V >> (8 * I)));
        return B;
    };
    if (EqualsIgnoreCase(Type, "sz") || EqualsIgnoreCase(Type, "expand_sz")) {
        R.Type = EqualsIgnoreCase(Type, "sz") ? REG_SZ : REG_EXPAND_SZ;
        R.Data = Utf16Bytes(ParseText(Value), true);
    } else if (EqualsIgnoreCase(Type, "multi_sz")) {
        R.Type = REG_MULTI_SZ;
        std::size_t Start = 0;
        while (Start < Value.size()) {
            /* strings separated by | outside quotes */
            std::size_t End = Start;
            bool InQuote = false;
            for (; End < Value.size(); ++End) {
                if (Value[End] == '\\' && InQuote) {
                    ++End;
                    continue;
                }
                if (Value[End] == '"')
                    InQuote = !InQuote;
                else if (Value[End] == '|' && !InQuote)
                    break;
            }
            Bytes Part = Utf16Bytes(ParseText(Value.substr(Start, End - Start)), true);
            R.Data.insert(R.Data.end(), Part.begin(), Part.end());
            Start = End + 1;
        }
        R.Data.push_back(0);
        R.Data.push_back(0);
    } else if (EqualsIgnoreCase(Type, "dword")) {
        R.Type = REG_DWORD;
        R.Data = NumberBytes(ParseUnsigned(Value), 4);
    } else if (EqualsIgnoreCase(Type, "qword")) {
        R.Type = 11; /* REG_QWORD */
        R.Data = NumberBytes(ParseUnsigned(Value, UINT64_MAX), 8);
    } else if (EqualsIgnoreCase(Type, "binary")) {
        R.Type = REG_BINARY;
        R.Data = Value.empty() ? Bytes{} : ParseData(Value);
    } else if (EqualsIgnoreCase(Type, "none")) {
        R.Type = REG_NONE;
        R.Data = Value.empty() ? Bytes{} : ParseData(Value);
    } else if (IsNumberWord(Type)) {
        R.Type = static_cast<ULONG>(ParseUnsigned(Type));
        R.Data = Value.empty() ? Bytes{} : ParseData(Value);
    } else {
        throw SyntaxError("unknown registry type " + Quote(Type) +
                          " (use sz, expand_sz, multi_sz, dword, qword, binary, none or a number)");
    }
    return R;
}

std::string DescribeRegistryValue(const world::RegistryValue &Value)
{
    auto Utf16Text = [](const Bytes &Data) {
        std::string Out;
        for (std::size_t I = 0; I + 1 < Data.size(); I += 2) {
            unsigned C = Data[I] | (Data[I + 1] << 8);
            if (C == 0)
                Out += "\\0";
            else if (C >= 0x20 && C < 0x7F && C != '"' && C != '\\')
                Out += static_cast<char>(C);
            else {
                char B[16];
                std::snprintf(B, sizeof B, "\\u%04x", C);
                Out += B;
            }
        }
        return Out;
    };
    std::string Out;
    switch (Value.Type) {
    case REG_SZ: Out = "REG_SZ \"" + Utf16Text(Value.Data) + "\""; break;
    case REG_EXPAND_SZ: Out = "REG_EXPAND_SZ \"" + Utf16Text(Value.Data) + "\""; break;
    case REG_MULTI_SZ: Out = "REG_MULTI_SZ \"" + Utf16Text(Value.Data) + "\""; break;
    case REG_DWORD:
        if (Value.Data.size() == 4) {
            std::uint32_t V = Value.Data[0] | Value.Data[1] << 8 | Value.Data[2] << 16 |
                              static_cast<std::uint32_t>(Value.Data[3]) << 24;
            Out = "REG_DWORD " + std::to_string(V);
            break;
        }
        [[fallthrough]];
    default: {
        Out = "type " + std::to_string(Value.Type) + " <";
        for (std::size_t I = 0; I < Value.Data.size(); ++I) {
            char B[4];
            std::snprintf(B, sizeof B, "%02x", Value.Data[I]);
            Out += (I ? " " : "") + std::string(B);
        }
        Out += ">";
    }
    }
    return Out + " (" + std::to_string(Value.Data.size()) + " bytes)";
}

/* ---- text helpers ---- */

std::u16string ToUtf16(std::string_view Text)
{
    std::u16string Out;
    for (std::size_t I = 0; I < Text.size();) {
        unsigned char C = static_cast<unsigned char>(Text[I]);
        std::uint32_t Cp = C;
        int Extra = 0;
        if (C >= 0xF0) {
            Cp = C & 0x07;
            Extra = 3;
        } else if (C >= 0xE0) {
            Cp = C & 0x0F;
            Extra = 2;
        } else if (C >= 0xC0) {
            Cp = C & 0x1F;
            Extra = 1;
        }
        ++I;
        for (int K = 0; K < Extra && I < Text.size(); ++K, ++I)
            Cp = (Cp << 6) | (static_cast<unsigned char>(Text[I]) & 0x3F);
        if (Cp >= 0x10000) {
            Cp -= 0x10000;
            Out += static_cast<char16_t>(0xD800 + (Cp >> 10));
            Out += static_cast<char16_t>(0xDC00 + (Cp & 0x3FF));
        } else {
            Out += static_cast<char16_t>(Cp);
        }
    }
    return Out;
}

std::string FromUtf16(const std::u16string &Text)
{
    std::string Out;
    for (std::size_t I = 0; I < Text.size(); ++I) {
        std::uint32_t Cp = Text[I];
        if (Cp >= 0xD800 && Cp < 0xDC00 && I + 1 < Text.size()) {
            Cp = 0x10000 + ((Cp - 0xD800) << 10) + (Text[I + 1] - 0xDC00);
            ++I;
        }
        if (Cp < 0x80)
            Out += static_cast<char>(Cp);
        else if (Cp < 0x800) {
            Out += static_cast<char>(0xC0 | (Cp >> 6));
            Out += static_cast<char>(0x80 | (Cp & 0x3F));
        } else if (Cp < 0x10000) {
            Out += static_cast<char>(0xE0 | (Cp >> 12));
            Out += static_cast<char>(0x80 | ((Cp >> 6) & 0x3F));
            Out += static_cast<char>(0x80 | (Cp & 0x3F));
        } else {
            Out += static_cast<char>(0xF0 | (Cp >> 18));
            Out += static_cast<char>(0x80 | ((Cp >> 12) & 0x3F));
            Out += static_cast<char>(0x80 | ((Cp >> 6) & 0x3F));
            Out += static_cast<char>(0x80 | (Cp & 0x3F));
        }
    }
    return Out;
}

Bytes Utf16Bytes(std::string_view Text, bool Terminator)
{
    Bytes Out;
    for (char16_t C : ToUtf16(Text)) {
        Out.push_back(static_cast<std::uint8_t>(C & 0xFF));
        Out.push_back(static_cast<std::uint8_t>(C >> 8));
    }
    if (Terminator) {
        Out.push_back(0);
        Out.push_back(0);
    }
    return Out;
}

bool EqualsIgnoreCase(std::string_view A, std::string_view B)
{
    if (A.size() != B.size()) return false;
    for (std::size_t I = 0; I < A.size(); ++I)
        if (Lower(A[I]) != Lower(B[I])) return false;
    return true;
}

} // namespace sim
