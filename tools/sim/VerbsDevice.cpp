/*
 * VerbsDevice.cpp - the device's side: bulk-IN data, interrupt transfers and notifications, reader failures, answers.
 */
#include "SessionImpl.h"

namespace sim::verbs {

/* ---------------- the device's side ---------------- */

Action CompileBulkIn(const Statement &, ArgReader &A)
{
    std::string What = A.Word("the bytes the device sends (or zlp)");
    Bytes Data = EqualsIgnoreCase(What, "zlp") ? Bytes{} : ParseData(What);
    VirtualTime After = OptDuration(A, "after", 0);
    auto Dev = OptString(A, "dev");
    std::optional<std::uint8_t> Endpoint;
    if (auto V = A.Option("endpoint")) Endpoint = static_cast<std::uint8_t>(ParseUnsigned(*V, 0xFF));
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::DeviceEntry &D = I.Device(Ptr(Dev));
        I.Emit(I.Now(), "dev",
               D.Name + ": bulk-in " + (Data.empty() ? std::string("zero-length packet") : FormatBytes(Data)) +
                   (After ? " after " + FormatDuration(After) : std::string()) +
                   (Endpoint ? " on endpoint " + std::to_string(*Endpoint) : std::string()));
        if (Endpoint)
            D.Model->SendBulkInTo(*Endpoint, Data, After);
        else
            D.Model->SendBulkIn(Data, After);
    });
}

Action CompileInterrupt(const Statement &, ArgReader &A)
{
    Bytes Data = ParseData(A.Word("the bytes of the interrupt transfer"));
    VirtualTime After = OptDuration(A, "after", 0);
    auto Dev = OptString(A, "dev");
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::DeviceEntry &D = I.Device(Ptr(Dev));
        I.Emit(I.Now(), "dev",
               D.Name + ": interrupt " + HexBytes(Data) + (After ? " after " + FormatDuration(After) : std::string()));
        D.Model->SendInterrupt(Data, After);
    });
}

Action CompileNotify(const Statement &S, ArgReader &A)
{
    std::uint8_t Code = 0;
    std::uint16_t Value = 0;
    Bytes Data;
    if (S.Verb == "serial-state") {
        Code = cdc::SerialState;
        std::uint32_t Bits = ParseFlags(
            A.Word("the UART state bits (rxcarrier|txcarrier|break|ring|framing|parity|overrun, or a number)"),
            SerialStateFlags(), "serial state bit");
        if (Bits > 0xFFFF) throw SyntaxError("the UART state bitmap has 16 bits");
        Data = {static_cast<std::uint8_t>(Bits), static_cast<std::uint8_t>(Bits >> 8)};
    } else if (S.Verb == "network-connection") {
        Code = cdc::NetworkConnection;
        std::string W = A.Word("connected or disconnected");
        if (EqualsIgnoreCase(W, "connected"))
            Value = 1;
        else if (EqualsIgnoreCase(W, "disconnected"))
            Value = 0;
        else
            Value = static_cast<std::uint16_t>(ParseUnsigned(W, 0xFFFF));
    } else if (S.Verb == "response-available") {
        Code = cdc::ResponseAvailable;
    } else {
        std::string C =
            A.Word("a notification code (SERIAL_STATE, NETWORK_CONNECTION, RESPONSE_AVAILABLE or a number)");
        if (EqualsIgnoreCase(C, "SERIAL_STATE"))
            Code = cdc::SerialState;
        else if (EqualsIgnoreCase(C, "NETWORK_CONNECTION"))
            Code = cdc::NetworkConnection;
        else if (EqualsIgnoreCase(C, "RESPONSE_AVAILABLE"))
            Code = cdc::ResponseAvailable;
        else
            Code = static_cast<std::uint8_t>(ParseUnsigned(C, 0xFF));
        if (auto V = A.Option("value")) Value = static_cast<std::uint16_t>(ParseUnsigned(*V, 0xFFFF));
        if (auto V = A.Option("data")) Data = ParseData(*V);
    }
    VirtualTime After = OptDuration(A, "after", 0);
    auto Dev = OptString(A, "dev");
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::DeviceEntry &D = I.Device(Ptr(Dev));
        Bytes Whole = {cdc::InterfaceToHost,
                       Code,
                       static_cast<std::uint8_t>(Value),
                       static_cast<std::uint8_t>(Value >> 8),
                       0,
                       0,
                       static_cast<std::uint8_t>(Data.size()),
                       static_cast<std::uint8_t>(Data.size() >> 8)};
        Whole.insert(Whole.end(), Data.begin(), Data.end());
        I.Emit(I.Now(), "dev",
               D.Name + ": notify " + DescribeNotification(Whole) +
                   (After ? " after " + FormatDuration(After) : std::string()));
        D.Model->SendNotification(Code, Value, Data, After);
    });
}

Action CompileFailIn(const Statement &, ArgReader &A)
{
    std::string Which = A.Word("bulk-in, interrupt, or an endpoint address");
    std::optional<std::uint8_t> Endpoint;
    if (EqualsIgnoreCase(Which, "bulk-in"))
        Endpoint.reset();
    else if (EqualsIgnoreCase(Which, "interrupt"))
        Endpoint = 0;
    else
        Endpoint = static_cast<std::uint8_t>(ParseUnsigned(Which, 0xFF));
    bool Interrupt = EqualsIgnoreCase(Which, "interrupt");
    USBD_STATUS Status = USBD_STATUS_DEV_NOT_RESPONDING;
    if (A.HasWord()) Status = ParseUsbdStatus(A.Word("a USB status"));
    if (auto V = A.Option("status")) Status = ParseUsbdStatus(*V);
    auto Dev = OptString(A, "dev");
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::DeviceEntry &D = I.Device(Ptr(Dev));
        std::uint8_t Ep = Interrupt ? D.Model->InterruptAddress() : Endpoint.value_or(D.Model->BulkInAddress());
        char Buffer[8];
        std::snprintf(Buffer, sizeof Buffer, "0x%02x", Ep);
        I.Emit(I.Now(), "dev", D.Name + ": next read on " + Buffer + " fails with " + UsbdStatusName(Status));
        D.Model->FailNextIn(Ep, Status);
        I.Poll();
    });
}

Action CompileAnswer(const Statement &, ArgReader &A)
{
    std::string Which = A.Word("control or bulk-out");
    bool Control;
    if (EqualsIgnoreCase(Which, "control"))
        Control = true;
    else if (EqualsIgnoreCase(Which, "bulk-out"))
        Control = false;
    else
        throw SyntaxError("answer applies to control or bulk-out, not '" + Which + "'");
    bool Default = A.Flag("default");
    std::string Kind = A.Word("how to answer (accept, partial N, stall, fail [STATUS], late DURATION, never)");
    world::AnswerSpec Spec;
    if (EqualsIgnoreCase(Kind, "accept"))
        Spec.Kind = world::Answer::Accept;
    else if (EqualsIgnoreCase(Kind, "partial")) {
        Spec.Kind = world::Answer::Partial;
        Spec.AcceptBytes = ParseUnsigned(A.Word("the number of bytes the device takes"), 1u << 20);
    } else if (EqualsIgnoreCase(Kind, "stall"))
        Spec.Kind = world::Answer::Stall;
    else if (EqualsIgnoreCase(Kind, "fail")) {
        Spec.Kind = world::Answer::Fail;
        Spec.Status = USBD_STATUS_DEV_NOT_RESPONDING;
        if (A.HasWord()) Spec.Status = ParseUsbdStatus(A.Word("a USB status"));
    } else if (EqualsIgnoreCase(Kind, "late")) {
        Spec.Kind = world::Answer::Accept;
        Spec.Delay = ParseDuration(A.Word("how late (a duration)"));
    } else if (EqualsIgnoreCase(Kind, "never"))
        Spec.Kind = world::Answer::Never;
    else
        throw SyntaxError("unknown answer '" + Kind +
                          "' (accept, partial N, stall, fail [STATUS], late DURATION, never)");
    if (auto V = A.Option("delay")) Spec.Delay = ParseDuration(*V);
    if (auto V = A.Option("status")) Spec.Status = ParseUsbdStatus(*V);
    auto Dev = OptString(A, "dev");
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::DeviceEntry &D = I.Device(Ptr(Dev));
        std::string How;
        switch (Spec.Kind) {
        case world::Answer::Accept: How = "accept"; break;
        case world::Answer::Partial: How = "take " + std::to_string(Spec.AcceptBytes) + " bytes"; break;
        case world::Answer::Stall: How = "stall"; break;
        case world::Answer::Fail: How = "fail with " + UsbdStatusName(Spec.Status); break;
        case world::Answer::Never: How = "never answer"; break;
        }
        if (Spec.Delay) How += " after " + FormatDuration(Spec.Delay);
        I.Emit(I.Now(), "dev",
               D.Name + ": " + (Default ? "every " : "next ") + (Control ? "class request" : "bulk-out packet") +
                   (Default ? "s: " : ": ") + How);
        if (Control) {
            if (Default)
                D.Model->SetDefaultControlAnswer(Spec);
            else
                D.Model->QueueControlAnswer(Spec);
        } else {
            if (Default)
                D.Model->SetDefaultBulkOutAnswer(Spec);
            else
                D.Model->QueueBulkOutAnswer(Spec);
        }
    });
}

} // namespace sim::verbs
