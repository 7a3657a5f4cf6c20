// The bundled sample stream: the files in samples/ are what the generator
// writes today, and they verify and decode.
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

#include "tests/tools/tool_fixtures.h"
#include "tests/tools/tool_runner.h"

namespace zm4::cli::testing {
namespace {

std::vector<std::string> sampleFiles()
{
    std::vector<std::string> files;
    for (int n = 0; n < 4; ++n)
        files.push_back(std::string(ZM4_SOURCE_DIR) + "/samples/specimen-0" + std::to_string(n) + ".raw");
    return files;
}

TEST(ToolSamples, BundledFilesAreWhatTheGeneratorWrites)
{
    TempDir dir;
    std::string command = std::string(ZM4_MAKE_SAMPLES_PATH) + " " + dir.path("") + " > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::vector<std::string> bundled = sampleFiles();
    size_t total = 0;
    for (int n = 0; n < 4; ++n) {
        Bytes fresh = readBytes(dir.path("specimen-0" + std::to_string(n) + ".raw"));
        EXPECT_EQ(readBytes(bundled[static_cast<size_t>(n)]), fresh)
            << "regenerate samples/ (see samples/README.md)";
        total += fresh.size();
    }
    EXPECT_LT(total, 600u * 1024);
}

TEST(ToolSamples, VerifyAndDecodeAsOneStream)
{
    std::vector<std::string> args{"verify", "--json"};
    std::vector<std::string> files = sampleFiles();
    args.insert(args.end(), files.begin(), files.end());
    ToolResult v = runTool(args);
    ASSERT_EQ(v.exitCode, 0) << v.out << v.err;

    TempDir dir;
    args = {"decode"};
    args.insert(args.end(), files.begin(), files.end());
    args.insert(args.end(), {"-f", "rgb24", "-o", dir.path("frame.png")});
    ToolResult d = runTool(args);
    ASSERT_EQ(d.exitCode, 0) << d.err;
    RgbImage png = readPng(dir.path("frame.png"));
    EXPECT_EQ(png.width, 352u);
    EXPECT_EQ(png.height, 288u);
}

} // namespace
} // namespace zm4::cli::testing
