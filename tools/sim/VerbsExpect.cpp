/*
 * VerbsExpect.cpp - expectations on operations, the wire, the modem lines and the system.
 */
#include "SessionImpl.h"

namespace sim::verbs {

/* ---------------- expectations ---------------- */

struct OpExpectation {
    std::optional<NTSTATUS> Status;
    bool Pending = false;
    bool Completed = false;
    std::optional<std::uint64_t> Info;
    std::optional<Bytes> Data;
    std::optional<VirtualTime> At, After;
    std::optional<world::DevicePnpState> State;
    std::optional<bool> InD0;
    std::optional<bool> HandleOpen;
    std::vector<std::pair<std::string, std::string>> Other; /* fields and device keys */
};

void CheckOperation(Impl::Entity &E, const OpExpectation &X, std::vector<std::string> &Diff)
{
    const world::Operation &Op = *E.Op;
    if (X.Pending) {
        if (Op.Completed)
            Diff.push_back("completed with " + world::StatusName(Op.Status) +
                           " info=" + std::to_string(Op.Information) + ", expected pending");
        return;
    }
    bool WantsCompletion = X.Completed || X.Status || X.Info || X.Data || X.At || X.After || !X.Other.empty();
    if (WantsCompletion && !Op.Completed) {
        Diff.push_back("still pending");
        return;
    }
    if (X.Status && Op.Status != *X.Status)
        Diff.push_back("status is " + world::StatusName(Op.Status) + ", expected " + world::StatusName(*X.Status));
    if (X.Info && Op.Information != *X.Info)
        Diff.push_back("info is " + std::to_string(Op.Information) + ", expected " + std::to_string(*X.Info));
    std::size_t Visible = std::min<std::size_t>(Op.Information, Op.Output.size());
    Bytes Got(Op.Output.begin(), Op.Output.begin() + static_cast<std::ptrdiff_t>(Visible));
    if (X.Data && Got != *X.Data) Diff.push_back("data is " + FormatBytes(Got) + ", expected " + FormatBytes(*X.Data));
    if (X.At && Op.CompletedAt != *X.At)
        Diff.push_back("completed at " + FormatDuration(Op.CompletedAt) + ", expected at " + FormatDuration(*X.At));
    if (X.After && Op.CompletedAt - E.IssuedAt != *X.After)
        Diff.push_back("completed " + FormatDuration(Op.CompletedAt - E.IssuedAt) + " after it was issued, expected " +
                       FormatDuration(*X.After));
    for (const auto &[Key, Value] : X.Other) {
        const FieldDef *F = E.OutputLayout ? FindField(*E.OutputLayout, Key) : nullptr;
        if (!F) throw SyntaxError("the output of " + E.Tag + " has no field '" + Key + "'");
        std::uint64_t Want = ParseFieldValue(*F, Value);
        auto Have = ReadField(*F, Got);
        if (!Have)
            Diff.push_back(std::string(F->Name) + " was not returned (info=" + std::to_string(Op.Information) + ")");
        else if (*Have != Want)
            Diff.push_back(std::string(F->Name) + " is " + FormatField(*F, *Have) + ", expected " +
                           FormatField(*F, Want));
    }
}

void CheckDevice(Impl &I, Impl::Entity &E, const OpExpectation &X, std::vector<std::string> &Diff)
{
    Impl::DeviceEntry &D = I.Devices[static_cast<std::size_t>(E.Device)];
    if (X.Status && E.Op->Status != *X.Status)
        Diff.push_back("add status is " + world::StatusName(E.Op->Status) + ", expected " +
                       world::StatusName(*X.Status));
    if (X.Pending || X.Info || X.Data || X.At || X.After) throw SyntaxError(E.Tag + " is a device, not an operation");
    world::DeviceNode *N = D.Node;
    if (!N) {
        Diff.push_back("the device has no node");
        return;
    }
    if (X.State && N->State != *X.State)
        Diff.push_back(std::string("device is ") + StateName(N->State) + ", expected " + StateName(*X.State));
    if (X.InD0 && (N->Power == world::DevicePowerState::D0) != *X.InD0)
        Diff.push_back(std::string("device is in ") + (N->Power == world::DevicePowerState::D0 ? "D0" : "Dx"));
    for (const auto &Entry : X.Other) {
        const std::string &Key = Entry.first;
        const std::string &Value = Entry.second; /* a plain reference: lambdas may capture it */
        auto Count = [&](const char *Name, std::size_t Have) {
            std::size_t Want = ParseUnsigned(Value, 1u << 30);
            if (Have != Want)
                Diff.push_back(std::string(Name) + " is " + std::to_string(Have) + ", expected " +
                               std::to_string(Want));
        };
        if (EqualsIgnoreCase(Key, "add-status") || EqualsIgnoreCase(Key, "start-status")) {
            NTSTATUS Want = ParseStatus(Value);
            NTSTATUS Have = EqualsIgnoreCase(Key, "add-status") ? N->AddStatus : N->StartStatus;
            if (Have != Want)
                Diff.push_back(Key + " is " + world::StatusName(Have) + ", expected " + world::StatusName(Want));
        } else if (EqualsIgnoreCase(Key, "name")) {
            std::string Want = ParseText(Value), Have = FromUtf16(N->NtName);
            if (Have != Want) Diff.push_back("NT name is '" + Have + "', expected '" + Want + "'");
        } else if (EqualsIgnoreCase(Key, "interface")) {
            auto Interfaces = I.W.DeviceInterfaces(N);
            std::string Have = Interfaces.empty() ? "none" : Interfaces.front().second ? "enabled" : "disabled";
            if (!EqualsIgnoreCase(Have, Value)) Diff.push_back("interface is " + Have + ", expected " + Value);
        } else if (EqualsIgnoreCase(Key, "outstanding-bulk-in"))
            Count("outstanding bulk-in reads", D.Model->OutstandingIn(D.Model->BulkInAddress()));
        else if (EqualsIgnoreCase(Key, "outstanding-interrupt"))
            Count("outstanding interrupt reads", D.Model->OutstandingIn(D.Model->InterruptAddress()));
        else if (EqualsIgnoreCase(Key, "outstanding-bulk-out"))
            Count("outstanding bulk-out packets", D.Model->OutstandingOut());
        else if (EqualsIgnoreCase(Key, "outstanding-control"))
            Count("outstanding control transfers", D.Model->OutstandingControl());
        else if (EqualsIgnoreCase(Key, "queued-bulk-in"))
            Count("bulk-in blocks not yet delivered", D.Model->QueuedBulkIn());
        else if (EqualsIgnoreCase(Key, "resets-bulk-in"))
            Count("bulk-in pipe resets", D.Model->EndpointResets(D.Model->BulkInAddress()));
        else if (EqualsIgnoreCase(Key, "resets-bulk-out"))
            Count("bulk-out pipe resets", D.Model->EndpointResets(D.Model->BulkOutAddress()));
        else if (EqualsIgnoreCase(Key, "resets-interrupt"))
            Count("interrupt pipe resets", D.Model->EndpointResets(D.Model->InterruptAddress()));
        else if (EqualsIgnoreCase(Key, "lines")) {
            std::uint32_t Want = ParseFlags(Value, ControlLineFlags(), "control line");
            std::uint16_t Have = D.Model->ControlLineState();
            if (Have != Want)
                Diff.push_back("the device's control lines are " + FormatFlags(Have, ControlLineFlags()) +
                               ", expected " + FormatFlags(Want, ControlLineFlags()));
        } else if (EqualsIgnoreCase(Key, "break")) {
            bool Want = EqualsIgnoreCase(Value, "on");
            if (!Want && !EqualsIgnoreCase(Value, "off")) throw SyntaxError("break= takes on or off");
            if (D.Model->BreakActive() != Want)
                Diff.push_back(std::string("the device's break is ") + (Want ? "off" : "on"));
        } else if (EqualsIgnoreCase(Key, "line-coding")) {
            /* "115200,8N1" */
            std::size_t Comma = Value.find(',');
            if (Comma == std::string::npos) throw SyntaxError("line-coding= takes RATE,FORMAT such as 115200,8N1");
            std::uint32_t Rate = static_cast<std::uint32_t>(ParseUnsigned(Value.substr(0, Comma)));
            LineControl LC = ParseLineControl(Value.substr(Comma + 1));
            Bytes Want = LineCodingBytes(Rate, LC);
            Bytes Have = D.Model->LineCoding();
            if (Have != Want)
                Diff.push_back("the device's line coding is " +
                               DescribeSetup({cdc::HostToInterface, cdc::SetLineCoding, 0, 0, 7}, Have).substr(16) +
                               ", expected " + Value);
        } else {
            throw SyntaxError("a device has no property '" + Key + "'");
        }
    }
}

Action CompileExpectTag(const Statement &, ArgReader &A, std::string Target)
{
    OpExpectation X;
    for (const std::string &W : A.RemainingWords()) {
        if (EqualsIgnoreCase(W, "pending"))
            X.Pending = true;
        else if (EqualsIgnoreCase(W, "completed"))
            X.Completed = true;
        else if (EqualsIgnoreCase(W, "D0"))
            X.InD0 = true;
        else if (EqualsIgnoreCase(W, "Dx"))
            X.InD0 = false;
        else if (EqualsIgnoreCase(W, "open"))
            X.HandleOpen = true;
        else if (EqualsIgnoreCase(W, "closed"))
            X.HandleOpen = false;
        else if (auto S = ParseState(W))
            X.State = S;
        else
            X.Status = ParseStatus(W);
    }
    if (auto V = A.Option("info")) X.Info = ParseUnsigned(*V, UINT64_MAX);
    if (auto V = A.Option("data")) X.Data = ParseData(*V);
    if (auto V = A.Option("text")) {
        if (X.Data) throw SyntaxError("give data= or text=, not both");
        X.Data = ParseData(*V);
    }
    if (auto V = A.Option("at")) X.At = ParseDuration(*V);
    if (auto V = A.Option("after")) X.After = ParseDuration(*V);
    X.Other = A.RemainingOptions();
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::Entity *E = I.FindTag(Target);
        if (!E) throw SyntaxError("nothing is tagged '" + Target + "'");
        std::vector<std::string> Diff;
        switch (E->K) {
        case Impl::Kind::Device: CheckDevice(I, *E, X, Diff); break;
        case Impl::Kind::Handle: {
            if (X.HandleOpen) {
                bool Open = I.Handles[static_cast<std::size_t>(E->Handle)].Open;
                if (Open != *X.HandleOpen) Diff.push_back(std::string("handle is ") + (Open ? "open" : "closed"));
            }
            if (X.Status && E->Op->Status != *X.Status)
                Diff.push_back("open returned " + world::StatusName(E->Op->Status) + ", expected " +
                               world::StatusName(*X.Status));
            if (X.Pending || X.Info || X.Data || !X.Other.empty() || X.State)
                throw SyntaxError(Target + " is a handle; expect its open status, open or closed");
            break;
        }
        case Impl::Kind::Operation:
            if (X.State || X.InD0 || X.HandleOpen)
                throw SyntaxError(Target + " is an operation, not a device or handle");
            CheckOperation(*E, X, Diff);
            break;
        }
        I.Check(Diff);
    });
}

Action CompileExpectBulkOut(const Statement &, ArgReader &A)
{
    std::string What = A.Word("the bytes expected on bulk-OUT, or none");
    bool None = EqualsIgnoreCase(What, "none");
    Bytes Want = None ? Bytes{} : ParseData(What);
    std::optional<std::vector<std::size_t>> Sizes;
    if (auto V = A.Option("sizes")) {
        Sizes.emplace();
        std::stringstream SS(*V);
        std::string Part;
        while (std::getline(SS, Part, ',')) Sizes->push_back(ParseUnsigned(Part, 1u << 20));
    }
    auto Dev = OptString(A, "dev");
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::DeviceEntry &D = I.Device(Ptr(Dev));
        Bytes Got = std::move(D.BulkOutBytes);
        std::vector<std::size_t> GotSizes = std::move(D.BulkOutSizes);
        std::uint64_t Dropped = D.BulkOutBytesDropped, DroppedSizes = D.BulkOutSizesDropped;
        D.BulkOutBytes.clear();
        D.BulkOutSizes.clear();
        D.BulkOutBytesDropped = D.BulkOutSizesDropped = 0;
        std::vector<std::string> Diff;
        if (Dropped || DroppedSizes) {
            Diff.push_back("bulk-OUT carried " + std::to_string(Dropped + Got.size()) + " bytes in " +
                           std::to_string(DroppedSizes + GotSizes.size()) + " packets since the last expectation, " +
                           "more than the " + std::to_string(kExpectWindow) + " it keeps to compare");
            I.Check(Diff);
            return;
        }
        if (None && (!Got.empty() || !GotSizes.empty()))
            Diff.push_back("bulk-OUT carried " + FormatBytes(Got) + " in " + std::to_string(GotSizes.size()) +
                           " packets, expected nothing");
        else if (!None && Got != Want)
            Diff.push_back("bulk-OUT carried " + FormatBytes(Got) + ", expected " + FormatBytes(Want));
        if (Sizes && GotSizes != *Sizes) {
            std::vector<std::string> H, Wn;
            for (auto S : GotSizes) H.push_back(std::to_string(S));
            for (auto S : *Sizes) Wn.push_back(std::to_string(S));
            Diff.push_back("packet sizes are " + (H.empty() ? std::string("(none)") : Join(H, ",")) + ", expected " +
                           Join(Wn, ","));
        }
        I.Check(Diff);
    });
}

Action CompileExpectSetup(const Statement &, ArgReader &A)
{
    std::string Kind =
        A.Word("a class request (SET_LINE_CODING, SET_CONTROL_LINE_STATE, SEND_BREAK, 8 raw setup bytes) or none");
    bool None = EqualsIgnoreCase(Kind, "none");
    std::optional<Bytes> RawSetup;
    std::optional<std::uint8_t> Request;
    std::optional<Bytes> Data;
    std::optional<std::uint16_t> Value;
    if (!None && (Kind.front() == '<' || Kind.front() == '"')) {
        RawSetup = ParseData(Kind);
        if (RawSetup->size() != 8)
            throw SyntaxError("a setup packet has 8 bytes, not " + std::to_string(RawSetup->size()));
        if (auto V = A.Option("data")) Data = ParseData(*V);
    } else if (EqualsIgnoreCase(Kind, "SET_LINE_CODING")) {
        Request = cdc::SetLineCoding;
        if (A.HasWord()) {
            std::uint32_t Rate = static_cast<std::uint32_t>(ParseUnsigned(A.Word("a rate")));
            LineControl LC;
            bool HasFormat = A.HasWord();
            if (HasFormat) LC = ParseLineControl(A.Word("a line setting"));
            Data = LineCodingBytes(Rate, LC);
            if (!HasFormat) Data->resize(4); /* rate only */
        }
    } else if (EqualsIgnoreCase(Kind, "SET_CONTROL_LINE_STATE")) {
        Request = cdc::SetControlLineState;
        Value = static_cast<std::uint16_t>(
            ParseFlags(A.Word("the lines (DTR|RTS, or 0)"), ControlLineFlags(), "control line"));
    } else if (EqualsIgnoreCase(Kind, "SEND_BREAK")) {
        Request = cdc::SendBreak;
        std::string V = A.Word("on, off or a duration in ms");
        Value = EqualsIgnoreCase(V, "on")    ? 0xFFFF
                : EqualsIgnoreCase(V, "off") ? 0
                                             : static_cast<std::uint16_t>(ParseUnsigned(V, 0xFFFF));
    } else if (!None) {
        throw SyntaxError("unknown class request '" + Kind + "'");
    }
    std::optional<std::uint16_t> Index;
    if (auto V = A.Option("index")) Index = static_cast<std::uint16_t>(ParseUnsigned(*V, 0xFFFF));
    std::optional<std::string> Status;
    if (auto V = A.Option("status")) {
        if (!EqualsIgnoreCase(*V, "pending")) (void)ParseUsbdStatus(*V);
        Status = *V;
    }
    auto Dev = OptString(A, "dev");
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::DeviceEntry &D = I.Device(Ptr(Dev));
        auto &Requests = D.ClassRequests;
        std::vector<std::string> Diff;
        if (D.ClassRequestsDropped) {
            Diff.push_back(std::to_string(D.ClassRequestsDropped + Requests.size()) +
                           " class requests reached the device since the last expectation, more than the " +
                           std::to_string(kExpectWindow) + " it keeps to compare");
            D.ClassRequestsDropped = 0;
            Requests.clear();
            I.Check(Diff);
            return;
        }
        if (None) {
            if (!Requests.empty()) {
                const auto &R = Requests.front();
                Diff.push_back("the device got " + DescribeSetup(R.Setup, R.Data) + " (#" + std::to_string(R.Id) +
                               "), expected no class request");
                Requests.clear();
            }
            I.Check(Diff);
            return;
        }
        if (Requests.empty()) {
            Diff.push_back("no further class request reached the device");
            I.Check(Diff);
            return;
        }
        const world::TransferRecord R = Requests.front();
        Requests.pop_front();
        std::string Seen = DescribeSetup(R.Setup, R.Data) + " setup " + HexBytes(SetupBytes(R.Setup)) +
                           (R.Data.empty() ? std::string() : " data " + HexBytes(R.Data));
        if (RawSetup) {
            if (SetupBytes(R.Setup) != *RawSetup)
                Diff.push_back("setup is " + HexBytes(SetupBytes(R.Setup)) + ", expected " + HexBytes(*RawSetup));
            if (Data && R.Data != *Data)
                Diff.push_back("data is " + HexBytes(R.Data) + ", expected " + HexBytes(*Data));
        } else {
            if (R.Setup.bmRequestType != cdc::HostToInterface || R.Setup.bRequest != *Request)
                Diff.push_back("the device got " + Seen + ", expected " + Kind);
            else {
                if (Value && R.Setup.wValue != *Value) Diff.push_back("the device got " + Seen);
                if (Data) {
                    Bytes Have = R.Data;
                    if (Data->size() < Have.size()) Have.resize(Data->size());
                    if (Have != *Data) Diff.push_back("the device got " + Seen);
                }
                if (*Request == cdc::SetLineCoding && R.Setup.wLength != 7)
                    Diff.push_back("wLength is " + std::to_string(R.Setup.wLength) + ", expected 7");
            }
        }
        if (Index && R.Setup.wIndex != *Index)
            Diff.push_back("wIndex is " + std::to_string(R.Setup.wIndex) + ", expected " + std::to_string(*Index));
        if (Status) {
            std::string Have = R.CompletedAt < 0 ? "pending" : UsbdStatusName(R.Status);
            std::string Want =
                EqualsIgnoreCase(*Status, "pending") ? "pending" : UsbdStatusName(ParseUsbdStatus(*Status));
            if (Have != Want) Diff.push_back("the request ended " + Have + ", expected " + Want);
        }
        I.Check(Diff);
    });
}

/* Issues GET_MODEMSTATUS and returns the word, running due events until it completes. */
std::optional<std::uint32_t> QueryModemStatus(Impl &I, const std::string *On)
{
    Impl::HandleEntry &H = I.Handle(On);
    world::OpHandle Op = I.W.DeviceIoControl(H.Id, IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4);
    if (!Op) return std::nullopt;
    I.W.Clock().RunDue();
    I.Poll();
    if (!Op->Completed || !NT_SUCCESS(Op->Status) || Op->Information < 4 || Op->Output.size() < 4) {
        I.Fail("GET_MODEMSTATUS " +
               (Op->Completed ? "returned " + world::StatusName(Op->Status) + " info=" + std::to_string(Op->Information)
                              : std::string("did not complete")));
        return std::nullopt;
    }
    return Op->Output[0] | Op->Output[1] << 8 | Op->Output[2] << 16 | static_cast<std::uint32_t>(Op->Output[3]) << 24;
}

Action CompileExpectModem(const Statement &, ArgReader &A)
{
    std::uint32_t Want =
        ParseFlags(A.Word("the modem lines (DTR|RTS|CTS|DSR|RI|DCD, or 0)"), ModemFlags(), "modem line");
    auto On = OptString(A, "on");
    A.Finish();
    return Wrap([=](Impl &I) {
        int Before = I.FailureCount;
        auto Have = QueryModemStatus(I, Ptr(On));
        if (!Have) {
            if (I.FailureCount == Before) I.Fail("GET_MODEMSTATUS failed");
            return;
        }
        std::vector<std::string> Diff;
        if (*Have != Want)
            Diff.push_back("modem status is " + Hex32(*Have) + " (" + FormatFlags(*Have, ModemFlags()) +
                           "), expected " + Hex32(Want) + " (" + FormatFlags(Want, ModemFlags()) + ")");
        I.Check(Diff);
    });
}

Action CompileExpectSystem(ArgReader &A, std::string What)
{
    if (EqualsIgnoreCase(What, "serial-count")) {
        ULONG Want = static_cast<ULONG>(ParseUnsigned(A.Word("the expected count")));
        A.Finish();
        return Wrap([=](Impl &I) {
            ULONG Have = I.W.SerialCount();
            I.Check(Have == Want ? std::vector<std::string>{}
                                 : std::vector<std::string>{"SerialCount is " + std::to_string(Have) + ", expected " +
                                                            std::to_string(Want)});
        });
    }
    if (EqualsIgnoreCase(What, "serialcomm")) {
        std::optional<std::size_t> Count;
        if (auto V = A.Option("count")) Count = ParseUnsigned(*V, 1u << 20);
        std::optional<std::string> Name;
        std::optional<world::RegistryValue> Value;
        bool Absent = false;
        if (A.HasWord()) {
            std::string W = A.Word("a value name");
            if (EqualsIgnoreCase(W, "empty"))
                Count = 0;
            else {
                Name = ParseText(W);
                std::string Next = A.Word("= VALUE, or none");
                if (EqualsIgnoreCase(Next, "none"))
                    Absent = true;
                else if (Next == "=") {
                    std::string V = A.Word("the expected value");
                    world::RegistryValue R;
                    if (IsQuoted(V)) {
                        R.Type = REG_SZ;
                        R.Data = Utf16Bytes(ParseText(V), false);
                    } else {
                        R = ParseRegistryValue(V);
                    }
                    Value = R;
                } else {
                    throw SyntaxError("expected '= VALUE' or 'none' after the value name");
                }
            }
        }
        if (!Count && !Name) throw SyntaxError("expect serialcomm needs NAME = VALUE, NAME none, empty or count=N");
        A.Finish();
        return Wrap([=](Impl &I) {
            auto Map = I.W.DeviceMap(u"SERIALCOMM");
            std::vector<std::string> Diff;
            if (Count && Map.size() != *Count) {
                std::string Names;
                for (const auto &[K, V] : Map) Names += " " + FromUtf16(K) + "=" + DescribeRegistryValue(V);
                Diff.push_back("SERIALCOMM holds " + std::to_string(Map.size()) + " values" +
                               (Names.empty() ? "" : ":" + Names) + ", expected " + std::to_string(*Count));
            }
            if (Name) {
                auto It = Map.find(ToUtf16(*Name));
                if (Absent && It != Map.end())
                    Diff.push_back(*Name + " is " + DescribeRegistryValue(It->second) + ", expected no value");
                if (Value) {
                    if (It == Map.end())
                        Diff.push_back("SERIALCOMM has no value " + *Name);
                    else if (It->second.Type != Value->Type || It->second.Data != Value->Data)
                        Diff.push_back(*Name + " is " + DescribeRegistryValue(It->second) + ", expected " +
                                       DescribeRegistryValue(*Value));
                }
            }
            I.Check(Diff);
        });
    }
    if (EqualsIgnoreCase(What, "link")) {
        std::string Port = ParseText(A.Word("a port name such as COM5"));
        std::string Target = ParseText(A.Word("the link's target, or none"));
        A.Finish();
        std::string Link = !Port.empty() && Port[0] == '\\' ? Port : "\\DosDevices\\" + Port;
        return Wrap([=](Impl &I) {
            auto Have = I.W.SymbolicLink(ToUtf16(Link));
            std::vector<std::string> Diff;
            if (EqualsIgnoreCase(Target, "none")) {
                if (Have) Diff.push_back(Link + " links to " + FromUtf16(*Have) + ", expected no link");
            } else if (!Have)
                Diff.push_back(Link + " does not exist");
            else if (FromUtf16(*Have) != Target)
                Diff.push_back(Link + " links to " + FromUtf16(*Have) + ", expected " + Target);
            I.Check(Diff);
        });
    }
    if (EqualsIgnoreCase(What, "name")) {
        std::string Name = ParseText(A.Word("an NT name"));
        std::string Want = A.Word("exists or none");
        if (!EqualsIgnoreCase(Want, "exists") && !EqualsIgnoreCase(Want, "none"))
            throw SyntaxError("expect name NAME takes exists or none");
        bool Exists = EqualsIgnoreCase(Want, "exists");
        A.Finish();
        return Wrap([=](Impl &I) {
            bool Have = I.W.NameExists(ToUtf16(Name));
            I.Check(Have == Exists ? std::vector<std::string>{}
                                   : std::vector<std::string>{Name + (Have ? " exists" : " does not exist")});
        });
    }
    if (EqualsIgnoreCase(What, "pool")) {
        std::optional<std::size_t> Blocks, BytesWanted;
        if (A.HasWord()) Blocks = ParseUnsigned(A.Word("a block count"), 1u << 30);
        if (auto V = A.Option("blocks")) Blocks = ParseUnsigned(*V, 1u << 30);
        if (auto V = A.Option("bytes")) BytesWanted = ParseUnsigned(*V, UINT64_MAX);
        ULONG Tag = 0;
        if (auto V = A.Option("tag")) Tag = PoolTag(ParseText(*V));
        if (!Blocks && !BytesWanted) Blocks = 0;
        A.Finish();
        return Wrap([=](Impl &I) {
            std::vector<std::string> Diff;
            /* The driver's own pool and its framework memory objects, as the
               pool shows them under their tags. */
            std::size_t HaveBlocks = I.W.PoolBlocksOutstanding(Tag) + I.W.MemoryBlocksOutstanding(Tag);
            std::size_t HaveBytes = I.W.PoolBytesOutstanding(Tag) + I.W.MemoryBytesOutstanding(Tag);
            if (Blocks && HaveBlocks != *Blocks)
                Diff.push_back(std::to_string(HaveBlocks) + " pool blocks (" + std::to_string(HaveBytes) +
                               " bytes) outstanding, expected " + std::to_string(*Blocks));
            if (BytesWanted && HaveBytes != *BytesWanted)
                Diff.push_back(std::to_string(HaveBytes) + " pool bytes outstanding, expected " +
                               std::to_string(*BytesWanted));
            I.Check(Diff);
        });
    }
    if (EqualsIgnoreCase(What, "objects")) {
        std::size_t Want = ParseUnsigned(A.Word("the number of live framework objects"), 1u << 30);
        A.Finish();
        return Wrap([=](Impl &I) {
            std::size_t Have = I.W.LiveObjects();
            I.Check(Have == Want
                        ? std::vector<std::string>{}
                        : std::vector<std::string>{std::to_string(Have) + " framework objects live, expected " +
                                                   std::to_string(Want)});
        });
    }
    if (EqualsIgnoreCase(What, "verifier")) {
        std::string W = A.Word("none, or a piece of the expected report");
        bool None = EqualsIgnoreCase(W, "none");
        std::string Piece = None ? std::string() : ParseText(W);
        A.Finish();
        return Wrap([=](Impl &I) {
            I.PollVerifier();
            std::vector<std::string> Diff;
            if (None) {
                for (const auto &R : I.Unclaimed) Diff.push_back("verifier reported: " + R.Text);
                I.Unclaimed.clear();
            } else {
                auto It = std::find_if(I.Unclaimed.begin(), I.Unclaimed.end(), [&](const Impl::VerifierReport &R) {
                    return R.Text.find(Piece) != std::string::npos;
                });
                if (It == I.Unclaimed.end())
                    Diff.push_back("no verifier report contains \"" + Piece + "\"");
                else
                    I.Unclaimed.erase(It);
            }
            I.Check(Diff);
        });
    }
    if (EqualsIgnoreCase(What, "trace")) {
        std::string Piece = ParseText(A.Word("a piece of the expected trace message"));
        A.Finish();
        return Wrap([=](Impl &I) {
            const std::uint64_t End = I.TraceBase + I.Traces.size();
            for (std::uint64_t K = std::max(I.TraceCursor, I.TraceBase); K < End; ++K) {
                if (I.Traces[static_cast<std::size_t>(K - I.TraceBase)].find(Piece) != std::string::npos) {
                    I.TraceCursor = K + 1;
                    I.Check({});
                    return;
                }
            }
            I.Check({"no trace message since the last match contains \"" + Piece + "\""});
        });
    }
    throw SyntaxError("unknown expectation '" + What + "'");
}

Action CompileExpect(const Statement &S, ArgReader &A)
{
    std::string What =
        A.Word("what to check: an operation, device or handle tag, or bulk-out, setup, modem, serial-count, "
               "serialcomm, link, name, pool, objects, verifier, trace");
    if (EqualsIgnoreCase(What, "bulk-out")) return CompileExpectBulkOut(S, A);
    if (EqualsIgnoreCase(What, "setup")) return CompileExpectSetup(S, A);
    if (EqualsIgnoreCase(What, "modem")) return CompileExpectModem(S, A);
    if (IsReservedExpectWord(What)) return CompileExpectSystem(A, What);
    return CompileExpectTag(S, A, What);
}

} // namespace sim::verbs
