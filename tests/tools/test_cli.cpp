// The zm4 command line as a whole: version, help, suggestions for slips, and
// the --fault option checked against the emulator's fault table.
#include <gtest/gtest.h>

#include "tests/tools/tool_runner.h"

namespace zm4::cli::testing {
namespace {

TEST(ToolCli, VersionAndHelpForEveryCommand)
{
    ToolResult version = runTool({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("zm4 0.", 0), 0u) << version.out;

    ToolResult top = runTool({"help"});
    EXPECT_EQ(top.exitCode, 0);
    for (const char *command : {"capture", "snapshot", "info", "controls", "get", "set", "verify", "decode",
                                "formats", "registry", "faults"}) {
        EXPECT_NE(top.out.find(std::string("  ") + command + " "), std::string::npos) << command;
        ToolResult viaHelp = runTool({"help", command});
        ToolResult viaFlag = runTool({command, "--help"});
        EXPECT_EQ(viaHelp.exitCode, 0) << command;
        EXPECT_EQ(viaHelp.out, viaFlag.out) << command;
        EXPECT_NE(viaHelp.out.find(std::string("Usage: zm4 ") + command), std::string::npos) << viaHelp.out;
    }
    EXPECT_EQ(runTool({}).exitCode, 2);
}

TEST(ToolCli, SlipsGetTheNearestNameAndExitTwo)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"verfy", "x.raw"}, "zm4: unknown command 'verfy'; did you mean 'verify'? (see 'zm4 --help')\n"},
        {{"frobnicate"}, "zm4: unknown command 'frobnicate' (see 'zm4 --help')\n"},
        {{"help", "regstry"},
         "zm4: help: unknown command 'regstry'; did you mean 'registry'? (see 'zm4 --help')\n"},
        {{"verify", "--jsn", "x.raw"},
         "zm4: verify: unknown option --jsn; did you mean '--json'? (see 'zm4 verify --help')\n"},
        {{"decode", "x.raw", "--outptu=a.png"},
         "zm4: decode: unknown option --outptu; did you mean '--output'? (see 'zm4 decode --help')\n"},
        {{"formats", "extra"}, "zm4: formats: unexpected argument 'extra' (see 'zm4 formats --help')\n"},
        {{"faults", "--fault", "corupt=eol"},
         "zm4: faults: fault 'corupt=eol': unknown fault name; did you mean 'corrupt'? (see 'zm4 faults "
         "--help')\n"},
    };
    for (const auto &[args, message] : cases) {
        ToolResult r = runTool(args);
        EXPECT_EQ(r.exitCode, 2) << args[0];
        EXPECT_EQ(r.err, message);
    }
}

TEST(ToolCli, FaultSpecsAreCheckedAndListedWithTheirTimes)
{
    ToolResult list = runTool({"faults"});
    EXPECT_EQ(list.exitCode, 0);
    for (const char *name : {"noanswer", "ctrlfail", "halt-on-write", "status-error", "isoerror", "isofail",
                             "stall", "corrupt=", "refuse-alt=N", "slowctrl", "disconnect"})
        EXPECT_NE(list.out.find(std::string("  ") + name), std::string::npos) << name;

    ToolResult timed = runTool({"faults", "--fault", "ctrlfail=3@2s", "--fault", "corrupt:eol,line=3",
                                "--fault", "isoerror=0.25@1500ms"});
    EXPECT_EQ(timed.exitCode, 0) << timed.err;
    EXPECT_EQ(timed.out, "2000 ms  ctrlfail=3\n0 ms  corrupt:eol,line=3\n1500 ms  isoerror=0.25\n");
    for (const char *bad : {"ctrlfail=0", "isoerror=1.5", "refuse-alt", "refuse-alt=4", "disconnect=1",
                            "stall@soon", "corrupt=teeth"}) {
        ToolResult r = runTool({"faults", "--fault", bad});
        EXPECT_EQ(r.exitCode, 2) << bad;
        EXPECT_EQ(r.err.rfind(std::string("zm4: faults: fault '") + bad + "': ", 0), 0u) << r.err;
    }
}

} // namespace
} // namespace zm4::cli::testing
