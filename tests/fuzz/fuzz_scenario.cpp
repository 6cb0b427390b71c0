/*
 * fuzz_scenario.cpp - the scenario language on any text: compiling never
 * crashes, every malformed line is reported as FILE:LINE with a line that
 * exists, and a program that compiles runs to its end. Inputs are bounded
 * to a few dozen lines so that one input cannot hold the fuzzer for long.
 */
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "Session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size)
{
    std::string Text(reinterpret_cast<const char *>(Data), Size);
    int Lines = 1;
    for (char C : Text) Lines += C == '\n';
    if (Lines > 48) return -1;

    sim::Program P;
    std::vector<sim::Diagnostic> Errors;
    if (!sim::Compile(Text, "fuzz.scn", P, Errors)) {
        if (Errors.empty()) {
            std::fprintf(stderr, "fuzz_scenario: refused without a diagnostic\n");
            std::abort();
        }
        for (const sim::Diagnostic &D : Errors) {
            if (D.File != "fuzz.scn" || D.Line < 1 || D.Line > Lines || D.Text().rfind("fuzz.scn:", 0) != 0) {
                std::fprintf(stderr, "fuzz_scenario: diagnostic without its place: %s\n", D.Text().c_str());
                std::abort();
            }
        }
        return 0;
    }
    std::ostringstream Transcript, Failures;
    sim::SessionOptions SO;
    SO.Transcript = &Transcript;
    SO.Errors = &Failures;
    SO.Name = "fuzz.scn";
    sim::Session S(SO);
    S.Run(P);
    S.Finish();
    return 0;
}
