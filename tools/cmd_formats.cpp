// zm4 formats: the six output formats the driver offers capture applications,
// read from the driver's own data ranges and lookup tables, so what it prints
// is what an application negotiating a format is offered.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "decode/zm4decode.h"
#include "driver/stream_data.h"
#include "tools/cli.h"
#include "tools/pixel_formats.h"

namespace zm4::cli {

namespace {

// The video capture stream: the only stream the driver has.
constexpr ULONG kCaptureStream = 0;

struct Range {
    uint64_t min;
    uint64_t max;
    uint64_t step;
};

struct OfferedFormat {
    ULONG index;
    std::string subtype; // "RGB24", "RGB555" or the four characters
    std::string guid;    // the subtype GUID in registry form
    ULONG bitsPerPixel;
    std::string outputCode; // the decoder's output code, four characters
    std::string toolName;   // what "-f" takes for it, or empty
    Range width;
    Range height;
    uint64_t defaultWidth;
    uint64_t defaultHeight;
    Range frameInterval; // 100-ns units; step 0: any value in between
};

std::string fourCharacters(ULONG code)
{
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        char c = static_cast<char>((code >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

std::string guidText(const GUID &g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  unsigned{g.Data2}, unsigned{g.Data3}, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::string subtypeName(const GUID &subtype)
{
    if (IsEqualGUID(subtype, MEDIASUBTYPE_RGB24))
        return "RGB24";
    if (IsEqualGUID(subtype, MEDIASUBTYPE_RGB555))
        return "RGB555";
    if (IsEqualGUID(subtype, KsFourCCSubtype(subtype.Data1)))
        return fourCharacters(subtype.Data1);
    return guidText(subtype);
}

// The tables hold signed sizes; the driver's are never negative, and a
// negative one would print as 0 rather than as a huge number.
uint64_t nonNegative(LONGLONG value)
{
    return static_cast<uint64_t>(std::max<LONGLONG>(value, 0));
}

std::vector<OfferedFormat> offeredFormats()
{
    if (StreamData_GetStreamCount() <= kCaptureStream)
        throw CliError(kExitIo, "formats: the driver offers no capture stream");
    const HW_STREAM_INFORMATION &stream = StreamData_GetStreamDataPtr()[kCaptureStream];
    std::vector<OfferedFormat> formats;
    for (ULONG i = 0; i < stream.NumberOfFormatArrayEntries; ++i) {
        const KSDATAFORMAT *format = stream.StreamFormatsArray[i];
        // Every range the driver offers is a video range with its config caps.
        if (format->FormatSize < sizeof(KS_DATARANGE_VIDEO))
            throw CliError(kExitIo, "formats: range " + std::to_string(i) + " is not a video range");
        const auto &range = *reinterpret_cast<const KS_DATARANGE_VIDEO *>(format);
        const KS_VIDEO_STREAM_CONFIG_CAPS &caps = range.ConfigCaps;

        OfferedFormat f;
        f.index = i;
        f.subtype = subtypeName(range.DataRange.SubFormat);
        f.guid = guidText(range.DataRange.SubFormat);
        f.bitsPerPixel = StreamData_GetBitsPerPixel(kCaptureStream, i);
        const ULONG outputCode = StreamData_GetFourCC(kCaptureStream, i);
        f.outputCode = fourCharacters(outputCode);
        const PixelFormat *pixel =
            findPixelFormatByCode(FormatToSupplyFourCC(outputCode, static_cast<uint16_t>(f.bitsPerPixel)));
        f.toolName = pixel ? std::string(pixel->name) : "";
        f.width = {nonNegative(caps.MinOutputSize.cx), nonNegative(caps.MaxOutputSize.cx),
                   nonNegative(caps.OutputGranularityX)};
        f.height = {nonNegative(caps.MinOutputSize.cy), nonNegative(caps.MaxOutputSize.cy),
                    nonNegative(caps.OutputGranularityY)};
        f.defaultWidth = nonNegative(range.VideoInfoHeader.bmiHeader.biWidth);
        f.defaultHeight = nonNegative(range.VideoInfoHeader.bmiHeader.biHeight);
        f.frameInterval = {nonNegative(caps.MinFrameInterval), nonNegative(caps.MaxFrameInterval), 0};
        formats.push_back(std::move(f));
    }
    return formats;
}

// Frames per second of a frame interval in 100-ns units, to four digits.
std::string framesPerSecond(uint64_t interval)
{
    if (interval == 0)
        return "?";
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", 1e7 / static_cast<double>(interval));
    return text;
}

std::string rangeText(const Range &r)
{
    return std::to_string(r.min) + "-" + std::to_string(r.max) + " step " + std::to_string(r.step);
}

void printText(std::ostream &out, const std::vector<OfferedFormat> &formats)
{
    const std::vector<std::string> header = {"Index",  "Subtype", "Bits",
                                             "Output", "-f",      "Width",
                                             "Height", "Default", "Frame rate (interval, 100 ns)"};
    std::vector<std::vector<std::string>> rows{header};
    for (const OfferedFormat &f : formats)
        rows.push_back({std::to_string(f.index), f.subtype, std::to_string(f.bitsPerPixel), f.outputCode,
                        f.toolName.empty() ? "-" : f.toolName, rangeText(f.width), rangeText(f.height),
                        std::to_string(f.defaultWidth) + "x" + std::to_string(f.defaultHeight),
                        framesPerSecond(f.frameInterval.max) + "-" + framesPerSecond(f.frameInterval.min) +
                            " fps (" + std::to_string(f.frameInterval.min) + "-" +
                            std::to_string(f.frameInterval.max) + ")"});
    std::vector<size_t> widths(header.size(), 0);
    for (const auto &row : rows)
        for (size_t c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    for (const auto &row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size())
                line += std::string(widths[c] - row[c].size() + 2, ' ');
        }
        out << line << '\n';
    }
}

nlohmann::ordered_json rangeJson(const Range &r, bool withStep)
{
    nlohmann::ordered_json json{{"min", r.min}, {"max", r.max}};
    if (withStep)
        json["step"] = r.step;
    return json;
}

nlohmann::ordered_json toJson(const std::vector<OfferedFormat> &formats)
{
    nlohmann::ordered_json json = nlohmann::ordered_json::array();
    for (const OfferedFormat &f : formats)
        json.push_back({
            {"index", f.index},
            {"subtype", f.subtype},
            {"guid", f.guid},
            {"bitsPerPixel", f.bitsPerPixel},
            {"outputCode", f.outputCode},
            {"toolName", f.toolName.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(f.toolName)},
            {"width", rangeJson(f.width, true)},
            {"height", rangeJson(f.height, true)},
            {"default", {{"width", f.defaultWidth}, {"height", f.defaultHeight}}},
            {"frameInterval", rangeJson(f.frameInterval, false)},
        });
    return json;
}

void printFormats(bool asJson)
{
    std::vector<OfferedFormat> formats = offeredFormats();
    if (asJson)
        std::cout << toJson(formats).dump(2) << '\n';
    else
        printText(std::cout, formats);
    std::cout.flush();
}

} // namespace

std::function<int()> setupFormats(CLI::App &cmd)
{
    auto json = std::make_shared<bool>(false);
    cmd.add_flag("--json", *json, "print one JSON array with an object per format");
    cmd.footer("Lists the output formats the driver offers capture applications, in the order of\n"
               "its data ranges: the media subtype, bits per pixel, the decoder's output code, the\n"
               "name 'zm4 decode -f' takes, the picture sizes accepted (width and height from, to,\n"
               "step), the default size, and the frame rates (frame interval in 100-ns units).");
    return [json] {
        printFormats(*json);
        return kExitOk;
    };
}

} // namespace zm4::cli
