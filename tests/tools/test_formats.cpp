// zm4 formats: the six formats an application is offered, with the sizes and
// rates it may ask for, in the table a user reads and in the --json document.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/tools/tool_runner.h"

namespace zm4::cli::testing {
namespace {

TEST(ToolFormats, ListsTheSixFormatsWithTheirSizesAndRates)
{
    const struct {
        const char *subtype, *guid;
        unsigned bits;
        const char *outputCode, *toolName;
        unsigned maxWidth, maxHeight;
    } formats[] = {
        {"RGB24", "{E436EB7D-524F-11CE-9F53-0020AF0BA770}", 24, "RGB2", "rgb24", 704, 576},
        {"RGB555", "{E436EB7C-524F-11CE-9F53-0020AF0BA770}", 16, "RGB2", "rgb555", 352, 288},
        {"I420", "{30323449-0000-0010-8000-00AA00389B71}", 12, "I420", "i420", 352, 288},
        {"YV12", "{32315659-0000-0010-8000-00AA00389B71}", 12, "YV12", "yv12", 352, 288},
        {"UYVY", "{59565955-0000-0010-8000-00AA00389B71}", 16, "UYVY", "uyvy", 352, 288},
        {"YUY2", "{32595559-0000-0010-8000-00AA00389B71}", 16, "YUY2", "yuy2", 352, 288},
    };
    ToolResult text = runTool({"formats"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    ToolResult json = runTool({"formats", "--json"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    nlohmann::json doc = nlohmann::json::parse(json.out);
    ASSERT_EQ(doc.size(), 6u);

    std::istringstream lines(text.out);
    std::string line;
    std::getline(lines, line); // the header
    for (size_t i = 0; i < 6; ++i) {
        const auto &e = formats[i];
        // The table's row with its column padding taken out.
        ASSERT_TRUE(std::getline(lines, line));
        std::istringstream words(line);
        std::string row, word;
        while (words >> word)
            row += (row.empty() ? "" : " ") + word;
        const std::string w = std::to_string(e.maxWidth), h = std::to_string(e.maxHeight);
        EXPECT_EQ(row, std::to_string(i) + " " + e.subtype + " " + std::to_string(e.bits) + " " +
                           e.outputCode + " " + e.toolName + " 8-" + w + " step 8 4-" + h +
                           " step 4 176x144 1-30 fps (333333-10000000)");
        const nlohmann::json range = {{"min", 333333}, {"max", 10000000}};
        EXPECT_EQ(doc[i], nlohmann::json({{"index", i},
                                          {"subtype", e.subtype},
                                          {"guid", e.guid},
                                          {"bitsPerPixel", e.bits},
                                          {"outputCode", e.outputCode},
                                          {"toolName", e.toolName},
                                          {"width", {{"min", 8}, {"max", e.maxWidth}, {"step", 8}}},
                                          {"height", {{"min", 4}, {"max", e.maxHeight}, {"step", 4}}},
                                          {"default", {{"width", 176}, {"height", 144}}},
                                          {"frameInterval", range}}));
    }
    EXPECT_FALSE(std::getline(lines, line));
}

} // namespace
} // namespace zm4::cli::testing
