// zm4 registry: stored values and defaults, the decoded problem list and the
// diagnostic values, as text and --json; a missing file is all defaults and a
// damaged one is reported with its line and left exactly as it was.
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

#include "tests/tools/json_reader.h"
#include "tests/tools/tool_runner.h"

namespace zm4::cli::testing {
namespace {

const std::string kKey = "[HKEY_LOCAL_MACHINE\\Software\\Lumena\\ZM4 Microscope]\n";

class ToolRegistry : public ::testing::Test {
protected:
    std::string write(const std::string &name, const std::string &text)
    {
        std::string path = dir_.path(name);
        writeBytes(path, Bytes(text.begin(), text.end()));
        return path;
    }

    static bool has(const std::string &out, const std::string &line)
    {
        return out.find(line) != std::string::npos;
    }

    using Bytes = std::vector<uint8_t>;
    TempDir dir_;
};

TEST_F(ToolRegistry, ShowsStoredValuesDefaultsAndTheDiagnosticRecord)
{
    std::string path = write("registry.reg", "Windows Registry Editor Version 5.00\n\n" + kKey +
                                                 "\"Bandwidth\"=dword:00000002\n"
                                                 "\"framerate\"=dword:00000004\n"
                                                 "\"ExpCoarse\"=hex:01\n"
                                                 "\"DebugList\"=hex:08,01,10,40\n"
                                                 "\"DebugCrisisCount\"=dword:00000007\n"
                                                 "\"CameraPresent\"=dword:00000001\n"
                                                 "\"Matrix\"=hex:01,02,03,04,05,06,07,08,09\n");

    ToolResult text = runTool({"registry", "--registry", path});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    for (const char *line :
         {"   2  Bandwidth         2\n", "   9  Framerate         4\n",
          "  17  ExpCoarse         hex:01 (not a DWORD)\n", "   3  Brightness        (default 5000)\n",
          "  36  ApCor             (default 0xFFFFFFFF)\n",
          "      Matrix            hex:01,02,03,04,05,06,07,08,09\n",
          "  Problems: 4 listed, in order of first occurrence\n"
          "     8  excluder wait timed out\n"
          "     1  filler frame delivered\n"
          "    16  camera fault\n"
          "    64  unknown problem\n"
          "  Crisis count: 7\n"
          "  Camera present: 1 (yes)\n"
          "  Camera fault: 0 (none), not written yet\n"})
        EXPECT_TRUE(has(text.out, line)) << line << " in:\n" << text.out;

    ToolResult json = runTool({"registry", "--json", "--registry", path});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    JsonValue doc = parseJson(json.out);
    EXPECT_TRUE(doc.at("fileExists").boolean);
    EXPECT_TRUE(doc.at("keyExists").boolean);
    const JsonValue &values = doc.at("values");
    ASSERT_EQ(values.items.size(), 45u);
    EXPECT_EQ(values[9].at("name").text, "Framerate");
    EXPECT_EQ(values[9].at("default").number, 1);
    EXPECT_EQ(values[9].at("stored").number, 4);
    EXPECT_EQ(values[3].at("stored").kind, JsonValue::Kind::Null);
    EXPECT_EQ(values[17].at("stored").at("type").number, 3);
    EXPECT_EQ(values[44].at("name").text, "DebugList");
    EXPECT_EQ(doc.at("matrix").at("bytes").items.size(), 9u);
    const JsonValue &problems = doc.at("problems");
    ASSERT_EQ(problems.items.size(), 4u);
    EXPECT_EQ(problems[0].at("code").number, 8);
    EXPECT_EQ(problems[0].at("name").text, "excluder wait timed out");
    EXPECT_EQ(problems[2].at("name").text, "camera fault");
    EXPECT_EQ(doc.at("crisisCount").number, 7);
    EXPECT_EQ(doc.at("cameraPresent").number, 1);
    EXPECT_EQ(doc.at("cameraFault").number, 0);
}

TEST_F(ToolRegistry, MissingFileIsEveryDefaultAndStaysMissing)
{
    // Found through the environment, as a user without --registry would have it.
    std::string path = dir_.path("none/registry.reg");
    ASSERT_EQ(setenv("ZM4_REGISTRY", path.c_str(), 1), 0);
    ToolResult text = runTool({"registry"});
    ToolResult json = runTool({"registry", "--json"});
    unsetenv("ZM4_REGISTRY");

    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_TRUE(has(text.out, path + " (absent: every value is at its default)")) << text.out;
    EXPECT_TRUE(has(text.out, "   2  Bandwidth         (default 3)\n")) << text.out;
    EXPECT_TRUE(has(text.out, "  Problems: none\n  Crisis count: 0\n")) << text.out;
    ASSERT_EQ(json.exitCode, 0) << json.err;
    JsonValue doc = parseJson(json.out);
    EXPECT_FALSE(doc.at("fileExists").boolean);
    EXPECT_EQ(doc.at("values")[2].at("stored").kind, JsonValue::Kind::Null);
    EXPECT_EQ(doc.at("values")[2].at("default").number, 3);
    EXPECT_TRUE(doc.at("problems").items.empty());
    EXPECT_FALSE(std::filesystem::exists(dir_.path("none")));
}

TEST_F(ToolRegistry, DamagedFileIsReportedWithItsLineAndLeftAlone)
{
    const std::string damaged = "Windows Registry Editor Version 5.00\n\n" + kKey +
                                "\"Bandwidth\"=dword:00000002\n\"Framerate\"=dword:zz\n";
    std::string path = write("registry.reg", damaged);
    for (const char *flag : {"--json", ""}) {
        std::vector<std::string> args{"registry", "--registry", path};
        if (*flag)
            args.push_back(flag);
        ToolResult r = runTool(args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(has(r.err, "zm4: registry: " + path + " line 5")) << r.err;
    }
    Bytes after = readBytes(path);
    EXPECT_EQ(std::string(after.begin(), after.end()), damaged);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path("")), {}), 1);
}

} // namespace
} // namespace zm4::cli::testing
