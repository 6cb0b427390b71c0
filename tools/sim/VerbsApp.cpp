/*
 * VerbsApp.cpp - the application's verbs: open, close, read, write, control codes, flush, file information, cancel.
 */
#include "SessionImpl.h"

namespace sim::verbs {

/* ---------------- the application ---------------- */

Action CompileOpen(const Statement &S, ArgReader &A)
{
    std::string Port = ParseText(A.Word("a port name such as COM5, or an NT name"));
    A.Finish();
    std::string Tag = S.Tag.empty() ? Port : S.Tag;
    if (IsReservedExpectWord(Tag)) throw SyntaxError("'" + Tag + "' cannot name a handle; add a tag");
    return Wrap([=](Impl &I) {
        for (auto &H : I.Handles)
            if (H.Name == Tag && H.Open)
                throw SyntaxError("handle '" + Tag + "' is open; give the second open its own tag (h2: open ...)");
        I.Emit(I.Now(), "app", Tag + ": open " + Port);
        world::FileHandle Id = 0;
        NTSTATUS Status = I.W.Open(ToUtf16(Port), &Id);
        Impl::HandleEntry *H = nullptr;
        for (auto &Existing : I.Handles)
            if (Existing.Name == Tag) H = &Existing;
        if (!H) {
            I.Handles.push_back({});
            H = &I.Handles.back();
        }
        H->Name = Tag;
        H->Port = Port;
        H->Id = NT_SUCCESS(Status) ? Id : 0;
        H->Open = NT_SUCCESS(Status);
        if (NT_SUCCESS(Status)) I.LastHandle = static_cast<int>(H - &I.Handles[0]);
        Impl::Entity &E = I.NewEntity(Impl::Kind::Handle, Tag);
        E.Handle = static_cast<int>(H - &I.Handles[0]);
        E.Op = I.Result(Status);
        I.Poll();
        I.Emit(I.Now(), "app", Tag + ": -> " + world::StatusName(Status));
    });
}

Action CompileClose(const Statement &S, ArgReader &A)
{
    const std::string *Word = A.OptionalWord();
    auto Name = Word ? std::optional<std::string>(*Word) : std::nullopt;
    A.Finish();
    std::string Tag = S.Tag;
    return Wrap([=](Impl &I) {
        Impl::HandleEntry &H = I.Handle(Ptr(Name));
        I.Emit(I.Now(), "app", H.Name + ": close");
        NTSTATUS Status = I.W.Close(H.Id);
        H.Open = false;
        I.Poll();
        I.Emit(I.Now(), "app", H.Name + ": -> " + world::StatusName(Status));
        if (!Tag.empty()) I.NewEntity(Impl::Kind::Operation, Tag).Op = I.Result(Status);
    });
}

/* Issues an operation on a handle and tracks it under the statement's tag. */
Body Issue(const Statement &S, std::optional<std::string> On, std::string Description,
           std::function<world::OpHandle(Impl &, world::FileHandle)> Call, const Layout *Output, bool ShowData)
{
    std::string Tag = S.Tag;
    if (!Tag.empty() && IsReservedExpectWord(Tag)) throw SyntaxError("'" + Tag + "' cannot name an operation");
    return [=](Impl &I) {
        Impl::HandleEntry &H = I.Handle(Ptr(On));
        Impl::Entity &E = I.NewEntity(Impl::Kind::Operation, Tag);
        E.OutputLayout = Output;
        E.ShowData = ShowData;
        I.Emit(I.Now(), "app", E.Tag + ": " + Description + (On ? " on " + *On : std::string()));
        world::OpHandle Op = Call(I, H.Id);
        if (!Op) throw SyntaxError("the I/O manager returned no operation");
        Op->Tag = E.Tag;
        I.Track(E, Op);
    };
}

Action CompileRead(const Statement &S, ArgReader &A)
{
    std::size_t Length = ParseUnsigned(A.Word("a length"), 1u << 24);
    auto On = OptString(A, "on");
    A.Finish();
    return Wrap(Issue(
        S, On, "read " + std::to_string(Length), [=](Impl &I, world::FileHandle H) { return I.W.Read(H, Length); },
        nullptr, true));
}

Action CompileWrite(const Statement &S, ArgReader &A)
{
    Bytes Data = ParseData(A.Word("the bytes to write"));
    auto On = OptString(A, "on");
    A.Finish();
    return Wrap(Issue(
        S, On, "write " + FormatBytes(Data), [=](Impl &I, world::FileHandle H) { return I.W.Write(H, Data); }, nullptr,
        false));
}

/* Builds an input buffer from a layout and the statement's field options. */
Bytes BuildInput(const IoctlInfo &Info, ArgReader &A)
{
    const Layout &L = InputLayout(Info.Input);
    std::size_t Size = 0;
    for (const auto &F : L) Size = std::max<std::size_t>(Size, F.Offset + F.Size);
    Bytes Buffer(Size, 0);
    auto Store = [&](const FieldDef &F, std::uint64_t V) {
        for (unsigned K = 0; K < F.Size; ++K) Buffer[F.Offset + K] = static_cast<std::uint8_t>(V >> (8 * K));
    };
    /* positional short forms */
    switch (Info.Input) {
    case InputForm::BaudRate:
        if (A.HasWord()) Store(L[0], ParseUnsigned(A.Word("a baud rate")));
        break;
    case InputForm::LineControl:
        if (A.HasWord()) {
            LineControl LC = ParseLineControl(A.Word("a line setting such as 8N1"));
            Buffer = {LC.StopBits, LC.Parity, LC.WordLength};
        }
        break;
    case InputForm::QueueSize:
        if (A.HasWord()) Store(L[0], ParseUnsigned(A.Word("InSize")));
        if (A.HasWord()) Store(L[1], ParseUnsigned(A.Word("OutSize")));
        break;
    case InputForm::Mask:
        if (A.HasWord()) Store(L[0], ParseFlags(A.Word("a wait mask"), EventFlags(), "event"));
        break;
    case InputForm::Purge:
        if (A.HasWord()) Store(L[0], ParseFlags(A.Word("purge flags"), PurgeFlags(), "purge flag"));
        break;
    case InputForm::Char:
        if (A.HasWord()) Store(L[0], ParseFieldValue(L[0], A.Word("a character")));
        break;
    default: break;
    }
    /* field options, with short names for the time-outs */
    static const std::pair<const char *, const char *> Short[] = {
        {"ri", "ReadIntervalTimeout"},         {"rm", "ReadTotalTimeoutMultiplier"}, {"rc", "ReadTotalTimeoutConstant"},
        {"wm", "WriteTotalTimeoutMultiplier"}, {"wc", "WriteTotalTimeoutConstant"},
    };
    for (const auto &[Key, Value] : A.RemainingOptions()) {
        std::string Name = Key;
        for (const auto &[S, Full] : Short)
            if (Info.Input == InputForm::Timeouts && EqualsIgnoreCase(Key, S)) Name = Full;
        const FieldDef *F = FindField(L, Name);
        if (!F) {
            std::string Known;
            for (const auto &Field : L) Known += std::string(Known.empty() ? "" : " ") + Field.Name;
            throw SyntaxError(std::string("IOCTL_SERIAL_") + Info.Name + " has no field '" + Key + "'" +
                              (Known.empty() ? std::string(" (it takes no input)") : " (fields: " + Known + ")"));
        }
        Store(*F, ParseFieldValue(*F, Value));
    }
    return Buffer;
}

Action CompileIoctl(const Statement &S, ArgReader &A)
{
    bool Internal = S.Verb == "internal-ioctl";
    std::string CodeText = A.Word("a control code (a name such as SET_BAUD_RATE, or a number)");
    const IoctlInfo *Info = FindIoctl(CodeText);
    std::uint32_t Code;
    if (Info)
        Code = Info->Code;
    else if (IsNumberWord(CodeText)) {
        Code = static_cast<std::uint32_t>(ParseUnsigned(CodeText));
        Info = Internal ? nullptr : FindIoctl(Code);
    } else {
        throw SyntaxError("unknown control code '" + CodeText +
                          "' (use a serial code name such as GET_BAUD_RATE, or a number)");
    }
    auto On = OptString(A, "on");
    std::optional<Bytes> Raw;
    if (auto V = A.Option("in")) Raw = ParseData(*V);
    std::size_t OutLength = Info && !Internal ? Info->OutputLength : 0;
    if (auto V = A.Option("out")) OutLength = ParseUnsigned(*V, 1u << 20);
    Bytes Input;
    if (Raw)
        Input = *Raw;
    else if (Info && !Internal)
        Input = BuildInput(*Info, A);
    A.Finish();
    std::string Description = (Internal ? "internal " : "") + IoctlName(Code);
    if (Info && !Raw && !Input.empty())
        Description += " " + DescribeLayout(InputLayout(Info->Input), Input, Input.size());
    else if (!Input.empty() || Raw)
        Description += " in=" + FormatBytes(Input);
    if (Info && OutLength != Info->OutputLength)
        Description += " out=" + std::to_string(OutLength);
    else if (!Info && OutLength)
        Description += " out=" + std::to_string(OutLength);
    const Layout *Output = Info ? Info->Output : nullptr;
    return Wrap(Issue(
        S, On, Description,
        [=](Impl &I, world::FileHandle H) {
            return Internal ? I.W.InternalDeviceControl(H, Code, Input, OutLength)
                            : I.W.DeviceIoControl(H, Code, Input, OutLength);
        },
        Output, false));
}

Action CompileFlush(const Statement &S, ArgReader &A)
{
    /* async: the application's thread waits in the flush while the
       scenario goes on (to cancel, purge or remove meanwhile). */
    bool Async = A.Flag("async");
    auto On = OptString(A, "on");
    A.Finish();
    return Wrap(Issue(
        S, On, Async ? "flush async" : "flush",
        [Async](Impl &I, world::FileHandle H) { return Async ? I.W.FlushAsync(H) : I.W.Flush(H); }, nullptr, false));
}

Action CompileQueryInfo(const Statement &S, ArgReader &A)
{
    std::uint32_t Class = ParseInfoClass(A.Word("an information class"));
    const InfoClass *C = FindInfoClass(Class);
    std::size_t Length = C ? C->Length : 64;
    if (auto V = A.Option("length")) Length = ParseUnsigned(*V, 1u << 20);
    auto On = OptString(A, "on");
    A.Finish();
    std::string Name = C ? C->Name : "class " + std::to_string(Class);
    return Wrap(Issue(
        S, On, "query-info " + Name + " length=" + std::to_string(Length),
        [=](Impl &I, world::FileHandle H) { return I.W.QueryInformation(H, Class, Length); }, C ? C->Output : nullptr,
        false));
}

Action CompileSetInfo(const Statement &S, ArgReader &A)
{
    std::uint32_t Class = ParseInfoClass(A.Word("an information class"));
    const InfoClass *C = FindInfoClass(Class);
    Bytes Input(C ? C->Length : 8, 0);
    if (auto V = A.Option("in")) Input = ParseData(*V);
    auto On = OptString(A, "on");
    A.Finish();
    std::string Name = C ? C->Name : "class " + std::to_string(Class);
    return Wrap(Issue(
        S, On, "set-info " + Name + " in=" + FormatBytes(Input),
        [=](Impl &I, world::FileHandle H) { return I.W.SetInformation(H, Class, Input); }, nullptr, false));
}

Action CompileCancel(const Statement &, ArgReader &A)
{
    std::string Target = A.Word("the tag of the operation to cancel");
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::Entity *E = I.FindTag(Target);
        if (!E || E->K != Impl::Kind::Operation || !E->Op) throw SyntaxError("no operation tagged '" + Target + "'");
        bool Cancelled = I.W.Cancel(E->Op);
        I.Emit(I.Now(), "app", Target + ": cancel" + (Cancelled ? std::string() : " (already completed)"));
        I.Poll();
    });
}

} // namespace sim::verbs
