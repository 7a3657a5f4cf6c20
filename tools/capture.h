// The capture run that zm4 capture and zm4 snapshot share: the camera started
// in the asked format and size, frames read until a count or a time, each
// handed to a sink, and the run's account for the summary.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <span>
#include <string>

#include "tools/camera_session.h"

namespace zm4::cli {

struct CaptureOptions {
    SessionOptions session;
    std::string pixelFormat;
    std::string size = "352x288";
    uint64_t frames = 30;
    double seconds = 0; // > 0: capture for this long instead of a count
    double rate = 0;    // > 0: the frame rate asked for
    bool progress = true;
};

struct CaptureReport {
    StreamChoice choice;
    uint64_t frames = 0; // reads completed with a frame, fillers included
    uint64_t fillers = 0;
    uint64_t notDelivered = 0; // frames the camera sent that no read got
    uint64_t packetsLost = 0;  // packets the camera had ready that the host did not poll
    ULONG crises = 0;
    ULONG period = 0; // ms per camera frame at the frame-rate index in force at the start
    std::string problems;
    double seconds = 0;         // machine time from the start to the stop
    double framesPerSecond = 0; // delivered, from the first frame to the last
    double cpuSeconds = 0;
};

class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Before the camera starts: may refuse the choice with a usage error.
    virtual void begin(const StreamChoice &choice) const = 0;
    virtual void frame(uint64_t index, std::span<const uint8_t> bytes, const CaptureReport &report) const = 0;
    virtual void end() const = 0;
    // True once the reader of a pipe has gone: the capture ends there.
    virtual bool closed() const { return false; }
};

// -p, -s, --rate and the session's options.
void addCaptureOptions(CLI::App &command, CaptureOptions &options);
CaptureReport runCapture(const CaptureOptions &options, std::string_view command, const FrameSink &sink);
std::string summaryText(const CaptureReport &report, std::string_view command, const std::string &output);

} // namespace zm4::cli
