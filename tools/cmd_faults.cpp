// zm4 faults: the emulated camera's faults that --fault switches on, from the
// emulator's own table; with --fault, checks specs and shows when each applies.
#include <iostream>

#include "tools/cli.h"
#include "tools/fault_option.h"

namespace zm4::cli {

std::function<int()> setupFaults(CLI::App &cmd)
{
    auto faults = std::make_shared<std::vector<zm4::emu::TimedFault>>();
    addFaultOption(cmd, *faults);
    cmd.footer("--fault NAME[=VALUE][,KEY=VALUE...][@TIME] switches a fault of the emulated camera on\n"
               "(VALUE off: off again), from the start of the run or TIME later (1500 or 1500ms, 2s).\n"
               "A switch's VALUE is a count of firings (3) or a probability (0.01); every switch also\n"
               "takes count=N, p=P and seed=N (the camera's random choices repeat for one seed).\n"
               "Several --fault options apply in order. With --fault, this command checks the specs\n"
               "and lists them with their times.");
    return [faults] {
        if (faults->empty()) {
            std::cout << "Faults (--fault NAME[=VALUE][@TIME]):\n" << faultListText();
            return kExitOk;
        }
        for (const zm4::emu::TimedFault &fault : *faults)
            std::cout << fault.atMs << " ms  " << printable(fault.spec) << '\n';
        return kExitOk;
    };
}

} // namespace zm4::cli
