/*
 * Verbs.cpp - the verb table (one row per verb: name, compiler, summary)
 * and the compiler that reads a program through it.
 */
#include "SessionImpl.h"

namespace sim {

namespace {
using namespace verbs;

/* ---------------- the verb table ---------------- */

struct VerbDef {
    const char *Name;
    Action (*Compile)(const Statement &, ArgReader &);
    const char *Summary;
};

const std::vector<VerbDef> &Verbs()
{
    static const std::vector<VerbDef> Table = {
        {"processors", CompileProcessors, "processors N   (simulated processors; before every other statement)"},
        {"seed", CompileProcessors, "seed S   (the processors' schedule seed)"},
        {"schedule", CompileProcessors, "schedule random|priority"},
        {"add", CompileAdd,
         "[TAG:] add [loopback|loopback-plug] [line-rate] [interfaces=1|2] [bulk-in=N|none] ... [PortName=\"COM5\"] "
         "[reg.NAME=VALUE] [nostart]"},
        {"start", CompilePnp, "start [DEVICE]"},
        {"stop", CompilePnp, "stop [DEVICE]"},
        {"restart", CompilePnp, "restart [DEVICE]   (stop, then start)"},
        {"remove", CompilePnp, "remove [DEVICE]"},
        {"surprise-remove", CompilePnp, "surprise-remove [DEVICE]   (unplug and tell the PnP manager)"},
        {"unplug", CompilePnp, "unplug [DEVICE]   (the device stops answering; PnP is not told)"},
        {"suspend", CompileSystemPower, "suspend   (system sleep: every device leaves D0)"},
        {"resume", CompileSystemPower, "resume"},
        {"reserve-name", CompileReserveName, "reserve-name \\Device\\Serial0"},
        {"fail", CompileFail, "fail KITCALL [nth=N] [status=STATUS]"},
        {"clear-faults", CompileClearFaults, "clear-faults"},
        {"tick", CompileTick, "tick DURATION   (the system clock tick, 15.625ms by default)"},
        {"open", CompileOpen, "[TAG:] open COM5"},
        {"close", CompileClose, "close [HANDLE]"},
        {"read", CompileRead, "[TAG:] read LENGTH [on=HANDLE]"},
        {"write", CompileWrite, "[TAG:] write DATA [on=HANDLE]"},
        {"ioctl", CompileIoctl, "[TAG:] ioctl CODE [ARGS] [FIELD=VALUE] [in=DATA] [out=N] [on=HANDLE]"},
        {"internal-ioctl", CompileIoctl, "[TAG:] internal-ioctl CODE [in=DATA] [out=N] [on=HANDLE]"},
        {"flush", CompileFlush, "[TAG:] flush [async] [on=HANDLE]"},
        {"query-info", CompileQueryInfo, "[TAG:] query-info CLASS [length=N] [on=HANDLE]"},
        {"set-info", CompileSetInfo, "[TAG:] set-info CLASS [in=DATA] [on=HANDLE]"},
        {"cancel", CompileCancel, "cancel TAG"},
        {"bulk-in", CompileBulkIn, "bulk-in DATA|zlp [after=DURATION] [dev=DEVICE]"},
        {"interrupt", CompileInterrupt, "interrupt DATA [after=DURATION]   (raw interrupt-IN transfer)"},
        {"serial-state", CompileNotify, "serial-state BITS [after=DURATION]"},
        {"network-connection", CompileNotify, "network-connection connected|disconnected [after=DURATION]"},
        {"response-available", CompileNotify, "response-available [after=DURATION]"},
        {"notify", CompileNotify, "notify CODE [value=N] [data=DATA] [after=DURATION]"},
        {"fail-in", CompileFailIn, "fail-in bulk-in|interrupt [USBD_STATUS]"},
        {"answer", CompileAnswer,
         "answer control|bulk-out [default] accept|partial N|stall|fail [USBD_STATUS]|late DURATION|never"},
        {"advance", CompileAdvance, "advance DURATION"},
        {"run", CompileRun, "run [limit=DURATION]   (until nothing is left to happen)"},
        {"wait", CompileWait, "wait TAG [limit=DURATION]"},
        {"expect", CompileExpect,
         "expect TAG|bulk-out|setup|modem|serial-count|serialcomm|link|name|pool|objects|verifier|trace ..."},
        {"note", CompileNote, "note TEXT"},
        {"show", CompileShow, "show devices|serialcomm|pool|modem|time|wire"},
    };
    return Table;
}

} // namespace

bool Compile(std::string_view Text, const std::string &File, Program &Out, std::vector<Diagnostic> &Errors,
             int FirstLine)
{
    std::size_t ErrorsBefore = Errors.size();
    int Number = FirstLine - 1;
    bool WorldStatementSeen = false; /* a statement that runs the world */
    std::size_t Start = 0;
    while (Start <= Text.size()) {
        std::size_t End = Text.find('\n', Start);
        std::string_view LineText =
            Text.substr(Start, End == std::string_view::npos ? std::string_view::npos : End - Start);
        ++Number;
        try {
            Statement S;
            if (ParseStatement(LineText, File, Number, S)) {
                const VerbDef *V = nullptr;
                for (const auto &D : Verbs())
                    if (D.Name == S.Verb) V = &D;
                if (!V) throw SyntaxError("unknown command '" + S.Verb + "' (try: brisum-sim help)");
                if (IsProcessorsVerb(S.Verb) && WorldStatementSeen)
                    throw SyntaxError(S.Verb + " must come before the world starts (ahead of every other statement)");
                if (!IsProcessorsVerb(S.Verb)) WorldStatementSeen = true;
                ArgReader A(S);
                Action Act = V->Compile(S, A);
                Out.Lines.push_back(std::move(S));
                Out.Actions.push_back(std::move(Act));
            }
        } catch (const SyntaxError &E) {
            Errors.push_back({File, Number, E.what()});
        }
        if (End == std::string_view::npos) break;
        Start = End + 1;
    }
    return Errors.size() == ErrorsBefore;
}

std::string VerbSummary()
{
    std::string Out;
    for (const auto &V : Verbs()) Out += "  " + std::string(V.Summary) + "\n";
    return Out;
}

} // namespace sim
