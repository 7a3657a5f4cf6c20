// The --fault option of the commands that run the emulated camera:
// NAME[=VALUE][@TIME], repeatable, checked against the emulator's fault table
// while the command line is parsed.
#pragma once

#include <CLI/CLI.hpp>
#include <vector>

#include "emulator/faults.h"

namespace zm4::cli {

// Adds --fault to `command`; each valid spec lands in `faults` in the order given.
void addFaultOption(CLI::App &command, std::vector<zm4::emu::TimedFault> &faults);

// The fault table as help text, one fault a line.
std::string faultListText();

} // namespace zm4::cli
