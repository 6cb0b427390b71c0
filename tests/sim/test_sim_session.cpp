/*
 * test_sim_session.cpp - brisum-sim end to end: scenarios run against the
 * world, failures name their line, transcripts are repeatable, captures
 * hold the traffic, and the command line reports what it was given.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "Cli.h"
#include "Demo.h"
#include "Pcap.h"
#include "Session.h"

using namespace sim;

namespace {

struct Outcome {
    std::string Transcript;
    std::string Errors;
    int Failures = 0;
    int Checks = 0;
    VirtualTime End = 0;
};

class SimSession : public ::testing::Test {
protected:
    Outcome Run(const std::string &Text, PcapWriter *Capture = nullptr)
    {
        Program P;
        std::vector<Diagnostic> Errors;
        bool Compiled = Compile(Text, "t.scn", P, Errors);
        EXPECT_TRUE(Compiled) << (Errors.empty() ? "" : Errors[0].Text());
        std::ostringstream Transcript, Err;
        SessionOptions O;
        O.Transcript = &Transcript;
        O.Errors = &Err;
        O.Capture = Capture;
        O.Name = "t";
        Outcome R;
        {
            Session S(O);
            S.Run(P);
            S.Finish();
            R.Failures = S.Failures();
            R.Checks = S.Checks();
            R.End = S.Now();
        }
        R.Transcript = Transcript.str();
        R.Errors = Err.str();
        return R;
    }

    static int CountLines(const std::string &Text, const std::string &Piece)
    {
        int N = 0;
        std::istringstream In(Text);
        std::string Line;
        while (std::getline(In, Line))
            if (Line.find(Piece) != std::string::npos) ++N;
        return N;
    }
};

const char kPort[] = "dev: add PortName=\"COM5\"\nopen COM5\n";

} // namespace

TEST_F(SimSession, HeldExpectations_CountAsChecksWithoutFailures)
{
    Outcome R =
        Run(std::string(kPort) +
            "bulk-in \"hello\"\nrun\nr: read 5\nexpect r success info=5 text=\"hello\"\nremove dev\nexpect pool 0\n");
    EXPECT_EQ(R.Failures, 0) << R.Errors;
    EXPECT_EQ(R.Checks, 2);
    EXPECT_NE(R.Transcript.find("app  r: -> STATUS_SUCCESS info=5 5 bytes \"hello\" <68 65 6c 6c 6f>"),
              std::string::npos)
        << R.Transcript;
}

// Guards a flush that held the scenario until it returned, so nothing could happen while it waited.
TEST_F(SimSession, AsyncFlush_WaitsWhileTheScenarioGoesOn)
{
    Outcome R =
        Run(std::string(kPort) + "answer bulk-out never\nw: write \"slow\"\nf: flush async\nadvance 1s\n"
                                 "expect f pending\ncancel w\nwait f\nexpect w cancelled\nexpect f success at=1s\n"
                                 "answer bulk-out never\nw2: write \"slow\"\nf2: flush async\nrun limit=1s\n"
                                 "i: ioctl PURGE TXABORT\nwait f2\nexpect w2 cancelled\nexpect f2 success\n"
                                 "f3: flush async\nexpect f3 success\n" /* nothing to wait for: done at once */
                                 "close COM5\nremove dev\nexpect pool 0\n");
    EXPECT_EQ(R.Failures, 0) << R.Errors;
    EXPECT_EQ(R.Checks, 7);
}

// Guards a double quote that note text could not hold.
TEST_F(SimSession, Note_WritesEscapedQuotes)
{
    Outcome R = Run(R"(note a 5\" disk, "said \"hi\"" and C:\dir\
)");
    EXPECT_NE(R.Transcript.find(R"(note a 5" disk, said "hi" and C:\dir\)"), std::string::npos) << R.Transcript;
}

// Guards expect pool seeing only the driver's own pool, blind to its framework memory objects.
TEST_F(SimSession, ExpectPool_CountsFrameworkMemoryByTag)
{
    Outcome R = Run(std::string(kPort) +
                    "answer control never\nb: ioctl SET_BAUD_RATE 9600\nanswer bulk-out never\nw: write \"x\"*10\n"
                    "expect pool tag=IOCL 1 bytes=7\nexpect pool tag=RDWR 1\n"
                    "cancel w\nrun\nexpect pool tag=RDWR 0\nexpect pool tag=IOCL 0\n"
                    "remove dev\nexpect pool 0\n");
    EXPECT_EQ(R.Failures, 0) << R.Errors;
    EXPECT_EQ(R.Checks, 5);
}

TEST_F(SimSession, MismatchedExpectation_NamesFileLineAndDifference)
{
    Outcome R = Run(std::string(kPort) + "bulk-in \"hi\"\nrun\nr: read 2\nexpect r timeout info=3\n");
    EXPECT_EQ(R.Failures, 1);
    EXPECT_NE(R.Errors.find("t.scn:6: expect r timeout info=3: status is STATUS_SUCCESS, expected STATUS_TIMEOUT; "
                            "info is 2, expected 3"),
              std::string::npos)
        << R.Errors;
    EXPECT_NE(R.Transcript.find("FAIL line 6: "), std::string::npos);
}

TEST_F(SimSession, RunGoesOnAfterAFailure)
{
    Outcome R = Run(std::string(kPort) + "expect serial-count 7\nexpect serial-count 1\nexpect serial-count 9\n");
    EXPECT_EQ(R.Failures, 2);
    EXPECT_EQ(R.Checks, 3);
    EXPECT_NE(R.Errors.find("t.scn:3:"), std::string::npos);
    EXPECT_NE(R.Errors.find("t.scn:5:"), std::string::npos);
}

TEST_F(SimSession, ScenarioMistakesAtRunTime_AreFailuresNotCrashes)
{
    Outcome R = Run("read 1\n"                /* nothing open yet */
                    "expect nobody success\n" /* no such tag */
                    "bulk-in \"x\"\n"         /* no device */
                    + std::string(kPort) +
                    "close COM5\nclose COM5\n" /* a second close of the same handle */
                    "x: open COM5\nexpect x success\n");
    EXPECT_EQ(R.Failures, 3) << R.Errors;
    EXPECT_NE(R.Errors.find("t.scn:1: read 1: no port has been opened yet"), std::string::npos) << R.Errors;
    EXPECT_NE(R.Errors.find("t.scn:2: expect nobody success: nothing is tagged 'nobody'"), std::string::npos);
    EXPECT_NE(R.Errors.find("t.scn:3: bulk-in \"x\": no device has been added yet"), std::string::npos);
    EXPECT_NE(R.Transcript.find("COM5: -> STATUS_INVALID_HANDLE"), std::string::npos);
}

TEST_F(SimSession, SameScenarioTwice_GivesTheSameTranscript)
{
    const std::string Text = std::string(kPort) +
                             "ioctl SET_TIMEOUTS ri=50\nr: read 10\nbulk-in \"abc\" after=7ms\nrun limit=1s\n"
                             "w: write seq:300\nanswer bulk-out late 3ms\nrun\n";
    Outcome A = Run(Text), B = Run(Text);
    EXPECT_FALSE(A.Transcript.empty());
    EXPECT_EQ(A.Transcript, B.Transcript);
}

// Guards against a transfer answered in the same instant being shown twice,
// and one answered later being shown without its pending state.
TEST_F(SimSession, Transfers_OneLineWhenAnsweredAtOnce_PendingThenDoneWhenLate)
{
    Outcome R = Run(std::string(kPort) + "w1: write \"now\"\nrun\n"
                                         "answer bulk-out late 5ms\nw2: write \"later\"\nrun\n"
                                         "w3: write seq:128\nrun\n");
    EXPECT_EQ(R.Failures, 0);
    EXPECT_EQ(CountLines(R.Transcript, "bulk-out 0x02 5 bytes \"later\""), 1) << R.Transcript;
    EXPECT_EQ(CountLines(R.Transcript, "\"later\" <6c 61 74 65 72> -> pending"), 1);
    EXPECT_NE(R.Transcript.find("[      5.0000] usb  dev #"), std::string::npos);
    /* w3's second packet is submitted and answered within the run: one line */
    EXPECT_EQ(CountLines(R.Transcript, "bulk-out 0x02 64 bytes \"@ABC"), 1);
    EXPECT_EQ(CountLines(R.Transcript, "@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\\\]^_`abcdefghijklmnopqrstuvwxyz{|}~\\x7f\" <40"),
              1);
}

TEST_F(SimSession, Wait_ReportsAnOperationThatNeverCompletes)
{
    Outcome R = Run(std::string(kPort) + "r: read 4\nwait r limit=2s\nexpect r pending\n");
    EXPECT_EQ(R.Failures, 1);
    EXPECT_NE(R.Errors.find("r is still pending after 2s (nothing left to happen)"), std::string::npos) << R.Errors;
}

TEST_F(SimSession, Run_StopsAtItsLimitWhileTimersKeepRearming)
{
    /* an interval time-out with no data re-arms its timer at every tick */
    Outcome R = Run(std::string(kPort) + "ioctl SET_TIMEOUTS ri=50\nr: read 4\nrun limit=3s\nexpect r pending\n");
    EXPECT_EQ(R.Failures, 0) << R.Errors;
    EXPECT_EQ(R.End, 3 * world::kSecond);
    EXPECT_NE(R.Transcript.find("still busy after 3s"), std::string::npos);
}

TEST_F(SimSession, Advance_MovesTheClockExactly)
{
    Outcome R = Run(std::string(kPort) + "advance 1.5s\nadvance 250us\n");
    EXPECT_EQ(R.End, 15'002'500);
}

TEST_F(SimSession, DeviceSideAndWireExpectations)
{
    Outcome R = Run("dev: add PortName=\"COM5\" bulk-out=16\nopen COM5\n"
                    "b: ioctl SET_BAUD_RATE 9600\nrun\n"
                    "expect setup SET_LINE_CODING 9600 index=0 status=success\nexpect setup none\n"
                    "w: write seq:40\nrun\nexpect bulk-out seq:40 sizes=16,16,8\nexpect bulk-out none\n"
                    "expect bulk-out \"wrong\"\n");
    EXPECT_EQ(R.Failures, 1);
    EXPECT_NE(R.Errors.find("t.scn:11: expect bulk-out \"wrong\": bulk-OUT carried 0 bytes, expected 5 bytes"),
              std::string::npos)
        << R.Errors;
}

TEST_F(SimSession, Demo_PassesAndShowsDecodedTraffic)
{
    Outcome R = Run(DemoScript());
    EXPECT_EQ(R.Failures, 0) << R.Errors;
    for (const char *Piece :
         {"control SET_LINE_CODING 115200 8N1 setup <21 20 00 00 00 00 07 00> data <00 c2 01 00 00 00 08>",
          "control SET_CONTROL_LINE_STATE DTR|RTS", "interrupt 0x81 SERIAL_STATE rxcarrier|txcarrier",
          "-> STATUS_TIMEOUT info=20", "ModemStatus=0xb3 (DTR|RTS|CTS|DSR|DCD)", "Events=0x0001 (RXCHAR)",
          "-> STATUS_CANCELLED info=0", "dev: -> removed"})
        EXPECT_NE(R.Transcript.find(Piece), std::string::npos) << Piece;
}

TEST_F(SimSession, Capture_HoldsEnumerationClassRequestsAndPayloads)
{
    PcapWriter Capture;
    Outcome R = Run(std::string(kPort) + "ioctl SET_DTR\nrun\nwrite \"out\"\nbulk-in \"in\"\nrun\n", &Capture);
    ASSERT_EQ(R.Failures, 0) << R.Errors;
    Bytes File = Capture.Encode();
    /* walk the records: find the control line state request, the descriptor
       read and both payloads */
    bool Descriptor = false, LineState = false, Out = false, In = false;
    for (std::size_t At = 24; At + 16 <= File.size();) {
        std::uint32_t Length = File[At + 8] | File[At + 9] << 8 | File[At + 10] << 16 | File[At + 11] << 24;
        const std::uint8_t *H = &File[At + 16];
        std::string Payload(reinterpret_cast<const char *>(H + 64), Length - 64);
        if (H[8] == 'S' && H[40] == 0x80 && H[41] == 6 && H[43] == 2) Descriptor = true;
        if (H[8] == 'S' && H[40] == 0x21 && H[41] == 0x22 && H[42] == 1) LineState = true;
        if (H[8] == 'S' && H[10] == 0x02 && Payload == "out") Out = true;
        if (H[8] == 'C' && H[10] == 0x82 && Payload == "in") In = true;
        At += 16 + Length;
    }
    EXPECT_TRUE(Descriptor);
    EXPECT_TRUE(LineState);
    EXPECT_TRUE(Out);
    EXPECT_TRUE(In);
}

/* ---------------- the command line ---------------- */

class SimCommandLine : public ::testing::Test {
protected:
    std::string Path(const char *Name) { return ::testing::TempDir() + Name; }
    std::string Write(const char *Name, const std::string &Text)
    {
        std::string P = Path(Name);
        std::ofstream(P) << Text;
        return P;
    }
    int Run(std::vector<std::string> Args, std::string Stdin = {})
    {
        std::istringstream In(Stdin);
        Out.str({});
        Err.str({});
        return RunCommandLine(Args, In, Out, Err);
    }
    std::ostringstream Out, Err;
};

TEST_F(SimCommandLine, MalformedFile_Exit2WithEveryBadLineAndNothingRun)
{
    std::string F = Write("bad.scn", "dev: add PortName=\"COM5\"\nread\nwrite <0>\nnote fine\nexpect\n");
    EXPECT_EQ(Run({"run", F}), kExitUsage);
    EXPECT_NE(Err.str().find(F + ":2: read needs a length"), std::string::npos) << Err.str();
    EXPECT_NE(Err.str().find(F + ":3: odd number of hex digits"), std::string::npos);
    EXPECT_NE(Err.str().find(F + ":5: expect needs"), std::string::npos);
    EXPECT_NE(Err.str().find("3 malformed lines; not run"), std::string::npos);
    EXPECT_EQ(Out.str().find("pnp"), std::string::npos) << "a malformed scenario must not run";
}

TEST_F(SimCommandLine, FailedExpectation_Exit1)
{
    std::string F = Write("fails.scn", "expect serial-count 3\n");
    EXPECT_EQ(Run({"run", "--quiet", F}), kExitFailed);
    EXPECT_NE(Err.str().find(F + ":1: expect serial-count 3: SerialCount is 0, expected 3"), std::string::npos)
        << Err.str();
}

TEST_F(SimCommandLine, StandardInput_IsAScenario)
{
    EXPECT_EQ(Run({"run", "-"}, "expect serial-count 0\n"), kExitOk) << Err.str();
    EXPECT_NE(Out.str().find("chk  expect serial-count 0"), std::string::npos);
}

TEST_F(SimCommandLine, Compare_ReportsTheFirstDifferingLine)
{
    std::string F = Write("cmp.scn", "note one\nnote two\n");
    std::string Good = Path("good.txt"), Bad = Write("bad.txt", "[      0.0000] note one\n[      0.0000] note 2\n");
    ASSERT_EQ(Run({"run", F, "--output", Good}), kExitOk);
    EXPECT_EQ(Run({"run", F, "--quiet", "--compare", Good}), kExitOk) << Err.str();
    EXPECT_EQ(Run({"run", F, "--quiet", "--compare", Bad}), kExitFailed);
    EXPECT_NE(Err.str().find(Bad + ":2: the transcript differs"), std::string::npos) << Err.str();
    EXPECT_NE(Err.str().find("recorded: [      0.0000] note 2"), std::string::npos);
}

TEST_F(SimCommandLine, Shell_RunsLinesAndKeepsGoingAfterMistakes)
{
    EXPECT_EQ(Run({"shell"}, "frobnicate\nexpect serial-count 0\nhelp\nquit\nexpect serial-count 5\n"), kExitOk);
    EXPECT_NE(Err.str().find("shell:1: unknown command 'frobnicate'"), std::string::npos) << Err.str();
    EXPECT_NE(Out.str().find("chk  expect serial-count 0"), std::string::npos);
    EXPECT_NE(Out.str().find("bulk-in DATA"), std::string::npos) << "help lists the commands";
}

TEST_F(SimCommandLine, BadArguments_Exit2)
{
    EXPECT_EQ(Run({"--bogus"}), kExitUsage);
    EXPECT_EQ(Run({"frob"}), kExitUsage);
    EXPECT_EQ(Run({"run"}), kExitUsage);
    EXPECT_EQ(Run({"run", Path("does-not-exist.scn")}), kExitUsage);
    EXPECT_NE(Err.str().find("cannot read"), std::string::npos);
    EXPECT_EQ(Run({"--pcap"}), kExitUsage);
}

TEST_F(SimCommandLine, DemoScript_IsPrintedOnRequest)
{
    EXPECT_EQ(Run({"demo", "--script"}), kExitOk);
    EXPECT_EQ(Out.str(), DemoScript());
}

TEST_F(SimCommandLine, Pcap_WrittenForSeveralFilesInOneCapture)
{
    std::string A = Write("a.scn", "dev: add PortName=\"COM1\"\n"), B = Write("b.scn", "dev: add PortName=\"COM1\"\n");
    std::string P = Path("two.pcap");
    EXPECT_EQ(Run({"run", "--quiet", "--pcap", P, A, B}), kExitOk) << Err.str();
    std::ifstream F(P, std::ios::binary);
    std::string Content((std::istreambuf_iterator<char>(F)), std::istreambuf_iterator<char>());
    ASSERT_GT(Content.size(), 24u);
    /* both devices are in it, at addresses 1 and 2 */
    bool Address[3] = {};
    for (std::size_t At = 24; At + 16 <= Content.size();) {
        std::uint32_t Length = static_cast<std::uint8_t>(Content[At + 8]) | static_cast<std::uint8_t>(Content[At + 9])
                                                                                << 8;
        std::uint8_t Device = static_cast<std::uint8_t>(Content[At + 16 + 11]);
        if (Device < 3) Address[Device] = true;
        At += 16 + Length;
    }
    EXPECT_TRUE(Address[1]);
    EXPECT_TRUE(Address[2]);
}
