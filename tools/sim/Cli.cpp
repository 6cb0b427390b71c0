/*
 * Cli.cpp - the brisum-sim command line.
 */
#include "Cli.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>

#include <unistd.h>

#include <core/Processors.h>
#include <core/Timeline.h>

#include "Demo.h"
#include "Session.h"

namespace sim {

namespace {

const char kUsage[] = R"(usage: brisum-sim [demo] [OPTIONS]       run the built-in demonstration
       brisum-sim run [OPTIONS] FILE...   run scenario files ('-' reads standard input)
       brisum-sim shell [OPTIONS]         type scenario commands, one per line
       brisum-sim check FILE...           only check the scenario files' syntax
       brisum-sim help                    the commands of the scenario language

options:
  --pcap FILE      write the USB traffic as a capture file (pcap, usbmon link type 220)
  --timeline FILE  write the run as a page (HTML): lanes per processor with the callbacks,
                   lock holds, requests, USB transfers and verifier reports over virtual time
  --trace          interleave the driver's "brisum : " trace messages
  --quiet          no transcript: only failures and the closing summary
  --output FILE    write the transcript to FILE instead of standard output
  --compare FILE   compare the transcript with a recorded one; exit 1 when it differs
  --script         (demo) print the demonstration's scenario instead of running it

exit status: 0 every expectation held, 1 an expectation failed or the
transcript differs, 2 bad command line or malformed scenario.
The scenario language is described in docs/scenarios.md.
)";

struct Options {
    std::string Command = "demo";
    std::vector<std::string> Files;
    std::string Pcap;
    std::string Timeline;
    std::string Output;
    std::string Compare;
    bool Trace = false;
    bool Quiet = false;
    bool Script = false;
};

bool ReadAll(const std::string &Path, std::istream &In, std::string &Text)
{
    if (Path == "-") {
        Text.assign(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
        return true;
    }
    std::ifstream F(Path, std::ios::binary);
    if (!F) return false;
    Text.assign(std::istreambuf_iterator<char>(F), std::istreambuf_iterator<char>());
    return true;
}

/* Line by line; the first difference is reported. */
bool CompareTranscripts(const std::string &Recorded, const std::string &Now, const std::string &Path, std::ostream &Err)
{
    std::istringstream A(Recorded), B(Now);
    std::string LA, LB;
    int Line = 0;
    while (true) {
        bool HasA = static_cast<bool>(std::getline(A, LA));
        bool HasB = static_cast<bool>(std::getline(B, LB));
        ++Line;
        if (!HasA && !HasB) return true;
        if (HasA != HasB || LA != LB) {
            Err << Path << ":" << Line << ": the transcript differs from the recorded one\n"
                << "  recorded: " << (HasA ? LA : "(end of transcript)") << "\n"
                << "  now:      " << (HasB ? LB : "(end of transcript)") << "\n";
            return false;
        }
    }
}

int Shell(const Options &O, std::istream &In, std::ostream &Out, std::ostream &Err, PcapWriter *Capture)
{
    SessionOptions SO;
    SO.Transcript = &Out;
    SO.Errors = &Err;
    SO.Trace = O.Trace;
    SO.Capture = Capture;
    SO.Name = "shell";
    Session S(SO);
    bool Interactive = &In == &std::cin && isatty(0);
    if (Interactive) Err << "brisum-sim shell: scenario commands, one per line; 'help' lists them, 'quit' ends.\n";
    std::string Line;
    int Number = 0;
    while (true) {
        if (Interactive) Err << "brisum> " << std::flush;
        if (!std::getline(In, Line)) break;
        ++Number;
        std::string Trimmed = Line;
        Trimmed.erase(0, Trimmed.find_first_not_of(" \t"));
        Trimmed.erase(Trimmed.find_last_not_of(" \t\r") + 1);
        if (Trimmed == "quit" || Trimmed == "exit") break;
        if (Trimmed == "help") {
            Out << VerbSummary();
            continue;
        }
        Program P;
        std::vector<Diagnostic> Errors;
        if (!Compile(Line, "shell", P, Errors, Number)) {
            for (const auto &D : Errors) Err << D.Text() << '\n';
            continue;
        }
        S.Run(P);
        Out << std::flush;
    }
    S.Finish();
    return S.Failures() ? kExitFailed : kExitOk;
}

} // namespace

int RunCommandLine(const std::vector<std::string> &Args, std::istream &In, std::ostream &Out, std::ostream &Err)
{
    Options O;
    bool CommandSeen = false;
    for (std::size_t I = 0; I < Args.size(); ++I) {
        const std::string &A = Args[I];
        auto Value = [&](std::string &Into) {
            if (I + 1 >= Args.size()) {
                Err << "brisum-sim: " << A << " needs a value\n";
                return false;
            }
            Into = Args[++I];
            return true;
        };
        if (A == "--pcap") {
            if (!Value(O.Pcap)) return kExitUsage;
        } else if (A == "--timeline") {
            if (!Value(O.Timeline)) return kExitUsage;
        } else if (A == "--output" || A == "-o") {
            if (!Value(O.Output)) return kExitUsage;
        } else if (A == "--compare") {
            if (!Value(O.Compare)) return kExitUsage;
        } else if (A == "--trace")
            O.Trace = true;
        else if (A == "--quiet" || A == "-q")
            O.Quiet = true;
        else if (A == "--script")
            O.Script = true;
        else if (A == "--help" || A == "-h") {
            Out << kUsage;
            return kExitOk;
        } else if (A.size() > 1 && A[0] == '-' && A != "-") {
            Err << "brisum-sim: unknown option " << A << "\n" << kUsage;
            return kExitUsage;
        } else if (!CommandSeen) {
            if (A != "demo" && A != "run" && A != "shell" && A != "check" && A != "help") {
                Err << "brisum-sim: unknown command '" << A << "'\n" << kUsage;
                return kExitUsage;
            }
            O.Command = A;
            CommandSeen = true;
        } else {
            O.Files.push_back(A);
        }
    }
    if (O.Command == "help") {
        Out << kUsage << "\nscenario commands (TAG: names what a line creates):\n" << VerbSummary();
        return kExitOk;
    }
    if ((O.Command == "run" || O.Command == "check") && O.Files.empty()) {
        Err << "brisum-sim: " << O.Command << " needs at least one scenario file ('-' reads standard input)\n";
        return kExitUsage;
    }
    if ((O.Command == "demo" || O.Command == "shell") && !O.Files.empty()) {
        Err << "brisum-sim: " << O.Command << " takes no files\n";
        return kExitUsage;
    }
    if (O.Command == "demo" && O.Script) {
        Out << DemoScript();
        return kExitOk;
    }

    /* where the transcript goes */
    std::ofstream OutputFile;
    std::ostringstream Recording;
    std::ostream *Transcript = &Out;
    if (!O.Output.empty()) {
        OutputFile.open(O.Output, std::ios::binary);
        if (!OutputFile) {
            Err << "brisum-sim: cannot create " << O.Output << "\n";
            return kExitUsage;
        }
        Transcript = &OutputFile;
    }
    if (!O.Compare.empty())
        Transcript = &Recording;
    else if (O.Quiet)
        Transcript = nullptr;

    /* the capture streams to its file as the runs go */
    PcapWriter Capture;
    PcapWriter *CapturePtr = O.Pcap.empty() ? nullptr : &Capture;
    if (CapturePtr) {
        std::string Error;
        if (!Capture.Open(O.Pcap, Error)) {
            Err << "brisum-sim: " << Error << "\n";
            return kExitUsage;
        }
    }
    int Exit = kExitOk;
    /* The timeline records every session of the run. */
    std::unique_ptr<fx::TimelineScope> Timeline;
    if (!O.Timeline.empty() && O.Command != "check") Timeline = std::make_unique<fx::TimelineScope>();
    int Processors = 1;

    if (O.Command == "shell") {
        Exit = Shell(O, In, Transcript ? *Transcript : Recording, Err, CapturePtr);
    } else {
        std::vector<std::pair<std::string, std::string>> Sources; /* name, text */
        if (O.Command == "demo") Sources.emplace_back("demo", DemoScript());
        for (const auto &F : O.Files) {
            std::string Text;
            if (!ReadAll(F, In, Text)) {
                Err << "brisum-sim: cannot read " << F << "\n";
                Exit = kExitUsage;
                continue;
            }
            Sources.emplace_back(F == "-" ? "(standard input)" : F, Text);
        }
        VirtualTime Offset = 0;
        std::uint8_t Address = 1;
        for (const auto &[Name, Text] : Sources) {
            Program P;
            std::vector<Diagnostic> Errors;
            if (!Compile(Text, Name, P, Errors)) {
                for (const auto &D : Errors) Err << D.Text() << '\n';
                Err << Name << ": " << Errors.size() << (Errors.size() == 1 ? " malformed line" : " malformed lines")
                    << "; not run\n";
                Exit = kExitUsage;
                continue;
            }
            if (O.Command == "check") continue;
            if (Transcript && Sources.size() > 1) *Transcript << "== " << Name << "\n";
            SessionOptions SO;
            SO.Transcript = Transcript;
            SO.Errors = &Err;
            SO.Trace = O.Trace;
            SO.Capture = CapturePtr;
            SO.CaptureOffset = Offset;
            SO.FirstDeviceAddress = Address;
            SO.Name =
                Name.substr(Name.find_last_of('/') + 1); /* the closing line does not depend on where the file is */
            int Failures;
            {
                Session S(SO);
                S.Run(P);
                S.Finish();
                Failures = S.Failures();
                if (fx::Processors *P = S.TheWorld().Clock().Cpus())
                    Processors = std::max(Processors, P->Options().Count);
                Offset += S.Now() + world::kSecond;
                Address = static_cast<std::uint8_t>(Address + S.DevicesAdded());
                if (O.Quiet || !Transcript)
                    Err << Name << ": " << S.Checks() << " checks, " << Failures
                        << (Failures == 1 ? " failure\n" : " failures\n");
            }
            if (Failures && Exit == kExitOk) Exit = kExitFailed;
        }
    }

    if (Timeline) {
        std::string Title = "brisum-sim " + O.Command;
        for (const auto &F : O.Files) Title += " " + F;
        if (!fx::WriteTimelineHtml(Timeline->Recording(), Title, Processors, O.Timeline)) {
            Err << "brisum-sim: cannot write " << O.Timeline << "\n";
            if (Exit == kExitOk) Exit = kExitUsage;
        }
        Timeline.reset();
    }
    if (CapturePtr) {
        std::string Error;
        if (!Capture.Close(Error)) {
            Err << "brisum-sim: " << Error << "\n";
            if (Exit == kExitOk) Exit = kExitUsage;
        }
    }
    if (!O.Compare.empty()) {
        std::string Recorded;
        if (!ReadAll(O.Compare, In, Recorded)) {
            Err << "brisum-sim: cannot read " << O.Compare << "\n";
            return kExitUsage;
        }
        if (!O.Quiet) Out << Recording.str();
        if (!CompareTranscripts(Recorded, Recording.str(), O.Compare, Err) && Exit == kExitOk) Exit = kExitFailed;
    }
    return Exit;
}

} // namespace sim
