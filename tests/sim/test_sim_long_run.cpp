/*
 * test_sim_long_run.cpp - a long run holds flat memory: the simulator
 * follows the transfers as they happen, streams the transcript and the
 * capture, and keeps only bounded records for its expectations, whatever
 * the device model's log window lets go. Asserted on counts of what is
 * held, never on time or memory size.
 */
#include <gtest/gtest.h>

#include <sstream>

#include "CdcAcmDevice.h"
#include "Pcap.h"
#include "Session.h"

using namespace sim;

namespace {

const std::size_t kWindow = world::CdcAcmOptions{}.TransferLogWindow;
constexpr std::size_t kChunk = 32768;
constexpr int kChunks = 24; /* 24 x (512 packets out + 512 in): three windows and more */

Program Compiled(const std::string &Text)
{
    Program P;
    std::vector<Diagnostic> Errors;
    EXPECT_TRUE(Compile(Text, "long.scn", P, Errors)) << (Errors.empty() ? "" : Errors[0].Text());
    return P;
}

std::size_t CountLines(const std::string &Text)
{
    std::size_t N = 0;
    for (char C : Text) N += C == '\n';
    return N;
}

class SimLongRun : public ::testing::Test {
protected:
    std::ostringstream Transcript, Errors;
    PcapWriter Capture;
    SessionOptions Options()
    {
        SessionOptions O;
        O.Transcript = &Transcript;
        O.Errors = &Errors;
        O.Capture = &Capture;
        O.Name = "long";
        return O;
    }
};

const char kPort[] = "dev: add PortName=\"COM5\" loopback line-rate\n"
                     "open COM5\n"
                     "ioctl SET_BAUD_RATE 921600\n"
                     "run\n"
                     "expect setup SET_LINE_CODING 921600\n";

TEST_F(SimLongRun, ManyChunks_RecordsStayBoundedAndExpectationsStillHold)
{
    Session S(Options());
    S.Run(Compiled(kPort));
    const std::string Chunk = "w: write seq:" + std::to_string(kChunk) + "\nr: read " + std::to_string(kChunk) +
                              "\nrun limit=10s\nexpect w success info=" + std::to_string(kChunk) +
                              "\nexpect r success info=" + std::to_string(kChunk) +
                              " data=seq:" + std::to_string(kChunk) +
                              "\nexpect bulk-out seq:" + std::to_string(kChunk) + "\n";
    Program P = Compiled(Chunk);
    for (int K = 0; K < kChunks; ++K) {
        S.Run(P);
        Session::Retained R = S.RetainedRecords();
        ASSERT_LE(R.TransferLog, 2 * kWindow) << "chunk " << K;
        EXPECT_LE(R.OpenTransfers, 4u) << "only the readers and the last packet are outstanding";
        EXPECT_EQ(R.ExpectItems, 0u) << "expect bulk-out took what it compared";
        EXPECT_EQ(R.QueuedLines, 0u) << "every statement's lines are out";
        EXPECT_LE(R.CaptureHeld, 16u) << "the capture holds only the current instant";
    }
    S.Finish();
    ASSERT_EQ(S.Failures(), 0) << Errors.str();
    Session::Retained R = S.RetainedRecords();
    EXPECT_GT(R.Transfers, 3 * kWindow) << "the run outgrew the window, so the old records went";
    EXPECT_EQ(Capture.Held(), 0u);
    /* every transfer is in the capture: a submission and, but for the readers
       still outstanding, a completion; the streamed records are all written */
    EXPECT_GE(Capture.Size(), 2 * R.Transfers - 2);
    EXPECT_LE(Capture.Size(), 2 * R.Transfers);
}

TEST_F(SimLongRun, OneLongStatement_StreamsTranscriptAndCaptureAsItGoes)
{
    Session S(Options());
    S.Run(Compiled(std::string(kPort) + "w: write seq:600000\nr: read 600000\nrun limit=60s\n"
                                        "expect w success info=600000\nexpect r success data=seq:600000\n"));
    S.Finish();
    ASSERT_EQ(S.Failures(), 0) << Errors.str();
    Session::Retained R = S.RetainedRecords();
    EXPECT_GT(R.Transfers, 2 * kWindow);
    EXPECT_GT(CountLines(Transcript.str()), R.Transfers) << "each transfer has its line";
    EXPECT_LE(R.PeakQueuedLines, 8192u) << "lines were written while the run went on";
    EXPECT_LE(R.PeakCaptureHeld, 64u) << "capture records were written while the run went on";
}

/* At one instant (no line pace) the order of equal times would have the
   capture wait for the interrupt read outstanding since the start: it holds
   no more than its bound and writes in time order past it. */
TEST_F(SimLongRun, OneInstant_CaptureHoldsAtMostItsBound)
{
    Session S(Options());
    S.Run(Compiled("dev: add PortName=\"COM5\" loopback\nopen COM5\n"
                   "w: write seq:1500000\nr: read 1500000\nrun limit=60s\nexpect r success info=1500000\n"));
    S.Finish();
    ASSERT_EQ(S.Failures(), 0) << Errors.str();
    Session::Retained R = S.RetainedRecords();
    EXPECT_EQ(S.Now(), 0);
    EXPECT_GT(Capture.Size(), 1u << 16) << "more records than the capture may hold back";
    EXPECT_LE(R.PeakCaptureHeld, 1u << 16);
    EXPECT_LE(R.PeakQueuedLines, 8192u);
}

} // namespace
