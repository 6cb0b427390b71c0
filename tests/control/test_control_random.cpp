/*
 * test_control_random.cpp - a seeded, reproducible, bounded random run
 * mixing control codes (valid and malformed buffers), notifications (whole,
 * split, truncated, garbage), reads, writes, waits, purges and cancels.
 * Every request completes exactly once (the verifier aborts on a second
 * completion), nothing is read outside a buffer (sanitizer build), and the
 * device leaves no pool block and no object behind.
 */
#include "test_control_fixture.h"

#include <random>

namespace control_test {
namespace {

struct CodeInfo {
    ULONG Code;
    std::size_t Input;
    std::size_t Output;
};

/* The dispatcher's table with each code's record sizes, plus refused codes. */
const CodeInfo kCodes[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0},
    {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0},
    {IOCTL_SERIAL_SET_BREAK_ON, 0, 0},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0},
    {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},
    {IOCTL_SERIAL_SET_DTR, 0, 0},
    {IOCTL_SERIAL_CLR_DTR, 0, 0},
    {IOCTL_SERIAL_RESET_DEVICE, 0, 0},
    {IOCTL_SERIAL_SET_RTS, 0, 0},
    {IOCTL_SERIAL_CLR_RTS, 0, 0},
    {IOCTL_SERIAL_SET_XOFF, 0, 0},
    {IOCTL_SERIAL_SET_XON, 0, 0},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4},
    {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},
    {IOCTL_SERIAL_PURGE, 4, 0},
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3},
    {IOCTL_SERIAL_GET_CHARS, 0, 6},
    {IOCTL_SERIAL_SET_CHARS, 6, 0},
    {IOCTL_SERIAL_GET_HANDFLOW, 0, 16},
    {IOCTL_SERIAL_SET_HANDFLOW, 16, 0},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20},
    {IOCTL_SERIAL_XOFF_COUNTER, 12, 0},
    {IOCTL_SERIAL_GET_PROPERTIES, 0, 64},
    {IOCTL_SERIAL_GET_DTRRTS, 0, 4},
    {IOCTL_SERIAL_LSRMST_INSERT, 1, 0},
    {IOCTL_SERIAL_CONFIG_SIZE, 0, 4},
    {IOCTL_SERIAL_GET_COMMCONFIG, 0, 64},
    {IOCTL_SERIAL_SET_COMMCONFIG, 64, 0},
    {IOCTL_SERIAL_GET_STATS, 0, 24},
    {IOCTL_SERIAL_CLEAR_STATS, 0, 0},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, 4, 0},
    {CTL_CODE(FILE_DEVICE_SERIAL_PORT, 44, METHOD_BUFFERED, FILE_ANY_ACCESS), 4, 4},
};

class ControlRandom : public ControlFixture, public ::testing::WithParamInterface<unsigned> {
public:
    std::mt19937 Rng;
    std::vector<OpHandle> Ops;
    std::vector<std::pair<OpHandle, std::size_t>> Reads;

    unsigned Pick(unsigned Bound) { return std::uniform_int_distribution<unsigned>(0, Bound - 1)(Rng); }
    bool Chance(unsigned Percent) { return Pick(100) < Percent; }

    Bytes RandomBytes(std::size_t Length)
    {
        Bytes Out(Length);
        for (std::uint8_t &B : Out) {
            B = static_cast<std::uint8_t>(Pick(256));
        }
        return Out;
    }

    /* A size near the record's: missing, one short, exact or larger. */
    std::size_t NearSize(std::size_t Size)
    {
        switch (Pick(6)) {
        case 0: return 0;
        case 1: return Size > 0 ? Size - 1 : 0;
        case 5: return Size + Pick(9);
        default: return Size;
        }
    }

    Bytes InputFor(ULONG Code, std::size_t Length)
    {
        Bytes In = RandomBytes(Length);
        auto Put = [&](std::size_t Offset, std::uint32_t Value) {
            for (std::size_t I = 0; I < 4 && Offset + I < In.size(); I++) {
                In[Offset + I] = static_cast<std::uint8_t>(Value >> (8 * I));
            }
        };
        switch (Code) {
        case IOCTL_SERIAL_SET_TIMEOUTS: /* short time-outs, or "return at once" */
            for (std::size_t I = 0; I < 5; I++) {
                Put(4 * I, Chance(15) ? 0xFFFFFFFF : Pick(40));
            }
            break;
        case IOCTL_SERIAL_SET_QUEUE_SIZE: Put(0, Chance(30) ? Pick(200000) : 64 + Pick(9000)); break;
        case IOCTL_SERIAL_SET_WAIT_MASK: Put(0, Pick(0x2000)); break;
        case IOCTL_SERIAL_PURGE: Put(0, Pick(0x40)); break;
        case IOCTL_SERIAL_SET_BAUD_RATE: Put(0, Pick(2) ? 115200 : Pick(1000000)); break;
        default: break;
        }
        return In;
    }

    void RandomIoctl()
    {
        const CodeInfo &Info = kCodes[Pick(sizeof(kCodes) / sizeof(kCodes[0]))];
        std::size_t In = NearSize(Info.Input);
        std::size_t Out = NearSize(Info.Output);
        Ops.push_back(W.DeviceIoControl(H, Info.Code, InputFor(Info.Code, In), Out));
    }

    void RandomNotification()
    {
        const std::size_t Packet = Usb->Options().InterruptPacket;
        Bytes Whole;
        switch (Pick(3)) {
        case 0: Whole = SerialState(static_cast<std::uint16_t>(Pick(0x80))); break;
        case 1: Whole = Notification(0x00, static_cast<std::uint16_t>(Pick(3)), {}); break;
        default:
            Whole = Notification(static_cast<std::uint8_t>(Pick(256)), static_cast<std::uint16_t>(Pick(65536)),
                                 RandomBytes(Pick(12)));
            break;
        }
        switch (Pick(5)) {
        case 0: /* whole, packetised by the device */
            if (Whole[1] == 0x20) {
                Usb->SendSerialState(static_cast<std::uint16_t>(Whole[8] | (Whole[9] << 8)));
                break;
            }
            [[fallthrough]];
        case 1: /* whole, packet by packet */
            for (std::size_t At = 0; At < Whole.size(); At += Packet) {
                Usb->SendInterrupt(Bytes(Whole.begin() + At, Whole.begin() + std::min(Whole.size(), At + Packet)));
            }
            break;
        case 2: /* truncated */
            Whole.resize(std::min<std::size_t>(Pick(static_cast<unsigned>(Whole.size())), Packet));
            Usb->SendInterrupt(Whole);
            break;
        case 3: /* only the first packet of it */
            Whole.resize(std::min(Whole.size(), Packet));
            Usb->SendInterrupt(Whole);
            break;
        default: /* garbage */ Usb->SendInterrupt(RandomBytes(Pick(static_cast<unsigned>(Packet) + 1))); break;
        }
    }

    void Step()
    {
        switch (Pick(12)) {
        case 0:
        case 1:
        case 2: RandomIoctl(); break;
        case 3:
        case 4: RandomNotification(); break;
        case 5: {
            std::size_t Length = 1 + Pick(64);
            Reads.emplace_back(W.Read(H, Length), Length);
            break;
        }
        case 6: Ops.push_back(W.Write(H, RandomBytes(1 + Pick(100)))); break;
        case 7: Ops.push_back(W.DeviceIoControl(H, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4)); break;
        case 8:
            if (!Ops.empty()) {
                W.Cancel(Ops[Pick(static_cast<unsigned>(Ops.size()))]);
            }
            if (!Reads.empty()) {
                W.Cancel(Reads[Pick(static_cast<unsigned>(Reads.size()))].first);
            }
            break;
        case 9: Usb->SendBulkIn(RandomBytes(Pick(80)), Pick(20) * world::kMillisecond); break;
        case 10: {
            world::AnswerSpec Answer;
            unsigned Kind = Pick(10);
            Answer.Kind = Kind < 6 ? world::Answer::Accept : Kind < 9 ? world::Answer::Stall : world::Answer::Never;
            Answer.Delay = Pick(30) * world::kMillisecond;
            Usb->QueueControlAnswer(Answer);
            if (Chance(20)) {
                Usb->QueueBulkOutAnswer({Chance(50) ? world::Answer::Never : world::Answer::Stall});
            }
            break;
        }
        default: break;
        }
        Settle(Pick(30) * world::kMillisecond);
    }
};

TEST_P(ControlRandom, MixedTraffic_EveryRequestCompletesOnceNothingLeaks)
{
    Rng.seed(GetParam());
    world::CdcAcmOptions Options;
    Options.InterruptPacket = static_cast<std::uint16_t>(GetParam() % 2 ? 8 : 16);
    Options.InterruptEndpoint = GetParam() % 3 != 0;
    Bring(Options);

    for (int I = 0; I < 400; I++) {
        Step();
    }

    /* Wind down: cancel whatever is still outstanding and let the class
       requests run into their time-out. */
    for (int Round = 0; Round < 4; Round++) {
        for (const OpHandle &Op : Ops) {
            if (!Op->Completed) {
                W.Cancel(Op);
            }
        }
        for (const auto &Read : Reads) {
            if (!Read.first->Completed) {
                W.Cancel(Read.first);
            }
        }
        Settle(6 * world::kSecond);
    }
    for (std::size_t I = 0; I < Ops.size(); I++) {
        EXPECT_TRUE(Ops[I]->Completed) << "operation " << I;
    }
    for (const auto &Read : Reads) {
        ASSERT_TRUE(Read.first->Completed);
        EXPECT_LE(Read.first->Information, Read.second);
    }

    ExpectCleanRemoval();
}

INSTANTIATE_TEST_SUITE_P(Seeds, ControlRandom, ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u));

} // namespace
} // namespace control_test
