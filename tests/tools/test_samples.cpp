// The bundled sample stream (what make run decodes): the files in samples/
// are what the generator writes today.
#include <cstdlib>
#include <gtest/gtest.h>

#include "tests/tools/tool_runner.h"

namespace zm4::cli::testing {
namespace {

TEST(ToolSamples, BundledFilesAreWhatTheGeneratorWrites)
{
    TempDir dir;
    std::string command = std::string(ZM4_MAKE_SAMPLES_PATH) + " " + dir.path("") + " > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    size_t total = 0;
    for (int n = 0; n < 4; ++n) {
        const std::string name = "specimen-0" + std::to_string(n) + ".raw";
        std::vector<uint8_t> fresh = readBytes(dir.path(name));
        EXPECT_EQ(readBytes(std::string(ZM4_SOURCE_DIR) + "/samples/" + name), fresh)
            << "regenerate samples/ (see samples/README.md)";
        total += fresh.size();
    }
    EXPECT_LT(total, 600u * 1024);
}

} // namespace
} // namespace zm4::cli::testing
