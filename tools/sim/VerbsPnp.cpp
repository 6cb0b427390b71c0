/*
 * VerbsPnp.cpp - the verbs of the device's PnP life, system power, faults in the kit and the system tick.
 */
#include "SessionImpl.h"
#include <cstdint>

namespace sim::verbs {

/* ---------------- the device and PnP ---------------- */

Action CompileAdd(const Statement &S, ArgReader &A)
{
    world::CdcAcmOptions O;
    world::HardwareKey Key;
    bool Start = !A.Flag("nostart");
    if (auto V = A.Option("interfaces")) {
        O.Interfaces = static_cast<int>(ParseUnsigned(*V, 2));
        if (O.Interfaces < 1) throw SyntaxError("interfaces must be 1 or 2");
    }
    if (auto V = A.Option("comm")) O.CommInterfaceNumber = static_cast<std::uint8_t>(ParseUnsigned(*V, 255));
    if (auto V = A.Option("data")) O.DataInterfaceNumber = static_cast<std::uint8_t>(ParseUnsigned(*V, 255));
    auto Endpoint = [&](const char *Name, std::uint16_t &Size, bool &Present) {
        if (auto V = A.Option(Name)) {
            if (EqualsIgnoreCase(*V, "none"))
                Present = false;
            else {
                Size = static_cast<std::uint16_t>(ParseUnsigned(*V, 1024));
                if (Size == 0) throw SyntaxError(std::string(Name) + " packet size must be 1..1024, or none");
            }
        }
    };
    Endpoint("bulk-in", O.BulkInPacket, O.BulkInEndpoint);
    Endpoint("bulk-out", O.BulkOutPacket, O.BulkOutEndpoint);
    Endpoint("interrupt", O.InterruptPacket, O.InterruptEndpoint);
    O.RemoteWake = A.Flag("remote-wake");
    O.Loopback = A.Flag("loopback");
    O.LoopbackPlug = A.Flag("loopback-plug");
    O.LineRate = A.Flag("line-rate");
    O.ExtraIsochronousIn = A.Flag("iso-in");
    if (auto V = A.Option("extra-bulk-in")) O.ExtraBulkIn = static_cast<int>(ParseUnsigned(*V, 8));
    if (auto V = A.Option("extra-bulk-out")) O.ExtraBulkOut = static_cast<int>(ParseUnsigned(*V, 8));
    if (auto V = A.Option("extra-interrupt")) O.ExtraInterruptIn = static_cast<int>(ParseUnsigned(*V, 8));
    if (auto V = A.Option("extra-interrupt-out")) O.ExtraInterruptOut = static_cast<int>(ParseUnsigned(*V, 8));
    if (auto V = A.Option("total-length"))
        O.ReportedTotalLength = static_cast<std::uint16_t>(ParseUnsigned(*V, 0xFFFF));
    for (const char *Name : {"PortName", "Identifier", "DriverMode"})
        if (auto V = A.Option(Name)) Key[ToUtf16(Name)] = ParseRegistryValue(*V);
    for (const auto &[Name, Value] : A.OptionsWithPrefix("reg.")) Key[ToUtf16(Name)] = ParseRegistryValue(Value);
    A.Finish();
    std::string Described = ArgumentsText(S);
    std::string Tag = S.Tag;
    if (!Tag.empty() && IsReservedExpectWord(Tag)) throw SyntaxError("'" + Tag + "' cannot name a device");
    return Wrap([=](Impl &I) {
        std::string Name = Tag.empty() ? "dev" + std::to_string(I.Devices.size() + 1) : Tag;
        for (const auto &D : I.Devices)
            if (D.Name == Name) throw SyntaxError("a device named '" + Name + "' exists already");
        auto Model = std::make_shared<world::CdcAcmDevice>(O);
        I.Emit(I.Now(), "pnp", Name + ": add" + (Described.empty() ? "" : " " + Described));
        Impl::DeviceEntry D;
        D.Name = Name;
        D.Model = Model;
        D.AddedAt = I.Now();
        D.Address = static_cast<std::uint8_t>(I.Opt.FirstDeviceAddress + I.Devices.size());
        D.Ordinal = I.Devices.size();
        I.Devices.push_back(D);
        /* the session follows the transfers as they happen: the model's log keeps only a window */
        Model->ObserveTransfers([&I, Index = D.Ordinal](const world::TransferRecord &R) { I.Observe(Index, R); });
        world::DeviceNode *Node = I.W.AddDevice(Model, Key, Start);
        I.Devices.back().Node = Node;
        Impl::Entity &E = I.NewEntity(Impl::Kind::Device, Name);
        E.Device = static_cast<int>(I.Devices.size() - 1);
        if (!Node) {
            E.Op = I.Result(STATUS_UNSUCCESSFUL);
            I.Emit(I.Now(), "pnp", Name + ": -> the PnP manager returned no device node");
            return;
        }
        E.Op = I.Result(Node->AddStatus);
        std::string Text = Name + ": -> " + world::StatusName(Node->AddStatus);
        if (!Node->NtName.empty()) Text += " " + FromUtf16(Node->NtName);
        Text += std::string(" ") + StateName(Node->State);
        if (Start && NT_SUCCESS(Node->AddStatus)) Text += " (start " + world::StatusName(Node->StartStatus) + ")";
        I.Poll();
        I.Emit(I.Now(), "pnp", Text);
    });
}

Action CompilePnp(const Statement &S, ArgReader &A)
{
    const std::string *Word = A.OptionalWord();
    auto Dev = Word ? std::optional<std::string>(*Word) : std::nullopt;
    A.Finish();
    std::string Verb = S.Verb, Tag = S.Tag;
    return Wrap([=](Impl &I) {
        Impl::DeviceEntry &D = I.Device(Ptr(Dev));
        if (!D.Node) throw SyntaxError("device '" + D.Name + "' has no device node");
        I.Emit(I.Now(), "pnp", D.Name + ": " + Verb);
        std::optional<NTSTATUS> Status;
        if (Verb == "start")
            Status = I.W.StartDevice(D.Node);
        else if (Verb == "stop")
            Status = I.W.StopDevice(D.Node);
        else if (Verb == "restart") {
            Status = I.W.StopDevice(D.Node);
            I.Poll();
            if (NT_SUCCESS(*Status)) Status = I.W.StartDevice(D.Node);
        } else if (Verb == "remove")
            I.W.RemoveDevice(D.Node);
        else if (Verb == "surprise-remove") {
            D.Model->Disconnect();
            I.W.SurpriseRemoveDevice(D.Node);
        } else if (Verb == "unplug")
            D.Model->Disconnect();
        I.Poll();
        std::string Text = D.Name + ": -> ";
        if (Status) Text += world::StatusName(*Status) + " ";
        Text += StateName(D.Node->State);
        Text += D.Node->Power == world::DevicePowerState::D0 ? " D0" : " Dx";
        I.Emit(I.Now(), "pnp", Text);
        if (!Tag.empty()) I.NewEntity(Impl::Kind::Operation, Tag).Op = I.Result(Status.value_or(STATUS_SUCCESS));
    });
}

Action CompileSystemPower(const Statement &S, ArgReader &A)
{
    A.Finish();
    bool Sleep = S.Verb == "suspend";
    return Wrap([=](Impl &I) {
        I.Emit(I.Now(), "pnp", Sleep ? "system sleep" : "system resume");
        if (Sleep)
            I.W.SystemSleep();
        else
            I.W.SystemResume();
        I.Poll();
        for (auto &D : I.Devices)
            if (D.Node)
                I.Emit(I.Now(), "pnp",
                       D.Name + ": " + StateName(D.Node->State) +
                           (D.Node->Power == world::DevicePowerState::D0 ? " D0" : " Dx"));
    });
}

Action CompileReserveName(const Statement &, ArgReader &A)
{
    std::string Name = ParseText(A.Word("an NT name such as \\Device\\Serial0"));
    A.Finish();
    return Wrap([=](Impl &I) {
        I.W.ReserveName(ToUtf16(Name));
        I.Emit(I.Now(), "pnp", "name " + Name + " reserved by another driver");
    });
}

Action CompileFail(const Statement &, ArgReader &A)
{
    std::string Api = A.Word("the name of a kit call, such as WdfIoQueueCreate");
    if (!world::World::CanFail(Api))
        throw SyntaxError("'" + Api + "' is not a kit call that can be failed (see docs/scenarios.md)");
    int Nth = 1;
    if (auto V = A.Option("nth")) Nth = static_cast<int>(ParseUnsigned(*V, 1'000'000));
    if (Nth < 1) throw SyntaxError("nth counts from 1");
    NTSTATUS Status = STATUS_INSUFFICIENT_RESOURCES;
    if (auto V = A.Option("status")) Status = ParseStatus(*V);
    A.Finish();
    return Wrap([=](Impl &I) {
        I.W.FailNthCall(Api, Nth, Status);
        I.Emit(I.Now(), "note",
               "call " + std::to_string(Nth) + " of " + Api + " from now fails with " + world::StatusName(Status));
    });
}

Action CompileClearFaults(const Statement &, ArgReader &A)
{
    A.Finish();
    return Wrap([](Impl &I) { I.W.ClearFaults(); });
}

Action CompileTick(const Statement &, ArgReader &A)
{
    VirtualTime Tick = ParseDuration(A.Word("a duration"));
    if (Tick <= 0) throw SyntaxError("the clock tick must be longer than 0");
    A.Finish();
    return Wrap([=](Impl &I) {
        I.W.SetClockTick(Tick);
        I.Emit(I.Now(), "note", "clock tick " + FormatDuration(Tick));
    });
}

} // namespace sim::verbs
