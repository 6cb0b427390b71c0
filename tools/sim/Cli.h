/*
 * Cli.h - the brisum-sim command line: demo, run, shell, check, help.
 */
#pragma once
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace sim {

/* Exit codes: 0 every expectation held, 1 an expectation failed, 2 the
   command line or a scenario file was malformed or unreadable. */
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int RunCommandLine(const std::vector<std::string> &Args, std::istream &In, std::ostream &Out, std::ostream &Err);

} // namespace sim
