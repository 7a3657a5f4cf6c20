// zm4 verify: checks raw frame files as the driver checks each frame it
// receives, and shows where a bad one goes wrong and what its header says.
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <utility>

#include "tools/cli.h"
#include "tools/frame_check.h"
#include "tools/output_file.h"

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
        out << printable(file.path) << ": ok (status 0)\n";
    } else {
        out << printable(file.path) << ": " << statusName(c.status) << " (status " << c.status
            << "): " << c.reason << '\n'
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

nlohmann::ordered_json toJson(const VerifiedFile &file)
{
    nlohmann::ordered_json json{{"file", file.path}};
    if (file.ioError) {
        json["error"] = *file.ioError;
        return json;
    }
    const FrameCheck &c = file.check;
    json["bytes"] = file.size;
    json["status"] = c.status;
    json["name"] = statusName(c.status);
    json["message"] = c.status == ZM4_FRAME_OK ? nlohmann::ordered_json() : nlohmann::ordered_json(c.message);
    json["line"] = c.details.line;
    json["length"] = c.details.length;
    json["offset"] = c.faultOffset;
    json["magicOffset"] = c.magicOffset;
    json["header"] = nullptr;
    if (c.headerKnown) {
        const FrameHeaderInfo &h = c.info;
        json["header"] = {
            {"width", frameWidth(h)},     {"height", frameHeight(h)},     {"column", h.colStart / 2u},
            {"row", h.rowStart},          {"colStart", h.colStart},       {"colEnd", h.colEnd},
            {"rowStart", h.rowStart},     {"rowEnd", h.rowEnd},           {"compression", h.compression},
            {"decimation", h.decimation}, {"subsampling", h.subsampling}, {"videoSize", h.videoSize},
            {"yuvOrder", h.yuvOrder},     {"byte1E", h.byte1E},           {"byte1F", h.byte1F},
            {"byte27", h.byte27},         {"byte28", h.byte28},           {"byte29", h.byte29},
        };
    }
    return json;
}

struct VerifyOptions {
    std::vector<std::string> files;
    bool json = false;
};

int runVerify(const VerifyOptions &o)
{
    if (o.files.empty())
        throw usageError("verify", "no frame file given");

    bool anyIoError = false;
    bool anyBadFrame = false;
    nlohmann::ordered_json json = nlohmann::ordered_json::array();
    for (const std::string &path : o.files) {
        VerifiedFile file;
        file.path = path;
        try {
            std::vector<uint8_t> bytes = readInput(path);
            file.size = bytes.size();
            file.check = checkFrame(bytes);
            anyBadFrame |= file.check.status != ZM4_FRAME_OK;
        } catch (const CliError &error) {
            anyIoError = true;
            std::string text = error.what();
            file.ioError = text.rfind(path + ": ", 0) == 0 ? text.substr(path.size() + 2) : text;
            std::cerr << "zm4: " << printable(text) << '\n';
        }
        if (o.json)
            json.push_back(toJson(file));
        else if (!file.ioError)
            printText(std::cout, file);
    }
    if (o.json)
        std::cout << json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
    std::cout.flush();
    if (anyIoError)
        return kExitIo;
    return anyBadFrame ? kExitBadFrame : kExitOk;
}

} // namespace

std::function<int()> setupVerify(CLI::App &cmd)
{
    auto o = std::make_shared<VerifyOptions>();
    cmd.add_option("FILE", o->files, "raw frame files ('-': standard input)")->type_name("");
    cmd.add_flag("--json", o->json, "print one JSON array with an object per file");
    cmd.footer("Checks each raw frame file as the driver checks a received frame: the magic (and, when\n"
               "it lies further in, a second check from there), the header fields, every line's length\n"
               "and end-of-line marker, and the end-of-frame marker. Shows the status, the faulty line\n"
               "with its length and offset (counted from the start of the file), and the header fields.\n"
               "\n"
               "Exit status: 0 every file verified, 4 a frame failed verification, 1 a file could not\n"
               "be read (takes precedence over 4), 2 usage error.");
    return [o] { return runVerify(*o); };
}

} // namespace zm4::cli
