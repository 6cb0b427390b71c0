/*
 * Transcript.cpp - formatting of transcript lines, data, setup packets and
 * notifications.
 */
#include "Transcript.h"

#include <cstdio>

namespace sim {

std::string FormatTime(VirtualTime Time)
{
    char Buffer[48];
    std::snprintf(Buffer, sizeof Buffer, "[%7lld.%04lld]", static_cast<long long>(Time / 10'000),
                  static_cast<long long>(Time % 10'000));
    return Buffer;
}

std::string FormatLine(VirtualTime Time, const std::string &Source, const std::string &Text)
{
    std::string Padded = Source;
    if (Padded.size() < 4) Padded.resize(4, ' ');
    return FormatTime(Time) + " " + Padded + " " + Text;
}

std::string QuoteBytes(const Bytes &Data)
{
    std::string Out = "\"";
    for (std::uint8_t B : Data) {
        switch (B) {
        case '\n': Out += "\\n"; break;
        case '\r': Out += "\\r"; break;
        case '\t': Out += "\\t"; break;
        case '\\': Out += "\\\\"; break;
        case '"': Out += "\\\""; break;
        default:
            if (B >= 0x20 && B < 0x7F)
                Out += static_cast<char>(B);
            else {
                char Hex[8];
                std::snprintf(Hex, sizeof Hex, "\\x%02x", B);
                Out += Hex;
            }
        }
    }
    return Out + "\"";
}

std::string HexBytes(const Bytes &Data)
{
    std::string Out = "<";
    for (std::size_t I = 0; I < Data.size(); ++I) {
        char Hex[4];
        std::snprintf(Hex, sizeof Hex, "%02x", Data[I]);
        if (I) Out += ' ';
        Out += Hex;
    }
    return Out + ">";
}

std::string Hex32(std::uint32_t Value)
{
    char Buffer[16];
    std::snprintf(Buffer, sizeof Buffer, "0x%08x", Value);
    return Buffer;
}

std::string FormatBytes(const Bytes &Data, std::size_t Limit)
{
    std::string Count = std::to_string(Data.size()) + (Data.size() == 1 ? " byte" : " bytes");
    if (Data.empty()) return Count;
    if (Data.size() <= Limit) return Count + " " + QuoteBytes(Data) + " " + HexBytes(Data);
    Bytes Head(Data.begin(), Data.begin() + 32);
    std::string Q = QuoteBytes(Head), H = HexBytes(Head);
    Q.insert(Q.size() - 1, "...");
    H.insert(H.size() - 1, " ...");
    return Count + " " + Q + " " + H;
}

Bytes SetupBytes(const world::SetupPacket &S)
{
    return {S.bmRequestType,
            S.bRequest,
            static_cast<std::uint8_t>(S.wValue & 0xFF),
            static_cast<std::uint8_t>(S.wValue >> 8),
            static_cast<std::uint8_t>(S.wIndex & 0xFF),
            static_cast<std::uint8_t>(S.wIndex >> 8),
            static_cast<std::uint8_t>(S.wLength & 0xFF),
            static_cast<std::uint8_t>(S.wLength >> 8)};
}

namespace {

std::string Hex16(unsigned Value)
{
    char Buffer[16];
    std::snprintf(Buffer, sizeof Buffer, "0x%04x", Value);
    return Buffer;
}

std::string DescribeStandard(const world::SetupPacket &S)
{
    static const char *Names[] = {
        "GET_STATUS",    "CLEAR_FEATURE",  nullptr,          "SET_FEATURE",       nullptr,
        "SET_ADDRESS",   "GET_DESCRIPTOR", "SET_DESCRIPTOR", "GET_CONFIGURATION", "SET_CONFIGURATION",
        "GET_INTERFACE", "SET_INTERFACE",  "SYNCH_FRAME"};
    const char *Name = S.bRequest < sizeof Names / sizeof Names[0] ? Names[S.bRequest] : nullptr;
    if (!Name) return {};
    std::string Out = Name;
    switch (S.bRequest) {
    case 0x06: {
        static const char *Types[] = {nullptr, "device", "configuration", "string", "interface", "endpoint"};
        unsigned Type = S.wValue >> 8;
        if (Type < 6 && Types[Type])
            Out += std::string(" ") + Types[Type];
        else
            Out += " type " + std::to_string(Type);
        if (S.wValue & 0xFF) Out += " index " + std::to_string(S.wValue & 0xFF);
        Out += " length " + std::to_string(S.wLength);
        break;
    }
    case 0x09: Out += " " + std::to_string(S.wValue); break;
    case 0x0B: Out += " interface " + std::to_string(S.wIndex) + " setting " + std::to_string(S.wValue); break;
    case 0x01:
    case 0x03:
        Out += S.wValue == 0 ? " ENDPOINT_HALT" : " feature " + std::to_string(S.wValue);
        if ((S.bmRequestType & 0x1F) == 2) Out += " endpoint " + Hex16(S.wIndex);
        break;
    default: break;
    }
    return Out;
}

std::string DescribeClass(const world::SetupPacket &S, const Bytes &Data)
{
    switch (S.bRequest) {
    case cdc::SetLineCoding:
    case cdc::GetLineCoding: {
        std::string Out = S.bRequest == cdc::SetLineCoding ? "SET_LINE_CODING" : "GET_LINE_CODING";
        if (Data.size() >= 7) {
            std::uint32_t Rate = Data[0] | Data[1] << 8 | Data[2] << 16 | static_cast<std::uint32_t>(Data[3]) << 24;
            Out += " " + std::to_string(Rate) + " " + FormatLineControl(Data[4], Data[5], Data[6]);
        }
        return Out;
    }
    case cdc::SetControlLineState: return "SET_CONTROL_LINE_STATE " + FormatFlags(S.wValue, ControlLineFlags());
    case cdc::SendBreak:
        if (S.wValue == 0xFFFF) return "SEND_BREAK on (until cleared)";
        if (S.wValue == 0) return "SEND_BREAK off";
        return "SEND_BREAK " + std::to_string(S.wValue) + "ms";
    case cdc::SendEncapsulatedCommand: return "SEND_ENCAPSULATED_COMMAND";
    case cdc::GetEncapsulatedResponse: return "GET_ENCAPSULATED_RESPONSE";
    default: return {};
    }
}

} // namespace

std::string DescribeSetup(const world::SetupPacket &S, const Bytes &Data)
{
    std::string Name;
    unsigned Type = (S.bmRequestType >> 5) & 3;
    if (Type == 0)
        Name = DescribeStandard(S);
    else if (Type == 1)
        Name = DescribeClass(S, Data);
    if (Name.empty()) {
        static const char *Types[] = {"standard", "class", "vendor", "reserved"};
        char Buffer[96];
        std::snprintf(Buffer, sizeof Buffer, "%s request 0x%02x value 0x%04x index 0x%04x", Types[Type], S.bRequest,
                      S.wValue, S.wIndex);
        Name = Buffer;
    }
    return Name;
}

std::string DescribeNotification(const Bytes &T)
{
    if (T.size() < 8) return "partial notification";
    std::uint8_t Code = T[1];
    unsigned Value = T[2] | T[3] << 8;
    unsigned Length = T[6] | T[7] << 8;
    switch (Code) {
    case cdc::SerialState: {
        if (T.size() < 9) return "SERIAL_STATE (no data)";
        unsigned Bitmap = T[8] | (T.size() >= 10 ? T[9] << 8 : 0);
        return "SERIAL_STATE " + FormatFlags(Bitmap & 0x7F, SerialStateFlags()) +
               (Bitmap & ~0x7Fu ? " " + Hex16(Bitmap) : "");
    }
    case cdc::NetworkConnection: return Value ? "NETWORK_CONNECTION connected" : "NETWORK_CONNECTION disconnected";
    case cdc::ResponseAvailable: return "RESPONSE_AVAILABLE";
    case cdc::ConnectionSpeedChange: return "CONNECTION_SPEED_CHANGE";
    default: {
        char Buffer[64];
        std::snprintf(Buffer, sizeof Buffer, "notification 0x%02x value 0x%04x length %u", Code, Value, Length);
        return Buffer;
    }
    }
}

} // namespace sim
