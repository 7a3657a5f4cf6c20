// zm4 formats: the six formats an application is offered, with the sizes and
// rates it may ask for, in the table a user reads and in the --json document.
#include <gtest/gtest.h>
#include <sstream>

#include "tests/tools/json_reader.h"
#include "tests/tools/tool_runner.h"

namespace zm4::cli::testing {
namespace {

struct Expected {
    const char *subtype;
    const char *guid;
    unsigned bits;
    const char *outputCode;
    const char *toolName;
    unsigned maxWidth;
    unsigned maxHeight;
};

const Expected kFormats[] = {
    {"RGB24", "{E436EB7D-524F-11CE-9F53-0020AF0BA770}", 24, "RGB2", "rgb24", 704, 576},
    {"RGB555", "{E436EB7C-524F-11CE-9F53-0020AF0BA770}", 16, "RGB2", "rgb555", 352, 288},
    {"I420", "{30323449-0000-0010-8000-00AA00389B71}", 12, "I420", "i420", 352, 288},
    {"YV12", "{32315659-0000-0010-8000-00AA00389B71}", 12, "YV12", "yv12", 352, 288},
    {"UYVY", "{59565955-0000-0010-8000-00AA00389B71}", 16, "UYVY", "uyvy", 352, 288},
    {"YUY2", "{32595559-0000-0010-8000-00AA00389B71}", 16, "YUY2", "yuy2", 352, 288},
};

TEST(ToolFormats, ListsTheSixFormatsWithTheirSizesAndRates)
{
    ToolResult text = runTool({"formats"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.err, "");
    ToolResult json = runTool({"formats", "--json"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    JsonValue doc = parseJson(json.out);
    ASSERT_EQ(doc.items.size(), 6u);

    // The text table's lines with the column padding taken out.
    std::vector<std::string> rows;
    std::istringstream lines(text.out);
    for (std::string line, word; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string joined;
        while (words >> word)
            joined += (joined.empty() ? "" : " ") + word;
        rows.push_back(joined);
    }
    EXPECT_EQ(rows.size(), 7u);

    for (size_t i = 0; i < 6; ++i) {
        const Expected &e = kFormats[i];
        SCOPED_TRACE(e.subtype);
        // One table row per format, after the header: index, subtype, bits, output
        // code, -f name, sizes, default size, rates.
        std::string row = std::to_string(i) + " " + e.subtype + " " + std::to_string(e.bits) + " " +
                          e.outputCode + " " + e.toolName + " 8-" + std::to_string(e.maxWidth) +
                          " step 8 4-" + std::to_string(e.maxHeight) +
                          " step 4 176x144 1-30 fps (333333-10000000)";
        ASSERT_GT(rows.size(), i + 1);
        EXPECT_EQ(rows[i + 1], row);

        const JsonValue &f = doc[i];
        EXPECT_EQ(f.at("index").number, static_cast<double>(i));
        EXPECT_EQ(f.at("subtype").text, e.subtype);
        EXPECT_EQ(f.at("guid").text, e.guid);
        EXPECT_EQ(f.at("bitsPerPixel").number, e.bits);
        EXPECT_EQ(f.at("outputCode").text, e.outputCode);
        EXPECT_EQ(f.at("toolName").text, e.toolName);
        EXPECT_EQ(f.at("width").at("min").number, 8);
        EXPECT_EQ(f.at("width").at("max").number, e.maxWidth);
        EXPECT_EQ(f.at("width").at("step").number, 8);
        EXPECT_EQ(f.at("height").at("min").number, 4);
        EXPECT_EQ(f.at("height").at("max").number, e.maxHeight);
        EXPECT_EQ(f.at("height").at("step").number, 4);
        EXPECT_EQ(f.at("default").at("width").number, 176);
        EXPECT_EQ(f.at("default").at("height").number, 144);
        EXPECT_EQ(f.at("frameInterval").at("min").number, 333333);
        EXPECT_EQ(f.at("frameInterval").at("max").number, 10000000);
    }

    EXPECT_EQ(runTool({"formats", "extra"}).exitCode, 2);
}

} // namespace
} // namespace zm4::cli::testing
