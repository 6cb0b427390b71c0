/*
 * test_framework_timeline.cpp - the timeline recorder seen from a run of
 * the driver: on one and on two processors, what it records pairs up the
 * way the run happened, and the page made of it carries its lanes with
 * every text escaped.
 */
#include <map>
#include <set>

#include "support/TestSupport.h"

using namespace test_support;
using fx::TimelineEvent;
using fx::TimelineKind;

namespace {

class Timeline : public PortTest, public ::testing::WithParamInterface<int> {
protected:
    fx::TimelineScope Rec;

    /* Writes and reads on COM5 with the device sending, on GetParam() processors. */
    void RunTraffic()
    {
        ASSERT_TRUE(W.SetProcessors(GetParam(), 5, "random"));
        Start();
        Open();
        ReadsReturnAtOnce();
        for (int Round = 0; Round < 4; ++Round) {
            Usb->SendBulkInText("ping " + std::to_string(Round));
            OpHandle Wr = W.Write(H, Bytes(100, 'w'));
            OpHandle Rd = W.Read(H, 16);
            Run();
            ASSERT_TRUE(Wr->Completed && Rd->Completed);
        }
    }
    std::vector<TimelineEvent> Of(TimelineKind Kind) const
    {
        std::vector<TimelineEvent> Out;
        for (const TimelineEvent &E : Rec.Recording().Events())
            if (E.Kind == Kind) Out.push_back(E);
        return Out;
    }
    /* Every Begin has exactly one End with its id, later; returns the pairs' count. */
    std::size_t ExpectPaired(TimelineKind Begin, TimelineKind End, bool ByFlag = false)
    {
        std::map<std::pair<std::uint64_t, bool>, std::uint64_t> Open;
        std::size_t Pairs = 0;
        for (const TimelineEvent &E : Rec.Recording().Events()) {
            auto Key = std::make_pair(E.Id, ByFlag && E.Flag);
            if (E.Kind == Begin) {
                EXPECT_EQ(Open.count(Key), 0u) << fx::TimelineKindName(Begin) << " again while open: " << E.Name;
                Open[Key] = E.Step;
            } else if (E.Kind == End) {
                EXPECT_EQ(Open.count(Key), 1u) << fx::TimelineKindName(End) << " without its begin";
                Open.erase(Key);
                ++Pairs;
            }
        }
        EXPECT_TRUE(Open.empty()) << Open.size() << " " << fx::TimelineKindName(Begin) << " never closed";
        return Pairs;
    }
};

} // namespace

TEST_P(Timeline, Run_StepsIncreaseAndTimeNeverGoesBack)
{
    RunTraffic();
    const auto &Events = Rec.Recording().Events();
    ASSERT_FALSE(Events.empty());
    for (std::size_t I = 1; I < Events.size(); ++I) {
        EXPECT_GT(Events[I].Step, Events[I - 1].Step);
        EXPECT_GE(Events[I].Time, Events[I - 1].Time);
    }
}

TEST_P(Timeline, Callbacks_EachClosesOnceAndNestsOnItsProcessor)
{
    RunTraffic();
    EXPECT_GT(ExpectPaired(TimelineKind::CallbackBegin, TimelineKind::CallbackEnd), 10u);
    std::set<int> Cpus;
    for (const TimelineEvent &E : Of(TimelineKind::CallbackBegin)) {
        EXPECT_FALSE(E.Name.empty());
        EXPECT_GE(E.Cpu, 0) << "a driver callback runs on a processor";
        EXPECT_LT(E.Cpu, GetParam());
        Cpus.insert(E.Cpu);
    }
    if (GetParam() > 1) {
        EXPECT_EQ(Cpus.size(), static_cast<std::size_t>(GetParam())) << "every processor ran some";
    }
    /* On one processor a callback made from another closes before it. */
    if (GetParam() == 1) {
        std::vector<std::uint64_t> Stack;
        for (const TimelineEvent &E : Rec.Recording().Events()) {
            if (E.Kind == TimelineKind::CallbackBegin) Stack.push_back(E.Id);
            if (E.Kind == TimelineKind::CallbackEnd) {
                ASSERT_FALSE(Stack.empty());
                EXPECT_EQ(Stack.back(), E.Id);
                Stack.pop_back();
            }
        }
    }
}

TEST_P(Timeline, LockHolds_PairUpAndNeverOverlap)
{
    RunTraffic();
    /* ExpectPaired refuses a second acquisition of a lock while it is
       held: the holds of one lock never overlap, on any processor. */
    EXPECT_GT(ExpectPaired(TimelineKind::LockAcquire, TimelineKind::LockRelease, true), 0u);
    bool Spin = false, DeviceWide = false;
    for (const TimelineEvent &E : Of(TimelineKind::LockAcquire)) {
        (E.Flag ? DeviceWide : Spin) = true;
        EXPECT_EQ(E.Name.find("spin lock") != std::string::npos, !E.Flag) << E.Name;
        EXPECT_FALSE(E.Detail.empty()) << "the acquisition's site";
    }
    EXPECT_TRUE(Spin);
    EXPECT_TRUE(DeviceWide);
}

TEST_P(Timeline, RequestsAndTransfers_EachArrivalCompletes)
{
    RunTraffic();
    W.Close(H);
    Run();
    EXPECT_EQ(ExpectPaired(TimelineKind::RequestArrive, TimelineKind::RequestComplete),
              Of(TimelineKind::RequestArrive).size());
    std::set<std::string> Kinds;
    for (const TimelineEvent &E : Of(TimelineKind::RequestArrive)) Kinds.insert(E.Name.substr(0, E.Name.find(' ')));
    EXPECT_EQ(Kinds, (std::set<std::string>{"create", "ioctl", "read", "write"}));
    for (const TimelineEvent &E : Of(TimelineKind::RequestComplete)) EXPECT_EQ(E.Detail.rfind("0x", 0), 0u);
    std::set<std::string> Pipes;
    for (const TimelineEvent &E : Of(TimelineKind::TransferSubmit)) Pipes.insert(E.Name);
    EXPECT_GE(Pipes.size(), 2u) << "bulk-in and bulk-out";
    /* The continuous reader keeps reads pending at the end: those only open. */
    EXPECT_GE(Of(TimelineKind::TransferSubmit).size(), Of(TimelineKind::TransferComplete).size());
}

TEST_P(Timeline, Page_HasItsProcessorsAndEscapesText)
{
    RunTraffic();
    fx::VerifierReport("TestRule", "a message with </script><b onclick=\"x\">&amp; in it");
    ASSERT_EQ(TakeReports().size(), 1u);
    std::vector<TimelineEvent> Reports = Of(TimelineKind::Report);
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0].Name, "TestRule");
    std::string Page = fx::TimelineHtml(Rec.Recording(), "title <i>&", GetParam());
    EXPECT_NE(Page.find("\"processors\":" + std::to_string(GetParam())), std::string::npos);
    EXPECT_NE(Page.find("<title>title &lt;i&gt;&amp;</title>"), std::string::npos);
    EXPECT_EQ(Page.find("</script><b"), std::string::npos) << "the message ends the data early";
    EXPECT_NE(Page.find("\\u003c/script\\u003e\\u003cb onclick=\\\"x\\\"\\u003e\\u0026amp;"), std::string::npos);
    /* Self-contained: nothing loaded from elsewhere. */
    EXPECT_EQ(Page.find(" src="), std::string::npos);
    EXPECT_EQ(Page.find("<link"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cpus, Timeline, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int> &P) { return std::to_string(P.param) + "cpu"; });
