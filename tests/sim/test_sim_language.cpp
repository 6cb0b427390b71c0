/*
 * test_sim_language.cpp - the scenario language: literals, tokens,
 * statements and the line-numbered diagnostics of malformed scenarios.
 */
#include <gtest/gtest.h>

#include <fstream>

#include <ntddk.h>
#include <ntddser.h>

#include "Script.h"
#include "Session.h"
#include "Values.h"
#include "World.h"

using namespace sim;

namespace {

std::vector<Diagnostic> CompileErrors(const std::string &Text)
{
    Program P;
    std::vector<Diagnostic> Errors;
    Compile(Text, "t.scn", P, Errors);
    return Errors;
}

std::string OnlyError(const std::string &Line)
{
    auto Errors = CompileErrors(Line);
    EXPECT_EQ(Errors.size(), 1u) << Line;
    return Errors.empty() ? std::string() : Errors[0].Message;
}

} // namespace

/* ---------------- byte strings ---------------- */

TEST(SimData, Escapes_DecodeToTheirBytes)
{
    EXPECT_EQ(ParseData(R"("a\r\n\t\0\\\"\x7f")"), (Bytes{'a', '\r', '\n', '\t', 0, '\\', '"', 0x7f}));
}

TEST(SimData, HexGroups_AcceptBlanksAndCommas)
{
    EXPECT_EQ(ParseData("<00 ff,1A>"), (Bytes{0x00, 0xff, 0x1a}));
    EXPECT_EQ(ParseData("<00ff>"), (Bytes{0x00, 0xff}));
    EXPECT_EQ(ParseData("<>"), Bytes{});
    EXPECT_EQ(ParseData("\"\""), Bytes{});
}

TEST(SimData, PiecesConcatenateAndRepeat)
{
    EXPECT_EQ(ParseData("\"AB\"*2+<0d>"), (Bytes{'A', 'B', 'A', 'B', 0x0d}));
    EXPECT_EQ(ParseData("<00>*3"), (Bytes{0, 0, 0}));
    /* a '+' or '*' inside a string belongs to the string */
    EXPECT_EQ(ParseData("\"a+b*2\""), (Bytes{'a', '+', 'b', '*', '2'}));
}

TEST(SimData, Seq_CountsAndWrapsAfterFF)
{
    Bytes S = ParseData("seq:300");
    ASSERT_EQ(S.size(), 300u);
    EXPECT_EQ(S[0], 0);
    EXPECT_EQ(S[255], 255);
    EXPECT_EQ(S[256], 0);
    EXPECT_EQ(S[299], 43);
}

TEST(SimData, SeqWithOffset_ContinuesTheCount)
{
    /* Guards seq:OFFSET:N being refused, so the middle of a long stream could not be written. */
    EXPECT_EQ(ParseData("seq:0:64+seq:64:236"), ParseData("seq:300"));
    EXPECT_EQ(ParseData("seq:254:3"), (Bytes{0xFE, 0xFF, 0x00}));
    EXPECT_EQ(ParseData("seq:0x100:1"), (Bytes{0x00}));
    EXPECT_EQ(ParseData("seq:5:0"), Bytes{});
    EXPECT_THROW(ParseData("seq:5:"), SyntaxError);
    EXPECT_THROW(ParseData("seq::5"), SyntaxError);
    EXPECT_THROW(ParseData("seq:1:2:3"), SyntaxError);
}

TEST(SimData, MalformedBytes_AreRefusedWithTheReason)
{
    struct Case {
        const char *Text;
        const char *Reason;
    } Cases[] = {
        {"<0>", "odd number of hex digits"}, {"<0g>", "not a hex digit"}, {"\"\\q\"", "unknown escape"},
        {"\"\\x4\"", "two hex digits"},      {"\"abc", "unterminated"},   {"<00", "missing '>'"},
        {"hello", "expected bytes"},         {"\"a\"+", "empty piece"},
    };
    for (const auto &C : Cases) {
        try {
            ParseData(C.Text);
            ADD_FAILURE() << C.Text << " was accepted";
        } catch (const SyntaxError &E) {
            EXPECT_NE(std::string(E.what()).find(C.Reason), std::string::npos) << C.Text << ": " << E.what();
        }
    }
}

/* ---------------- numbers and durations ---------------- */

TEST(SimNumbers, Forms_ParseToTheirValues)
{
    EXPECT_EQ(ParseUnsigned("115200"), 115200u);
    EXPECT_EQ(ParseUnsigned("0x1B0004"), 0x1B0004u);
    EXPECT_EQ(ParseUnsigned("MAXULONG"), 0xFFFFFFFFu);
    EXPECT_EQ(ParseSigned("-1"), -1);
}

TEST(SimNumbers, MaxNames_AcceptedWhereverANumberIs)
{
    /* Guards MAXULONG being refused where a name or a number may stand. */
    EXPECT_EQ(ParseFlags("MAXULONG", EventFlags(), "event"), 0xFFFFFFFFu);
    EXPECT_EQ(ParseFlags("RXCHAR|MAXUSHORT", EventFlags(), "event"), 0xFFFFu);
    EXPECT_EQ(ParseStatus("MAXULONG"), static_cast<NTSTATUS>(0xFFFFFFFFu));
    EXPECT_EQ(ParseUsbdStatus("maxulong"), static_cast<USBD_STATUS>(0xFFFFFFFFu));
    EXPECT_EQ(ParseInfoClass("MAXUCHAR"), 0xFFu);
    EXPECT_EQ(ParseRegistryValue("MAXULONG").Data, (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(ParseRegistryValue("MAXUCHAR:<01>").Type, 0xFFu);
    EXPECT_TRUE(
        CompileErrors("ioctl MAXULONG\nread MAXUSHORT\nwrite <00>*MAXUCHAR\nioctl SET_TIMEOUTS ri=MAXULONG\n").empty());
}

TEST(SimNumbers, OutOfRange_IsRefused)
{
    /* a value wider than its field must not wrap silently */
    EXPECT_THROW(ParseUnsigned("0x100000000"), SyntaxError);
    EXPECT_THROW(ParseUnsigned("256", 255), SyntaxError);
    EXPECT_THROW(ParseUnsigned("99999999999999999999999", UINT64_MAX), SyntaxError);
    EXPECT_THROW(ParseUnsigned("12ab"), SyntaxError);
    EXPECT_THROW(ParseUnsigned(""), SyntaxError);
}

TEST(SimDurations, Units_ConvertTo100nsUnits)
{
    struct {
        const char *Text;
        VirtualTime Units;
    } Cases[] = {{"1s", 10'000'000}, {"200ms", 2'000'000}, {"15.625ms", 156'250},
                 {"250us", 2'500},   {"300ns", 3},         {"1.5s", 15'000'000},
                 {"0ms", 0}};
    for (const auto &C : Cases) EXPECT_EQ(ParseDuration(C.Text), C.Units) << C.Text;
}

TEST(SimDurations, BelowResolutionOrUnitless_IsRefused)
{
    EXPECT_THROW(ParseDuration("150ns"), SyntaxError);
    EXPECT_THROW(ParseDuration("0.00001ms"), SyntaxError);
    EXPECT_THROW(ParseDuration("100"), SyntaxError);
    EXPECT_THROW(ParseDuration("10 min"), SyntaxError);
    EXPECT_THROW(ParseDuration("ms"), SyntaxError);
}

TEST(SimDurations, Format_RoundTrips)
{
    for (VirtualTime T : {VirtualTime{0}, VirtualTime{3}, VirtualTime{2'500}, VirtualTime{156'250},
                          VirtualTime{2'000'000}, VirtualTime{10'000'000}, VirtualTime{12'345'678}})
        EXPECT_EQ(ParseDuration(FormatDuration(T)), T) << FormatDuration(T);
    EXPECT_EQ(FormatDuration(156'250), "15.625ms");
}

/* ---------------- statuses, flags, settings ---------------- */

TEST(SimNames, Statuses_ByNameAliasOrNumber)
{
    EXPECT_EQ(ParseStatus("STATUS_TIMEOUT"), STATUS_TIMEOUT);
    EXPECT_EQ(ParseStatus("status_cancelled"), STATUS_CANCELLED);
    EXPECT_EQ(ParseStatus("timeout"), STATUS_TIMEOUT);
    EXPECT_EQ(ParseStatus("0xC000000D"), STATUS_INVALID_PARAMETER);
    EXPECT_THROW(ParseStatus("STATUS_NO_SUCH_THING"), SyntaxError);
    EXPECT_EQ(ParseUsbdStatus("stall"), USBD_STATUS_STALL_PID);
    EXPECT_EQ(UsbdStatusName(USBD_STATUS_DEVICE_GONE), "USBD_STATUS_DEVICE_GONE");
}

TEST(SimNames, Flags_CombineNamesAndNumbers)
{
    EXPECT_EQ(ParseFlags("RXCHAR|TXEMPTY", EventFlags(), "event"), SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
    EXPECT_EQ(ParseFlags("rxchar|0x100", EventFlags(), "event"), SERIAL_EV_RXCHAR | SERIAL_EV_RING);
    EXPECT_EQ(ParseFlags("0", EventFlags(), "event"), 0u);
    EXPECT_EQ(ParseFlags("DCD|DSR", SerialStateFlags(), "bit"), 0x03u);
    try {
        ParseFlags("RXCHAR|NOPE", EventFlags(), "event");
        ADD_FAILURE();
    } catch (const SyntaxError &E) {
        /* the message lists the names that exist */
        EXPECT_NE(std::string(E.what()).find("TXEMPTY"), std::string::npos) << E.what();
    }
    EXPECT_THROW(ParseFlags("RXCHAR||CTS", EventFlags(), "event"), SyntaxError);
}

TEST(SimNames, FormatFlags_NamesKnownBitsAndShowsTheRest)
{
    EXPECT_EQ(FormatFlags(0xB3, ModemFlags()), "DTR|RTS|CTS|DSR|DCD");
    EXPECT_EQ(FormatFlags(0, ModemFlags()), "0");
    EXPECT_EQ(FormatFlags(0x10001, EventFlags()), "RXCHAR|0x10000");
    /* an alias must not name a bit twice */
    EXPECT_EQ(FormatFlags(0x03, SerialStateFlags()), "rxcarrier|txcarrier");
}

TEST(SimNames, LineControl_ShortFormsMapToSerialEncodings)
{
    struct {
        const char *Text;
        std::uint8_t Stop, Parity, Bits;
    } Cases[] = {{"8N1", 0, 0, 8}, {"7E2", 2, 2, 7}, {"5O1.5", 1, 1, 5}, {"8M1", 0, 3, 8}, {"6S2", 2, 4, 6}};
    for (const auto &C : Cases) {
        LineControl L = ParseLineControl(C.Text);
        EXPECT_EQ(L.StopBits, C.Stop) << C.Text;
        EXPECT_EQ(L.Parity, C.Parity) << C.Text;
        EXPECT_EQ(L.WordLength, C.Bits) << C.Text;
        EXPECT_EQ(FormatLineControl(C.Stop, C.Parity, C.Bits), C.Text);
    }
    for (const char *Bad : {"9N1", "8X1", "8N3", "8N", ""}) EXPECT_THROW(ParseLineControl(Bad), SyntaxError) << Bad;
    EXPECT_EQ(FormatLineControl(7, 9, 12), "stop=7 parity=9 bits=12");
}

TEST(SimNames, Ioctls_ByShortOrFullNameAndCode)
{
    ASSERT_NE(FindIoctl("SET_BAUD_RATE"), nullptr);
    EXPECT_EQ(FindIoctl("IOCTL_SERIAL_SET_BAUD_RATE"), FindIoctl("set_baud_rate"));
    EXPECT_EQ(FindIoctl(std::uint32_t{IOCTL_SERIAL_GET_PROPERTIES})->OutputLength, 64u);
    EXPECT_EQ(FindIoctl("NOT_A_CODE"), nullptr);
    EXPECT_EQ(SerialIoctls().size(), 39u);
    EXPECT_EQ(IoctlName(0x2B0004), "IOCTL 0x002b0004");
}

TEST(SimNames, InfoClasses_ByFullOrShortName)
{
    EXPECT_EQ(ParseInfoClass("FileStandardInformation"), 5u);
    EXPECT_EQ(ParseInfoClass("Position"), 14u);
    EXPECT_EQ(ParseInfoClass("EndOfFile"), 20u);
    EXPECT_EQ(ParseInfoClass("99"), 99u);
    EXPECT_THROW(ParseInfoClass("Bogus"), SyntaxError);
}

TEST(SimNames, RegistryValues_OfEveryType)
{
    world::RegistryValue S = ParseRegistryValue("\"COM5\"");
    EXPECT_EQ(S.Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(S.Data, (Bytes{'C', 0, 'O', 0, 'M', 0, '5', 0, 0, 0}));
    world::RegistryValue D = ParseRegistryValue("1");
    EXPECT_EQ(D.Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(D.Data, (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(ParseRegistryValue("sz:\"1\"").Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(ParseRegistryValue("binary:<01 02>").Data, (Bytes{1, 2}));
    world::RegistryValue M = ParseRegistryValue("multi_sz:\"a\"|\"b\"");
    EXPECT_EQ(M.Type, static_cast<ULONG>(REG_MULTI_SZ));
    EXPECT_EQ(M.Data, (Bytes{'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
    EXPECT_EQ(ParseRegistryValue("qword:5").Data.size(), 8u);
    EXPECT_EQ(ParseRegistryValue("9:<aa>").Type, 9u);
    EXPECT_THROW(ParseRegistryValue("float:1"), SyntaxError);
    EXPECT_THROW(ParseRegistryValue("COM5"), SyntaxError);
}

TEST(SimNames, Fields_ReadAndFormatLittleEndian)
{
    const IoctlInfo *Props = FindIoctl("GET_PROPERTIES");
    Bytes Out(64, 0);
    Out[48] = 0x00;
    Out[49] = 0x20; /* CurrentRxQueue = 8192 */
    const FieldDef *F = FindField(*Props->Output, "currentrxqueue");
    ASSERT_NE(F, nullptr);
    EXPECT_EQ(ReadField(*F, Out), 8192u);
    /* a field past the returned bytes is absent, not read from beyond them */
    EXPECT_FALSE(ReadField(*F, Bytes(40, 0)).has_value());
    const FieldDef *Xon = FindField(*FindIoctl("GET_HANDFLOW")->Output, "XonLimit");
    EXPECT_EQ(FormatField(*Xon, 0xFFFFFFFFu), "-1");
    EXPECT_EQ(ParseFieldValue(*Xon, "-1"), 0xFFFFFFFFu);
}

/* ---------------- tokens and statements ---------------- */

TEST(SimTokens, StringsAndHexGroupsKeepTheirBlanks)
{
    auto T = Tokenize(R"(w1: write "a b"+<0d 0a> on=x   # a comment "with quotes")");
    ASSERT_EQ(T.size(), 4u);
    EXPECT_EQ(T[0], "w1:");
    EXPECT_EQ(T[2], "\"a b\"+<0d 0a>");
    EXPECT_EQ(T[3], "on=x");
}

TEST(SimTokens, EscapedQuoteOutsideAString_IsPartOfTheWord)
{
    /* Guards a double quote in note text opening a string that never ends. */
    auto T = Tokenize(R"(note a 5\" disk "is \"it\"")");
    ASSERT_EQ(T.size(), 5u);
    EXPECT_EQ(T[2], R"(5\")");
    EXPECT_EQ(T[4], R"("is \"it\"")");
    EXPECT_TRUE(CompileErrors(R"(note a 5\" disk)").empty());
    EXPECT_FALSE(CompileErrors(R"(note a 5" disk)").empty());
}

TEST(SimTokens, HashInsideAStringIsNotAComment)
{
    auto T = Tokenize(R"(write "#1" # real comment)");
    ASSERT_EQ(T.size(), 2u);
    EXPECT_EQ(T[1], "\"#1\"");
}

TEST(SimStatements, TagVerbWordsAndOptions)
{
    Statement S;
    ASSERT_TRUE(ParseStatement(R"(g: ioctl SET_TIMEOUTS ri=MAXULONG rc=100 text="a=b")", "f", 7, S));
    EXPECT_EQ(S.Tag, "g");
    EXPECT_EQ(S.Verb, "ioctl");
    EXPECT_EQ(S.Line, 7);
    ASSERT_EQ(S.Words.size(), 1u);
    ASSERT_EQ(S.Options.size(), 3u);
    EXPECT_EQ(S.Options[2].first, "text");
    EXPECT_EQ(S.Options[2].second, "\"a=b\"");
    EXPECT_FALSE(ParseStatement("   # only a comment", "f", 1, S));
    EXPECT_FALSE(ParseStatement("", "f", 1, S));
}

TEST(SimStatements, StandaloneEqualsAndPathsAreWords)
{
    Statement S;
    ASSERT_TRUE(ParseStatement(R"(expect serialcomm \Device\Serial0 = "COM3")", "f", 1, S));
    EXPECT_EQ(S.Words, (std::vector<std::string>{"serialcomm", "\\Device\\Serial0", "=", "\"COM3\""}));
    EXPECT_TRUE(S.Options.empty());
}

/* ---------------- compiling whole scenarios ---------------- */

TEST(SimCompile, ValidScenario_CompilesEveryLine)
{
    Program P;
    std::vector<Diagnostic> Errors;
    ASSERT_TRUE(Compile(R"(# header
dev: add loopback PortName="COM3" bulk-in=64 interrupt=none reg.Extra=dword:3
port: open COM3
t: ioctl SET_TIMEOUTS ri=50 rm=0 rc=0 wm=0 wc=0
h: ioctl SET_HANDFLOW ControlHandShake=0x01 FlowReplace=0x40 XonLimit=-1 XoffLimit=0
c: ioctl SET_CHARS EventChar="x" XonChar=0x11
q: ioctl 0x2B0004 in=<01 02> out=8
r: read 10
w: write "x"*100+seq:3
bulk-in zlp after=5ms
serial-state rxcarrier|txcarrier|break
answer bulk-out partial 10 delay=1ms
answer control default fail USBD_STATUS_CRC
advance 15.625ms
expect r timeout info=3 text="abc" after=62.5ms
expect setup SET_LINE_CODING 115200 8N1 index=0 status=stall
expect bulk-out none
expect serialcomm \Device\Serial0 = "COM3"
expect pool 0 tag=IOCL
)",
                        "ok.scn", P, Errors))
        << (Errors.empty() ? "" : Errors[0].Text());
    EXPECT_EQ(P.Actions.size(), 18u);
    EXPECT_EQ(P.Lines[1].Line, 3);
}

TEST(SimCompile, MalformedLines_EachReportedWithItsLineNumber)
{
    auto Errors = CompileErrors("dev: add\n"
                                "read ten\n"
                                "\n"
                                "write \"unterminated\n"
                                "ioctl SET_BAUD_RATE 115200\n"
                                "frobnicate 3\n");
    ASSERT_EQ(Errors.size(), 3u);
    EXPECT_EQ(Errors[0].Line, 2);
    EXPECT_EQ(Errors[1].Line, 4);
    EXPECT_EQ(Errors[2].Line, 6);
    EXPECT_EQ(Errors[0].Text().substr(0, 8), "t.scn:2:");
    EXPECT_NE(Errors[2].Message.find("unknown command 'frobnicate'"), std::string::npos);
}

TEST(SimCompile, ArgumentMistakes_NameTheOffendingPart)
{
    struct {
        const char *Line;
        const char *Reason;
    } Cases[] = {
        {"read", "read needs a length"},
        {"read 10 20", "does not take '20'"},
        {"read 10 color=red", "no option 'color'"},
        {"ioctl SET_TIMEOUTS rx=5", "has no field 'rx'"},
        {"ioctl GET_BAUD_RATE BaudRate=5", "takes no input"},
        {"ioctl SET_BAUD_RATES 9600", "unknown control code"},
        {"ioctl SET_LINE_CONTROL 9Q1", "line setting"},
        {"ioctl SET_WAIT_MASK RXCHARS", "unknown event name"},
        {"advance 10", "duration"},
        {"answer control maybe", "unknown answer"},
        {"answer usb accept", "control or bulk-out"},
        {"add interfaces=3", "larger than 2"},
        {"add bulk-in=0", "packet size"},
        {"add PortName=COM5", "registry value"},
        {"expect r1 info=x", "expected a number"},
        {"expect r1 STATUS_BOGUS", "unknown status"},
        {"expect setup SET_LINE_CODING 115200 8Z1", "parity"},
        {"expect setup <21 22>", "8 bytes"},
        {"expect serialcomm \\Device\\Serial0 COM3", "= VALUE"},
        {"expect name \\Device\\Serial0 maybe", "exists or none"},
        {"expect r1 data=<00> text=\"a\"", "data= or text="},
        {"r1:", "not followed by a command"},
        {"modem: read 1", "cannot name"},
        {"read 10 on=", "has no value"},
        {"bulk-in", "bulk-in needs"},
        {"serial-state carrier", "unknown serial state bit name"},
        {"tick 0ms", "longer than 0"},
        {"fail WdfIoQueueCreate nth=0", "counts from 1"},
        /* Guards a fault on a call that has no hook being accepted and never firing. */
        {"fail NoSuchCall", "'NoSuchCall' is not a kit call that can be failed"},
        {"fail WdfIoQueueCreatee", "not a kit call that can be failed"},
        {"show everything", "show takes"},
    };
    for (const auto &C : Cases) {
        std::string Message = OnlyError(C.Line);
        EXPECT_NE(Message.find(C.Reason), std::string::npos) << C.Line << " -> " << Message;
    }
}

TEST(SimCompile, MalformedScenario_RunsNothing)
{
    Program P;
    std::vector<Diagnostic> Errors;
    EXPECT_FALSE(Compile("note \"first\"\nread\n", "x.scn", P, Errors));
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0].Text(), "x.scn:2: read needs a length");
}

/* ---------------- the manual ---------------- */

namespace {

std::vector<std::pair<int, std::string>> ScenarioBlocks(const std::string &Path)
{
    std::ifstream In(Path);
    std::vector<std::pair<int, std::string>> Blocks;
    std::string Line;
    int Number = 0;
    bool Inside = false;
    while (std::getline(In, Line)) {
        ++Number;
        if (!Inside && Line == "```scn") {
            Inside = true;
            Blocks.emplace_back(Number + 1, std::string());
        } else if (Inside && Line.rfind("```", 0) == 0) {
            Inside = false;
        } else if (Inside) {
            Blocks.back().second += Line + "\n";
        }
    }
    return Blocks;
}

} // namespace

// Guards against the manual's examples drifting away from the language.
TEST(SimManual, EveryScenarioExample_Compiles)
{
    std::string Here = __FILE__;
    std::string Manual = Here.substr(0, Here.rfind("/tests/")) + "/docs/scenarios.md";
    auto Blocks = ScenarioBlocks(Manual);
    ASSERT_GE(Blocks.size(), 8u) << "no examples found in " << Manual;
    for (const auto &[FirstLine, Text] : Blocks) {
        Program P;
        std::vector<Diagnostic> Errors;
        Compile(Text, "scenarios.md", P, Errors, FirstLine);
        for (const auto &E : Errors) ADD_FAILURE() << E.Text();
    }
}

// Guards the manual's list of failable kit calls drifting from the table the hooks use.
TEST(SimManual, EveryFailableCall_IsListed)
{
    std::string Here = __FILE__;
    std::ifstream In(Here.substr(0, Here.rfind("/tests/")) + "/docs/scenarios.md");
    const std::string Manual((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    for (const std::string &Api : world::World::FailableCalls()) {
        EXPECT_NE(Manual.find("`" + Api + "`"), std::string::npos) << Api;
    }
}
