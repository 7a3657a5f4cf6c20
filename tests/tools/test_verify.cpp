// zm4 verify: statuses, fault positions and header fields as a user reads
// them, the --json document, and the exit codes scripts rely on.
#include <gtest/gtest.h>

#include "tests/support/frame_encoder.h"
#include "tests/tools/json_reader.h"
#include "tests/tools/tool_fixtures.h"
#include "tests/tools/tool_runner.h"

namespace zm4::cli::testing {
namespace {

using zm4::testing::EncodedFrame;
using zm4::testing::encodeFrame;
using zm4::testing::EncodeOptions;
using zm4::testing::FaultKind;
using zm4::testing::flatImage;

class ToolVerify : public ::testing::Test {
protected:
    std::string write(const std::string &name, const Bytes &bytes)
    {
        std::string path = dir_.path(name);
        writeBytes(path, bytes);
        return path;
    }

    // An uncompressed 176x144 frame at the top left with a fault in line record `record`.
    Bytes faultyFrame(FaultKind kind, uint32_t record, int value, uint32_t magicOffset = 0)
    {
        EncodeOptions options;
        options.fault = {kind, record, value};
        options.magicOffset = magicOffset;
        return encodeFrame(patternImage(176, 144, 1), options).bytes;
    }

    // Byte offset of the last byte of line record k in an uncompressed 176x144 frame.
    static size_t endOfRecord(uint32_t k) { return 64 + size_t{k} * (2 + 352 + 1) + 2 + 352; }

    TempDir dir_;
};

TEST_F(ToolVerify, GoodFrameShowsEveryHeaderField)
{
    EncodeOptions options;
    options.colStart = 2; // 16 pixels in
    options.rowStart = 3; // 12 lines down
    options.compress = true;
    options.decimate = true;
    options.videoSize = 0;
    options.yuvOrder = 1;
    options.byte1E = 0x12;
    options.byte1F = 0x34;
    options.byte27 = 0x56;
    options.byte28 = 0x78;
    options.byte29 = 0x9A;
    Bytes frame = encodeFrame(patternImage(176, 144, 2), options).bytes;
    std::string path = write("good.raw", frame);

    ToolResult r = runTool({"verify", path});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const std::string &line :
         {path + ": ok (status 0)\n",
          "file: " + std::to_string(frame.size()) + " bytes, frame header at byte 0",
          std::string("size: 176x144 at column 16, row 12"),
          std::string("compression 1 (compressed), decimation 1 (every second line), subsampling 1 (4:2:2)"),
          std::string("video size 0 (176x144 mode), YUV order 1"),
          std::string("bytes 1E=0x12 1F=0x34 27=0x56 28=0x78 29=0x9A")})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << " in:\n" << r.out;

    ToolResult j = runTool({"verify", "--json", path});
    ASSERT_EQ(j.exitCode, 0) << j.err;
    JsonValue doc = parseJson(j.out);
    ASSERT_EQ(doc.kind, JsonValue::Kind::Array);
    ASSERT_EQ(doc.items.size(), 1u);
    const JsonValue &f = doc[0];
    EXPECT_EQ(f.at("file").text, path);
    EXPECT_EQ(f.at("status").number, 0);
    EXPECT_EQ(f.at("name").text, "ok");
    EXPECT_EQ(f.at("message").kind, JsonValue::Kind::Null);
    EXPECT_EQ(f.at("bytes").number, static_cast<double>(frame.size()));
    const std::pair<const char *, double> header[] = {
        {"width", 176},       {"height", 144},  {"column", 16},       {"row", 12},        {"colStart", 32},
        {"colEnd", 32 + 352}, {"rowStart", 12}, {"rowEnd", 12 + 144}, {"compression", 1}, {"decimation", 1},
        {"subsampling", 1},   {"videoSize", 0}, {"yuvOrder", 1},      {"byte1E", 0x12},   {"byte1F", 0x34},
        {"byte27", 0x56},     {"byte28", 0x78}, {"byte29", 0x9A}};
    for (const auto &[name, value] : header)
        EXPECT_EQ(f.at("header").at(name).number, value) << name;
}

TEST_F(ToolVerify, LineFaultGivesItsLineLengthAndOffset)
{
    std::string path = write("bad.raw", faultyFrame(FaultKind::NoEndOfLine, 17, 0x00));
    ToolResult r = runTool({"verify", path});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_NE(r.out.find(path + ": no-end-of-line (status 3): line 17: line does not end with 0xFD\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("fault: line 17, length 353, offset " + std::to_string(endOfRecord(17))),
              std::string::npos)
        << r.out;
    // The header before the faulty line is valid and worth showing.
    EXPECT_NE(r.out.find("size: 176x144"), std::string::npos) << r.out;
}

TEST_F(ToolVerify, FaultOffsetCountsFromTheStartOfTheFileWhenTheMagicMoved)
{
    EncodeOptions moved;
    moved.magicOffset = 10;
    std::string good = write("moved.raw", encodeFrame(patternImage(176, 144, 3), moved).bytes);
    std::string bad = write("moved-bad.raw", faultyFrame(FaultKind::NoEndOfLine, 5, 0x01, 10));
    ToolResult r = runTool({"verify", "--json", good, bad});
    EXPECT_EQ(r.exitCode, 4);
    JsonValue doc = parseJson(r.out);
    ASSERT_EQ(doc.items.size(), 2u);
    EXPECT_EQ(doc[0].at("status").number, 0);
    EXPECT_EQ(doc[0].at("magicOffset").number, 10);
    EXPECT_EQ(doc[0].at("header").at("width").number, 176);
    EXPECT_EQ(doc[1].at("status").number, 3);
    EXPECT_EQ(doc[1].at("magicOffset").number, 10);
    EXPECT_EQ(doc[1].at("line").number, 5);
    EXPECT_EQ(doc[1].at("offset").number, static_cast<double>(10 + endOfRecord(5)));

    ToolResult t = runTool({"verify", good});
    EXPECT_EQ(t.exitCode, 0);
    EXPECT_NE(t.out.find("frame header at byte 10"), std::string::npos) << t.out;
}

TEST_F(ToolVerify, EachKindOfBadFrameIsNamed)
{
    struct Case {
        const char *name;
        Bytes bytes;
        uint32_t status;
        std::string reason;
    };
    EncodeOptions badCompression;
    badCompression.headerOverrides = {{0x1C, 2}};
    EncodeOptions badEndColumn;
    badEndColumn.headerOverrides = {{0x19, 45}};
    EncodeOptions shortEnd;
    shortEnd.fault = {FaultKind::EndOfFrame, 0, 2};
    EncodedFrame noEof = encodeFrame(patternImage(176, 144, 4), shortEnd);
    std::vector<Case> cases;
    cases.push_back({"garbage.raw", Bytes(300, 0x55), 4, "no frame magic (0x19 0x68) in the first 64 bytes"});
    cases.push_back({"empty.raw", Bytes{}, 4, "no frame magic (0x19 0x68) in the first 64 bytes"});
    cases.push_back({"compression.raw", encodeFrame(patternImage(176, 144, 4), badCompression).bytes, 4,
                     "header byte 0x1C (compression) is 2, above 1"});
    cases.push_back({"endcolumn.raw", encodeFrame(patternImage(176, 144, 4), badEndColumn).bytes, 4,
                     "header byte 0x19 (end column) is 45, above 44"});
    cases.push_back({"length.raw", faultyFrame(FaultKind::LineLength, 3, 2), 1,
                     "line 3: line length 355 is longer than a line of this frame"});
    cases.push_back(
        {"eof-cut.raw", noEof.bytes, 6,
         "end-of-frame marker cut short, the file ends at byte " + std::to_string(noEof.bytes.size())});
    Bytes wrongEnd = noEof.bytes;
    wrongEnd.insert(wrongEnd.end(), {0x00, 0xFF, 0xFF});
    cases.push_back(
        {"eof.raw", wrongEnd, 6, "end-of-frame marker missing at byte " + std::to_string(noEof.linesEnd)});

    for (const Case &c : cases) {
        std::string path = write(c.name, c.bytes);
        ToolResult r = runTool({"verify", path});
        EXPECT_EQ(r.exitCode, 4) << c.name;
        const char *name = c.status == 1   ? "bad-line-length"
                           : c.status == 4 ? "bad-header"
                                           : "no-end-of-frame";
        std::string expected =
            path + ": " + name + " (status " + std::to_string(c.status) + "): " + c.reason + "\n";
        EXPECT_NE(r.out.find(expected), std::string::npos) << c.name << ":\n" << r.out;
    }
}

TEST_F(ToolVerify, TruncatedFrameSaysWhereTheFileEnds)
{
    Bytes frame = encodeFrame(patternImage(176, 144, 5), EncodeOptions{}).bytes;
    const size_t half = frame.size() / 2;
    const uint32_t halfLine = static_cast<uint32_t>((half - 64) / 355);
    struct Case {
        size_t keep;
        std::string reason;
    };
    for (const Case &c : std::vector<Case>{
             {40, "frame header cut short, the file ends at byte 40"},
             {64, "line 0: frame cut short, the file ends at byte 64"},
             {65, "line 0: frame cut short, the file ends at byte 65"},
             {half, "line " + std::to_string(halfLine) + ": frame cut short, the file ends at byte " +
                        std::to_string(half)},
             {frame.size() - 1,
              "end-of-frame marker cut short, the file ends at byte " + std::to_string(frame.size() - 1)},
         }) {
        std::string path =
            write("cut.raw", Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(c.keep)));
        ToolResult r = runTool({"verify", "--json", path});
        EXPECT_EQ(r.exitCode, 4) << c.keep << ": " << r.err;
        JsonValue doc = parseJson(r.out);
        EXPECT_NE(doc[0].at("status").number, 0) << c.keep;
        EXPECT_EQ(doc[0].at("message").text.rfind(c.reason + " (status ", 0), 0u)
            << doc[0].at("message").text;
    }
}

TEST_F(ToolVerify, ExitCodesTellGoodBadUnreadableAndMisused)
{
    std::string good = write("good.raw", encodeFrame(patternImage(176, 144, 6), EncodeOptions{}).bytes);
    std::string bad = write("bad.raw", faultyFrame(FaultKind::NoEndOfLine, 0, 0x00));
    std::string missing = dir_.path("missing.raw");

    EXPECT_EQ(runTool({"verify", good, good}).exitCode, 0);
    EXPECT_EQ(runTool({"verify", good, bad}).exitCode, 4);

    // An unreadable file outranks a bad frame, and the others are still checked.
    ToolResult r = runTool({"verify", "--json", bad, missing, good});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zm4: " + missing + ": No such file or directory\n");
    JsonValue doc = parseJson(r.out);
    ASSERT_EQ(doc.items.size(), 3u);
    EXPECT_EQ(doc[0].at("status").number, 3);
    EXPECT_EQ(doc[1].at("file").text, missing);
    EXPECT_EQ(doc[1].at("error").text, "No such file or directory");
    EXPECT_FALSE(doc[1].has("status"));
    EXPECT_EQ(doc[2].at("status").number, 0);

    ToolResult dir = runTool({"verify", dir_.path("")});
    EXPECT_EQ(dir.exitCode, 1);
    EXPECT_NE(dir.err.find("Is a directory"), std::string::npos) << dir.err;

    ToolResult none = runTool({"verify"});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_NE(none.err.find("zm4: verify: no frame file given"), std::string::npos) << none.err;
    ToolResult unknown = runTool({"verify", "--jsn", good});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.err.find("unknown option --jsn"), std::string::npos) << unknown.err;
}

TEST(ToolHelp, TopLevelAndSubcommandHelp)
{
    ToolResult top = runTool({"--help"});
    EXPECT_EQ(top.exitCode, 0);
    EXPECT_NE(top.out.find("  verify "), std::string::npos) << top.out;
    EXPECT_NE(top.out.find("  decode "), std::string::npos) << top.out;

    ToolResult verify = runTool({"verify", "--help"});
    EXPECT_EQ(verify.exitCode, 0);
    EXPECT_NE(verify.out.find("Usage: zm4 verify FILE..."), std::string::npos) << verify.out;
    EXPECT_NE(verify.out.find("--json"), std::string::npos);

    ToolResult decode = runTool({"decode", "-h"});
    EXPECT_EQ(decode.exitCode, 0);
    EXPECT_NE(decode.out.find("-f, --format FORMAT"), std::string::npos) << decode.out;
    EXPECT_NE(decode.out.find("%d"), std::string::npos) << decode.out;

    EXPECT_EQ(runTool({}).exitCode, 2);
    ToolResult unknown = runTool({"frobnicate"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_EQ(unknown.err, "zm4: unknown command 'frobnicate' (see 'zm4 --help')\n");
}

} // namespace
} // namespace zm4::cli::testing
