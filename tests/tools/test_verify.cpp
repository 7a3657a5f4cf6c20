// zm4 verify: statuses, fault positions and header fields as a user reads
// them, the --json document, and the exit codes scripts rely on.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/tools/tool_fixtures.h"
#include "tests/tools/tool_runner.h"

namespace zm4::cli::testing {
namespace {

using nlohmann::json;
using namespace zm4::emu;

class ToolVerify : public ::testing::Test {
protected:
    // An uncompressed 176x144 frame with a fault in line record `record`.
    static Bytes faultyFrame(WireFault kind, uint32_t record, int value, uint32_t magicOffset = 0)
    {
        EncodeOptions options;
        options.fault = {kind, record, value};
        options.magicOffset = magicOffset;
        return encodeFrame(randomImage(176, 144, 1), options).bytes;
    }

    // Byte offset of the last byte of line record k in an uncompressed 176x144 frame.
    static size_t endOfRecord(uint32_t k) { return 64 + size_t{k} * (2 + 352 + 1) + 2 + 352; }

    TempDir dir_;
};

TEST_F(ToolVerify, GoodFrameShowsEveryHeaderFieldAsTextAndJson)
{
    EncodeOptions options;
    options.colStart = 2;
    options.rowStart = 3;
    options.compression = true;
    options.decimation = true;
    options.videoSize = 0;
    options.yuvOrder = 1;
    options.cameraValues = {0x12, 0x34, 0x56, 0x78, 0x9A};
    Bytes frame = encodeFrame(randomImage(176, 144, 2), options).bytes;
    std::string path = dir_.write("good.raw", frame);

    ToolResult r = runTool({"verify", path});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              path + ": ok (status 0)\n  file: " + std::to_string(frame.size()) +
                  " bytes, frame header at byte 0\n"
                  "  size: 176x144 at column 16, row 12\n"
                  "  compression 1 (compressed), decimation 1 (every second line), subsampling 1 (4:2:2)\n"
                  "  video size 0 (176x144 mode), YUV order 1\n"
                  "  bytes 1E=0x12 1F=0x34 27=0x56 28=0x78 29=0x9A\n");

    ToolResult j = runTool({"verify", "--json", "-"}, path);
    ASSERT_EQ(j.exitCode, 0) << j.err;
    EXPECT_EQ(json::parse(j.out),
              json::parse(R"([{"file": "-", "bytes": )" + std::to_string(frame.size()) + R"(,
        "status": 0, "name": "ok", "message": null, "line": 0, "length": 0, "offset": 0, "magicOffset": 0,
        "header": {"width": 176, "height": 144, "column": 16, "row": 12, "colStart": 32, "colEnd": 384,
                   "rowStart": 12, "rowEnd": 156, "compression": 1, "decimation": 1, "subsampling": 1,
                   "videoSize": 0, "yuvOrder": 1, "byte1E": 18, "byte1F": 52, "byte27": 86, "byte28": 120,
                   "byte29": 154}}])"));
}

TEST_F(ToolVerify, EachKindOfBadFrameIsNamedWithItsPlace)
{
    EncodeOptions badCompression;
    badCompression.headerOverrides = {{0x1C, 2}};
    EncodeOptions shortEnd;
    shortEnd.fault = {WireFault::EndOfFrame, 0, 2};
    Bytes noEof = encodeFrame(randomImage(176, 144, 4), shortEnd).bytes;
    Bytes whole = encodeFrame(randomImage(176, 144, 5), EncodeOptions{}).bytes;
    const struct {
        Bytes bytes;
        std::string first;
    } cases[] = {
        {Bytes(300, 0x55), "bad-header (status 4): no frame magic (0x19 0x68) in the first 64 bytes"},
        {encodeFrame(randomImage(176, 144, 4), badCompression).bytes,
         "bad-header (status 4): header byte 0x1C (compression) is 2, above 1"},
        {faultyFrame(WireFault::LineLength, 3, 2),
         "bad-line-length (status 1): line 3: line length 355 is longer than a line of this frame"},
        {faultyFrame(WireFault::NoEndOfLine, 17, 0x00),
         "no-end-of-line (status 3): line 17: line does not end with 0xFD\n  fault: line 17, length 353, "
         "offset " +
             std::to_string(endOfRecord(17))},
        {noEof, "no-end-of-frame (status 6): end-of-frame marker cut short, the file ends at byte " +
                    std::to_string(noEof.size())},
        {Bytes(whole.begin(), whole.begin() + 40), "frame header cut short, the file ends at byte 40"},
        {Bytes(whole.begin(), whole.begin() + 65), "line 0: frame cut short, the file ends at byte 65"},
    };
    for (const auto &c : cases) {
        std::string path = dir_.write("bad.raw", c.bytes);
        ToolResult r = runTool({"verify", path});
        EXPECT_EQ(r.exitCode, 4);
        EXPECT_NE(r.out.find(c.first), std::string::npos) << c.first << " in:\n" << r.out;
    }
}

TEST_F(ToolVerify, MovedMagicAndExitCodesForGoodBadUnreadableAndMisused)
{
    EncodeOptions moved;
    moved.magicOffset = 10;
    std::string good = dir_.write("moved.raw", encodeFrame(randomImage(176, 144, 3), moved).bytes);
    std::string bad = dir_.write("moved-bad.raw", faultyFrame(WireFault::NoEndOfLine, 5, 0x01, 10));
    std::string missing = dir_.path("missing.raw");

    EXPECT_EQ(runTool({"verify", good, good}).exitCode, 0);
    // An unreadable file outranks a bad frame, and the others are still checked.
    ToolResult r = runTool({"verify", "--json", bad, missing, good});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zm4: " + missing + ": No such file or directory\n");
    json doc = json::parse(r.out);
    ASSERT_EQ(doc.size(), 3u);
    EXPECT_EQ(doc[0]["status"], 3);
    EXPECT_EQ(doc[0]["line"], 5);
    EXPECT_EQ(doc[0]["magicOffset"], 10);
    EXPECT_EQ(doc[0]["offset"], 10 + endOfRecord(5)); // counted from the start of the file
    EXPECT_EQ(doc[1], json::parse(R"({"file": ")" + missing + R"(", "error": "No such file or directory"})"));
    EXPECT_EQ(doc[2]["status"], 0);
    EXPECT_EQ(doc[2]["header"]["width"], 176);
    EXPECT_EQ(runTool({"verify", bad}).exitCode, 4);
    EXPECT_NE(runTool({"verify", dir_.path("")}).err.find("Is a directory"), std::string::npos);
    ToolResult none = runTool({"verify"});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_EQ(none.err, "zm4: verify: no frame file given (see 'zm4 verify --help')\n");
}

} // namespace
} // namespace zm4::cli::testing
