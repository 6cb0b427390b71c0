// What every suite shares: records turned into the bytes an application
// passes and back, little-endian fields, CDC notifications as the device
// sends them, and the fixtures that own a World.
//
// WorldTest collects the verifier's reports instead of stopping the run, and
// fails the test that raised any it did not take (TakeReports). PortTest
// adds one simulated CDC ACM device named COM5 and a handle to it.
//
// With BRISUM_TIMELINE_DIR set, a WorldTest records its world's timeline,
// and one that fails or raised a verifier report writes it as the page
// DIR/<test>-seed<S>.html (S: the processors' schedule seed).
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "CdcAcmDevice.h"
#include "World.h"
#include "core/Processors.h"
#include "core/Timeline.h"

#include <ntddk.h>
#include <ntddser.h>

namespace test_support {

using world::Bytes;
using world::OpHandle;

template <class T> Bytes AsBytes(const T &Value)
{
    const auto *p = reinterpret_cast<const std::uint8_t *>(&Value);
    return Bytes(p, p + sizeof(Value));
}

// The record at the start of Data; a short Data leaves the rest zero.
template <class T> T FromBytes(const Bytes &Data)
{
    T value{};
    std::memcpy(&value, Data.data(), std::min(sizeof(T), Data.size()));
    return value;
}

inline Bytes Le32(std::uint32_t V)
{
    return Bytes{std::uint8_t(V), std::uint8_t(V >> 8), std::uint8_t(V >> 16), std::uint8_t(V >> 24)};
}

inline std::uint32_t U32At(const Bytes &D, std::size_t At)
{
    return D.at(At) | (D.at(At + 1) << 8) | (D.at(At + 2) << 16) | (std::uint32_t(D.at(At + 3)) << 24);
}

inline Bytes Concat(std::initializer_list<Bytes> Parts)
{
    Bytes All;
    for (const Bytes &Part : Parts) All.insert(All.end(), Part.begin(), Part.end());
    return All;
}

inline Bytes Text(const std::string &S) { return Bytes(S.begin(), S.end()); }

/* A CDC notification as it crosses the wire: 8-byte header, then data. */
inline Bytes Notification(std::uint8_t Code, std::uint16_t Value, const Bytes &Data)
{
    Bytes Out{0xA1, Code, std::uint8_t(Value),       std::uint8_t(Value >> 8),
              0,    0,    std::uint8_t(Data.size()), std::uint8_t(Data.size() >> 8)};
    Out.insert(Out.end(), Data.begin(), Data.end());
    return Out;
}

/* A SERIAL_STATE notification carrying Bitmap. */
inline Bytes SerialState(std::uint16_t Bitmap)
{
    return Notification(0x20, 0, Bytes{std::uint8_t(Bitmap), std::uint8_t(Bitmap >> 8)});
}

// The hardware key of a port named PortName; DriverMode 0 leaves the value out.
inline world::HardwareKey PortKey(const std::u16string &PortName, ULONG DriverMode = 0)
{
    world::HardwareKey Key{{u"PortName", world::RegistryValue::String(PortName)}};
    if (DriverMode != 0) Key[u"DriverMode"] = world::RegistryValue::Dword(DriverMode);
    return Key;
}

// Names a table-driven test after its row's Name field.
struct CaseName {
    template <class Info> std::string operator()(const Info &Row) const { return std::string(Row.param.Name); }
};

// The timeline of a test's world while BRISUM_TIMELINE_DIR is set: it
// outlives the world (the world's teardown is on it too) and writes the
// page when the test asked for it.
class TimelineOnFailure {
public:
    TimelineOnFailure()
    {
        const char *Dir = std::getenv("BRISUM_TIMELINE_DIR");
        if (Dir != nullptr && *Dir != '\0') {
            dir_ = Dir;
            scope_ = std::make_unique<fx::TimelineScope>();
        }
    }
    ~TimelineOnFailure()
    {
        if (!scope_ || path_.empty()) return;
        if (!fx::WriteTimelineHtml(scope_->Recording(), title_, processors_, path_))
            std::fprintf(stderr, "timeline: cannot write %s\n", path_.c_str());
        else
            std::fprintf(stderr, "timeline: %s\n", path_.c_str());
    }
    TimelineOnFailure(const TimelineOnFailure &) = delete;
    TimelineOnFailure &operator=(const TimelineOnFailure &) = delete;

    // The test failed: the page goes to DIR/<test>-seed<S>.html.
    void Keep(world::World &W)
    {
        if (!scope_) return;
        const ::testing::TestInfo *Info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string Name = Info != nullptr ? std::string(Info->test_suite_name()) + "." + Info->name() : "test";
        for (char &C : Name)
            if (!(std::isalnum(static_cast<unsigned char>(C)) || C == '.' || C == '-' || C == '_')) C = '_';
        std::uint64_t Seed = 1;
        processors_ = 1;
        if (const fx::Processors *P = W.Clock().Cpus()) {
            Seed = P->Options().Seed;
            processors_ = P->Options().Count;
        }
        title_ = Name + ", seed " + std::to_string(Seed) + ", " + std::to_string(processors_) + " processor(s)";
        path_ = dir_ + "/" + Name + "-seed" + std::to_string(Seed) + ".html";
    }

private:
    std::string dir_;
    std::string path_;
    std::string title_;
    int processors_ = 1;
    std::unique_ptr<fx::TimelineScope> scope_;
};

class WorldTest : public ::testing::Test {
private:
    TimelineOnFailure timeline_; // before W: it outlives the world

protected:
    world::World W;

    // A verifier report fails the test that caused it, not the whole run.
    void SetUp() override { W.CollectVerifierReports(true); }
    void TearDown() override
    {
        for (const std::string &Report : TakeReports()) ADD_FAILURE() << "verifier: " << Report;
        if (HasFailure() || !W.VerifierReports().empty()) timeline_.Keep(W);
    }

    void Run() { W.Clock().RunUntilIdle(); }

    // Nothing a removed device or a closed handle could keep: no pool block
    // and no framework object still alive.
    void ExpectNothingLeft()
    {
        EXPECT_EQ(W.PoolBlocksOutstanding(), 0u);
        EXPECT_EQ(W.LiveObjects(), 0u);
    }

    // Reports raised since the last call; a test that expects one takes it.
    std::vector<std::string> TakeReports()
    {
        std::vector<std::string> All = W.VerifierReports();
        std::vector<std::string> New(All.begin() + static_cast<std::ptrdiff_t>(seen_), All.end());
        seen_ = All.size();
        return New;
    }
    static bool Mentions(const std::vector<std::string> &Reports, const std::string &Rule)
    {
        for (const std::string &R : Reports)
            if (R.rfind(Rule, 0) == 0) return true;
        return false;
    }

private:
    std::size_t seen_ = 0;
};

class PortTest : public WorldTest {
protected:
    std::shared_ptr<world::CdcAcmDevice> Usb;
    world::DeviceNode *Node = nullptr;
    world::FileHandle H = 0;

    // Adds a device as COM5, which the world starts at once; nothing else
    // runs, so the clock has not moved. The start's outcome is the test's to
    // check (Node->StartStatus).
    void Add(world::CdcAcmOptions Options = {}, ULONG DriverMode = 0)
    {
        Usb = std::make_shared<world::CdcAcmDevice>(Options);
        Node = W.AddDevice(Usb, PortKey(u"COM5", DriverMode));
        ASSERT_NE(Node, nullptr);
        ASSERT_EQ(Node->AddStatus, STATUS_SUCCESS);
    }
    // Adds and starts a device as COM5 and runs until the world is idle.
    void Start(world::CdcAcmOptions Options = {}, ULONG DriverMode = 0)
    {
        Add(Options, DriverMode);
        Run();
    }
    void Open() { ASSERT_EQ(W.Open(u"COM5", &H), STATUS_SUCCESS); }

    // Removes the device, runs the world idle and checks it left nothing.
    void RemoveAndExpectNothingLeft()
    {
        W.RemoveDevice(Node);
        Run();
        ExpectNothingLeft();
    }

    // Issues a control code and runs until the world is idle.
    OpHandle Ioctl(ULONG Code, const Bytes &In = {}, std::size_t OutLength = 0)
    {
        OpHandle Op = W.DeviceIoControl(H, Code, In, OutLength);
        Run();
        return Op;
    }
    void SetTimeouts(const SERIAL_TIMEOUTS &Timeouts)
    {
        OpHandle Op = Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(Timeouts));
        ASSERT_TRUE(Op->Completed);
        ASSERT_EQ(Op->Status, STATUS_SUCCESS);
    }
    // Reads then return at once with whatever is buffered.
    void ReadsReturnAtOnce()
    {
        SERIAL_TIMEOUTS T{};
        T.ReadIntervalTimeout = MAXULONG;
        SetTimeouts(T);
    }
};

} // namespace test_support
