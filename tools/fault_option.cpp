// The --fault option: the emulator's parser, with the tool's suggestions.
#include "tools/fault_option.h"

#include "tools/cli.h"

namespace zm4::cli {

namespace {

std::vector<std::string> faultNames()
{
    std::vector<std::string> names;
    for (const zm4::emu::FaultInfo &info : zm4::emu::faultTable())
        names.emplace_back(info.name);
    return names;
}

} // namespace

void addFaultOption(CLI::App &command, std::vector<zm4::emu::TimedFault> &faults)
{
    command
        .add_option_function<std::vector<std::string>>(
            "--fault",
            [&faults](const std::vector<std::string> &specs) {
                for (const std::string &spec : specs) {
                    zm4::emu::TimedFault fault;
                    std::string error;
                    if (zm4::emu::parseTimedFault(spec, fault, &error)) {
                        faults.push_back(std::move(fault));
                        continue;
                    }
                    const std::string name = spec.substr(0, spec.find_first_of(":=@"));
                    if (error.ends_with("unknown fault name"))
                        if (std::string near = nearestName(name, faultNames()); !near.empty())
                            error += "; did you mean '" + near + "'?";
                    throw CLI::ValidationError(error);
                }
            },
            "switch a camera fault on, at TIME (ms, or with s) after the start; see 'zm4 faults'")
        ->type_name("NAME[=VALUE][@TIME]")
        ->take_all()
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

std::string faultListText()
{
    std::string text;
    for (const zm4::emu::FaultInfo &info : zm4::emu::faultTable()) {
        std::string left = std::string(info.name) + (info.value.empty() ? "" : "=" + std::string(info.value));
        text +=
            "  " + left + std::string(left.size() < 34 ? 34 - left.size() : 1, ' ') + std::string(info.help);
        if (!info.keys.empty())
            text += " (also " + std::string(info.keys) + ")";
        text += '\n';
    }
    return text;
}

} // namespace zm4::cli
