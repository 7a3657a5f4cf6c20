// Reading raw frame files and checking them the way the driver does: verify,
// and when the magic is found further in, verify once more from there. Also
// the words the tool uses for the decoder's status codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "decode/zm4decode.h"

namespace zm4::cli {

// The whole file; throws CliError(kExitIo) naming the file when it cannot be read.
std::vector<uint8_t> readFrameFile(const std::string &path);

struct FrameCheck {
    uint32_t status = 0;          // final status, after the retry at a moved magic
    StreamErrorDetails details{}; // line and length as the decoder gave them
    size_t faultOffset = 0;       // details.offset counted from the start of the file
    size_t magicOffset = 0;       // where the frame's header starts in the file
    bool headerKnown = false;     // info holds this frame's header fields
    FrameHeaderInfo info{};
    std::string reason;  // "line 17: line does not end with 0xFD"; empty when valid
    std::string message; // reason + " (status 3)"; empty when valid
};

FrameCheck checkFrame(std::span<const uint8_t> bytes);

// Image size the frame's header describes, in pixels and lines; 0 when the
// header's end lies before its start.
uint32_t frameWidth(const FrameHeaderInfo &info);
uint32_t frameHeight(const FrameHeaderInfo &info);

// "no-end-of-line" for 3 and so on; "unknown" outside 0..8.
std::string_view statusName(uint32_t status);
// The one-line reason FormatStream gave, e.g. "end-of-line marker came before the line's data ended (status
// 2)".
std::string describeDecodeStatus(uint32_t status);

} // namespace zm4::cli
