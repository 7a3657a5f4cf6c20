// The control transfer trace: one line per command, as users read it.

#include <gtest/gtest.h>

#include <sstream>

#include "tests/emulator/emu_test_util.h"

namespace zm4::emu::test {
namespace {

TEST(Trace, EveryCommandIsOneLineWithTimeDirectionFieldsDataAndOutcome)
{
    CameraOptions options;
    options.traceLimit = 5;
    Camera camera(options);
    std::vector<std::string> live;
    camera.trace().setSink([&](const TraceEntry &e) { live.push_back(formatTraceEntry(e)); });
    readCommand(camera, kGetVersion, {0, 0, 0, 0}, 12);
    writeCommand(camera, kGotoHiPower, {0, 0, 0, 0}, 15);
    writeCommand(camera, kSetROI, {0x14, 0x18, 0x1A, 0x1A}, 20);
    writeDataCommand(camera, kSetCompressionParams, {0, 0, 0, 0}, {3, 9, 1, 3, 2, 5, 3, 2}, 31);
    readCommand(camera, 0x02, {1, 2, 3, 4}, 40);
    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, 41); // beyond the limit: only the sink sees it

    const std::string expected = "12 IN 01 0000 0000 8 0120000100000000 ok\n"
                                 "15 OUT 04 0000 0000 0 ok\n"
                                 "20 OUT C9 1814 1A1A 0 ok\n"
                                 "31 OUT 22 FBF0 0000 0 ok\n"
                                 "31 OUT CD 0000 0000 8 0309010302050302 ok\n";
    EXPECT_EQ(camera.trace().text(), expected);
    std::ostringstream out;
    camera.trace().writeText(out);
    EXPECT_EQ(out.str(), expected);
    ASSERT_EQ(live.size(), 7u);
    EXPECT_EQ(live[5], "40 IN 02 0201 0403 8 fail");
    EXPECT_EQ(camera.trace().dropped(), 2u);
}

} // namespace
} // namespace zm4::emu::test
