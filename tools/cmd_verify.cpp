// zm4 verify: checks raw frame files as the driver checks each frame it
// receives, and shows where a bad one goes wrong and what its header says.
#include <cstdio>
#include <iostream>
#include <optional>
#include <sstream>
#include <utility>

#include "tools/args.h"
#include "tools/cli.h"
#include "tools/frame_check.h"
#include "tools/json_writer.h"

namespace zm4::cli {

namespace {

struct VerifiedFile {
    std::string path;
    std::optional<std::string> ioError;
    size_t size = 0;
    FrameCheck check;
};

std::string hex2(uint32_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

void printText(std::ostream &out, const VerifiedFile &file)
{
    const FrameCheck &c = file.check;
    if (c.status == ZM4_FRAME_OK) {
        out << file.path << ": ok (status 0)\n";
    } else {
        out << file.path << ": " << statusName(c.status) << " (status " << c.status << "): " << c.reason
            << '\n'
            << "  fault: line " << c.details.line << ", length " << c.details.length << ", offset "
            << c.faultOffset << '\n';
    }
    out << "  file: " << file.size << " bytes, frame header at byte " << c.magicOffset << '\n';
    if (!c.headerKnown)
        return;
    const FrameHeaderInfo &h = c.info;
    out << "  size: " << frameWidth(h) << 'x' << frameHeight(h) << " at column " << h.colStart / 2 << ", row "
        << h.rowStart << '\n'
        << "  compression " << unsigned{h.compression}
        << (h.compression ? " (compressed)" : " (uncompressed)") << ", decimation " << unsigned{h.decimation}
        << (h.decimation ? " (every second line)" : " (every line)") << ", subsampling "
        << unsigned{h.subsampling} << (h.subsampling ? " (4:2:2)" : " (4:2:0)") << '\n'
        << "  video size " << unsigned{h.videoSize} << (h.videoSize ? " (352x288 mode)" : " (176x144 mode)")
        << ", YUV order " << unsigned{h.yuvOrder} << '\n'
        << "  bytes 1E=" << hex2(h.byte1E) << " 1F=" << hex2(h.byte1F) << " 27=" << hex2(h.byte27)
        << " 28=" << hex2(h.byte28) << " 29=" << hex2(h.byte29) << '\n';
}

void addJson(JsonWriter &json, const VerifiedFile &file)
{
    json.beginObject().key("file").value(file.path);
    if (file.ioError) {
        json.key("error").value(*file.ioError).endObject();
        return;
    }
    const FrameCheck &c = file.check;
    json.key("bytes").value(uint64_t{file.size});
    json.key("status").value(uint64_t{c.status});
    json.key("name").value(statusName(c.status));
    if (c.status == ZM4_FRAME_OK)
        json.key("message").null();
    else
        json.key("message").value(c.message);
    json.key("line").value(uint64_t{c.details.line});
    json.key("length").value(uint64_t{c.details.length});
    json.key("offset").value(uint64_t{c.faultOffset});
    json.key("magicOffset").value(uint64_t{c.magicOffset});
    json.key("header");
    if (!c.headerKnown) {
        json.null();
    } else {
        const FrameHeaderInfo &h = c.info;
        const std::pair<const char *, uint64_t> fields[] = {
            {"width", frameWidth(h)},     {"height", frameHeight(h)},     {"column", h.colStart / 2u},
            {"row", h.rowStart},          {"colStart", h.colStart},       {"colEnd", h.colEnd},
            {"rowStart", h.rowStart},     {"rowEnd", h.rowEnd},           {"compression", h.compression},
            {"decimation", h.decimation}, {"subsampling", h.subsampling}, {"videoSize", h.videoSize},
            {"yuvOrder", h.yuvOrder},     {"byte1E", h.byte1E},           {"byte1F", h.byte1F},
            {"byte27", h.byte27},         {"byte28", h.byte28},           {"byte29", h.byte29},
        };
        json.beginObject();
        for (const auto &[name, value] : fields)
            json.key(name).value(value);
        json.endObject();
    }
    json.endObject();
}

} // namespace

int runVerify(CommandArgs args)
{
    ArgParser parser(
        "verify", "FILE... [--json]",
        "Checks each raw frame file as the driver checks a received frame: the magic (and, when\n"
        "it lies further in, a second check from there), the header fields, every line's length\n"
        "and end-of-line marker, and the end-of-frame marker. Shows the status, the faulty line\n"
        "with its length and offset (counted from the start of the file), and the header fields.\n"
        "\n"
        "Exit status: 0 every file verified, 4 a frame failed verification, 1 a file could not\n"
        "be read (takes precedence over 4), 2 usage error.\n");
    parser.flag("json", 0, "print one JSON array with an object per file");
    if (!parser.parse(args)) {
        std::cout << parser.usage();
        return kExitOk;
    }
    if (parser.positionals().empty())
        throw CliError(kExitUsage, "verify: no frame file given (see 'zm4 verify --help')");
    const bool asJson = parser.has("json");

    bool anyIoError = false;
    bool anyBadFrame = false;
    JsonWriter json;
    json.beginArray();
    for (const std::string &path : parser.positionals()) {
        VerifiedFile file;
        file.path = path;
        try {
            std::vector<uint8_t> bytes = readFrameFile(path);
            file.size = bytes.size();
            file.check = checkFrame(bytes);
            anyBadFrame |= file.check.status != ZM4_FRAME_OK;
        } catch (const CliError &error) {
            anyIoError = true;
            std::string text = error.what();
            file.ioError = text.rfind(path + ": ", 0) == 0 ? text.substr(path.size() + 2) : text;
            std::cerr << "zm4: " << text << '\n';
        }
        if (asJson)
            addJson(json, file);
        else if (!file.ioError)
            printText(std::cout, file);
    }
    json.endArray();
    if (asJson)
        std::cout << json.str();
    std::cout.flush();
    if (anyIoError)
        return kExitIo;
    return anyBadFrame ? kExitBadFrame : kExitOk;
}

} // namespace zm4::cli
