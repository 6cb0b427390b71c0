/*
 * VerbsNotes.cpp - notes and inspection.
 */
#include "SessionImpl.h"

namespace sim::verbs {

/* ---------------- notes and inspection ---------------- */

/* A word of note text: a quoted string decoded, any other word as written
   but with \" standing for a double quote. */
std::string NoteWord(const std::string &Word)
{
    if (!Word.empty() && Word.front() == '"') return ParseText(Word);
    std::string Out;
    for (std::size_t I = 0; I < Word.size(); ++I) {
        if (Word[I] == '\\' && I + 1 < Word.size() && Word[I + 1] == '"') ++I;
        Out += Word[I];
    }
    return Out;
}

Action CompileNote(const Statement &, ArgReader &A)
{
    std::vector<std::string> Parts;
    for (const auto &W : A.RemainingWords()) Parts.push_back(NoteWord(W));
    for (const auto &[K, V] : A.RemainingOptions()) Parts.push_back(K + "=" + NoteWord(V));
    A.Finish();
    std::string Text = Join(Parts);
    return Wrap([=](Impl &I) { I.Emit(I.Now(), "note", Text); });
}

Action CompileShow(const Statement &, ArgReader &A)
{
    std::string What = A.Word("devices, serialcomm, pool, modem, time or wire");
    auto On = OptString(A, "on");
    A.Finish();
    static const char *Known[] = {"devices", "serialcomm", "pool", "modem", "time", "wire"};
    if (std::none_of(std::begin(Known), std::end(Known), [&](const char *K) { return EqualsIgnoreCase(What, K); }))
        throw SyntaxError("show takes devices, serialcomm, pool, modem, time or wire");
    return Wrap([=](Impl &I) {
        auto Say = [&](const std::string &T) { I.Emit(I.Now(), "show", T); };
        if (EqualsIgnoreCase(What, "devices")) {
            if (I.Devices.empty()) Say("no devices");
            for (auto &D : I.Devices) {
                if (!D.Node) continue;
                Say(D.Name + ": " + FromUtf16(D.Node->NtName) + " " + StateName(D.Node->State) +
                    (D.Node->Power == world::DevicePowerState::D0 ? " D0" : " Dx") + " add " +
                    world::StatusName(D.Node->AddStatus) + " start " + world::StatusName(D.Node->StartStatus) +
                    (D.Model->Connected() ? "" : " unplugged"));
            }
            Say("SerialCount " + std::to_string(I.W.SerialCount()));
        } else if (EqualsIgnoreCase(What, "serialcomm")) {
            auto Map = I.W.DeviceMap(u"SERIALCOMM");
            if (Map.empty()) Say("SERIALCOMM is empty");
            for (const auto &[K, V] : Map) Say("SERIALCOMM " + FromUtf16(K) + " = " + DescribeRegistryValue(V));
        } else if (EqualsIgnoreCase(What, "pool")) {
            Say(std::to_string(I.W.PoolBlocksOutstanding()) + " pool blocks, " +
                std::to_string(I.W.PoolBytesOutstanding()) + " bytes outstanding; " +
                std::to_string(I.W.MemoryBlocksOutstanding()) + " memory objects, " +
                std::to_string(I.W.MemoryBytesOutstanding()) + " bytes; " + std::to_string(I.W.LiveObjects()) +
                " framework objects live");
        } else if (EqualsIgnoreCase(What, "modem")) {
            if (auto M = QueryModemStatus(I, Ptr(On)))
                Say("modem status " + Hex32(*M) + " (" + FormatFlags(*M, ModemFlags()) + ")");
        } else if (EqualsIgnoreCase(What, "time")) {
            Say("virtual time " + FormatDuration(I.Now()) + ", " + std::to_string(I.W.Clock().Pending()) +
                " events pending");
        } else {
            for (auto &D : I.Devices)
                Say(D.Name + ": outstanding bulk-in " +
                    std::to_string(D.Model->OutstandingIn(D.Model->BulkInAddress())) + ", interrupt " +
                    std::to_string(D.Model->OutstandingIn(D.Model->InterruptAddress())) + ", bulk-out " +
                    std::to_string(D.Model->OutstandingOut()) + ", control " +
                    std::to_string(D.Model->OutstandingControl()) + "; bulk-in blocks queued " +
                    std::to_string(D.Model->QueuedBulkIn()));
        }
    });
}

} // namespace sim::verbs
