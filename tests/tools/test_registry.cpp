// zm4 registry: stored values and defaults, the decoded problem list and the
// diagnostic values, as text and --json; text safe for a terminal; the
// registry editor's UTF-16LE exports; a missing file is all defaults and a
// damaged one is reported with its line and left exactly as it was.
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/tools/tool_runner.h"

namespace zm4::cli::testing {
namespace {

const std::string kHead = "Windows Registry Editor Version 5.00\n\n"
                          "[HKEY_LOCAL_MACHINE\\Software\\Lumena\\ZM4 Microscope]\n";

class ToolRegistry : public ::testing::Test {
protected:
    static void expectLines(const std::string &out, std::initializer_list<std::string> lines)
    {
        for (const std::string &line : lines)
            EXPECT_NE(out.find(line), std::string::npos) << line << " in:\n" << out;
    }

    using Bytes = std::vector<uint8_t>;
    TempDir dir_;
};

TEST_F(ToolRegistry, ShowsStoredValuesDefaultsAndTheDiagnosticRecord)
{
    std::string path = dir_.write(
        "registry.reg", kHead + "\"Bandwidth\"=dword:00000002\n\"framerate\"=dword:00000004\n"
                                "\"ExpCoarse\"=hex:01\n\"DebugList\"=hex:08,01,10,40\n"
                                "\"DebugCrisisCount\"=dword:00000007\n\"CameraPresent\"=dword:00000001\n"
                                "\"Matrix\"=hex:01,02,03,04,05,06,07,08,09\n");
    ToolResult text = runTool({"registry", "--registry", path});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    expectLines(text.out,
                {"   2  Bandwidth         2\n", "   9  Framerate         4\n",
                 "  17  ExpCoarse         hex:01 (not a DWORD)\n", "   3  Brightness        (default 5000)\n",
                 "  36  ApCor             (default 0xFFFFFFFF)\n",
                 "      Matrix            hex:01,02,03,04,05,06,07,08,09\n",
                 "  Problems: 4 listed, in order of first occurrence\n"
                 "     8  excluder wait timed out\n     1  filler frame delivered\n"
                 "    16  camera fault\n    64  unknown problem\n  Crisis count: 7\n"
                 "  Camera present: 1 (yes)\n  Camera fault: 0 (none), not written yet\n"});

    ToolResult json = runTool({"registry", "--json", "--registry", path});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    nlohmann::json doc = nlohmann::json::parse(json.out);
    EXPECT_EQ(doc["values"].size(), 45u);
    EXPECT_EQ(doc["values"][9],
              nlohmann::json::parse(R"({"index": 9, "name": "Framerate", "default": 1, "stored": 4})"));
    EXPECT_EQ(doc["values"][17]["stored"], nlohmann::json::parse(R"({"type": 3, "bytes": [1]})"));
    EXPECT_EQ(doc["values"][3]["stored"], nullptr);
    EXPECT_EQ(doc["problems"][2], nlohmann::json::parse(R"({"code": 16, "name": "camera fault"})"));
    EXPECT_EQ(doc["matrix"]["bytes"].size(), 9u);
    for (const char *name : {"fileExists", "keyExists"})
        EXPECT_EQ(doc[name], true);
    EXPECT_EQ(doc["crisisCount"], 7);
    EXPECT_EQ(doc["cameraPresent"], 1);
    EXPECT_EQ(doc["cameraFault"], 0);
}

TEST_F(ToolRegistry, ControlCharactersAreShownEscapedAndUtf16ExportsAreRead)
{
    const std::string body = "\"Bandwidth\"=dword:00000002\n\"Matrix\"=\"\x1b]0;owned\x07\x1b[2J\\\\ok\"\n";
    std::string path = dir_.write("registry.reg", kHead + body);
    ToolResult text = runTool({"registry", "--registry", path});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out.find('\x1b'), std::string::npos);
    expectLines(text.out, {"      Matrix            \"\\u001b]0;owned\\u0007\\u001b[2J\\\\ok\"\n"});

    // The registry editor's own export: UTF-16LE with a byte-order mark and CRLF.
    std::string crlf;
    for (char c : kHead + body)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    Bytes utf16{0xFF, 0xFE};
    for (char c : crlf)
        utf16.insert(utf16.end(), {static_cast<uint8_t>(c), 0});
    writeBytes(dir_.path("utf16.reg"), utf16);
    ToolResult wide = runTool({"registry", "--registry", "-"}, dir_.path("utf16.reg"));
    ASSERT_EQ(wide.exitCode, 0) << wide.err;
    EXPECT_EQ(wide.out.substr(wide.out.find('\n')), text.out.substr(text.out.find('\n')));

    writeBytes(dir_.path("be.reg"), Bytes{0xFE, 0xFF, 0, 'W'});
    ToolResult be = runTool({"registry", "--registry", dir_.path("be.reg")});
    EXPECT_EQ(be.exitCode, 1);
    EXPECT_EQ(be.err, "zm4: registry: " + dir_.path("be.reg") +
                          " skipped: line 1: the file is UTF-16BE; a registry file is read as UTF-8 or as "
                          "UTF-16LE with a byte-order mark; nothing shown, the file is left as it is\n");
}

TEST_F(ToolRegistry, MissingFileIsEveryDefaultAndStaysMissing)
{
    // Found through the environment, as a user without --registry would have it.
    std::string path = dir_.path("none/registry.reg");
    ASSERT_EQ(setenv("ZM4_REGISTRY", path.c_str(), 1), 0);
    ToolResult text = runTool({"registry"});
    unsetenv("ZM4_REGISTRY");
    ASSERT_EQ(text.exitCode, 0) << text.err;
    expectLines(text.out, {path + " (absent: every value is at its default)",
                           "   2  Bandwidth         (default 3)\n", "  Problems: none\n  Crisis count: 0\n"});
    EXPECT_FALSE(std::filesystem::exists(dir_.path("none")));
}

TEST_F(ToolRegistry, DamagedFileIsReportedWithItsLineAndLeftAlone)
{
    const std::string damaged = kHead + "\"Bandwidth\"=dword:00000002\n\"Framerate\"=dword:zz\n";
    std::string path = dir_.write("registry.reg", damaged);
    for (bool asJson : {true, false}) {
        ToolResult r = runTool(asJson ? std::vector<std::string>{"registry", "--json", "--registry", path}
                                      : std::vector<std::string>{"registry", "--registry", path});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err,
                  "zm4: registry: " + path +
                      " skipped: line 5: bad dword (expected 1 to 8 hex digits); nothing shown, the file is "
                      "left as it is\n");
    }
    EXPECT_EQ(dir_.text("registry.reg"), damaged);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path("")), {}), 1);
}

} // namespace
} // namespace zm4::cli::testing
