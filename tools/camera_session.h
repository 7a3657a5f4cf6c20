// The emulated camera behind the whole driver, built from the options the
// commands that run it share (--registry, --scene, --fault, --clock, --trace,
// --set): one Machine, its capture stream opened through the port, property
// requests by name, and the run's account (frames, fillers, crises, problems).
#pragma once

#include <CLI/CLI.hpp>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "emulator/faults.h"
#include "platform/port/machine.h"
#include "tools/pixel_formats.h"
#include "tools/properties.h"

namespace zm4::cli {

struct SessionOptions {
    std::string registry;
    std::string scene = "specimen";
    std::vector<zm4::emu::TimedFault> faults;
    std::string clock; // "sim" or "real"; empty: the command's default
    bool simulated = false;
    std::string trace;
    std::vector<std::string> sets;
    std::string cameraFrames; // a name pattern with %d: every frame the camera sent, as sent
};

// --registry on every command that starts the driver; with `running` also
// --scene, --fault, --clock, --simulated, --trace and --set.
void addSessionOptions(CLI::App &command, SessionOptions &options, bool running);

class CameraSession {
public:
    // Checks the options (a usage error names `command`), refuses a damaged
    // registry file, and builds the machine with the camera's device added.
    CameraSession(const SessionOptions &options, std::string command, host::Clock defaultClock);
    ~CameraSession();
    CameraSession(const CameraSession &) = delete;
    CameraSession &operator=(const CameraSession &) = delete;

    host::Machine &machine() { return *machine_; }
    host::Adapter &adapter() { return machine_->adapter(); }
    bool realTime() const { return realTime_; }

    // Opens the capture stream in the offered format at a size and runs it:
    // the camera starts, the --fault switches are armed from now, the --set
    // values are sent.
    host::Stream &start(ULONG formatIndex, LONG width, LONG height);
    host::Stream &stream() { return *stream_; }
    // The next read the driver completes, with a few kept queued so that no
    // camera frame waits for a read: its status is STATUS_SUCCESS for a
    // frame, STATUS_TIMEOUT for a filler (DataUsed still a whole frame).
    // Throws CliError when the driver gives nothing for 10 s.
    host::RequestPtr nextFrame();
    // The run's machine time so far, in 100-ns units.
    int64_t elapsed() const;
    // Stops and closes the stream (the camera saves its settings), removes the
    // device (saved again), and writes the --trace file.
    void finish();

    // Property requests by name; a refusal throws CliError naming the property.
    PropertyResult get(const PropertyName &property);
    void set(const PropertyName &property, std::string_view value);
    // "NAME=VALUE" as --set and 'zm4 set' take it.
    void set(std::string_view assignment);

private:
    SessionOptions options_;
    std::string command_;
    bool realTime_ = false;
    std::unique_ptr<host::Machine> machine_;
    std::unique_ptr<host::Stream> stream_;
    std::deque<host::RequestPtr> reads_;
    uint64_t cameraFrameCount_ = 0;
    std::string cameraFrameError_; // the first failure to write a camera frame
    int64_t startTime_ = 0;
};

// The format and size a capture asks for, checked against the ranges the
// driver's stream offers: -p NAME as 'zm4 formats' lists them, -s WxH.
struct StreamChoice {
    ULONG index = 0;
    const PixelFormat *pixel = nullptr;
    LONG width = 0;
    LONG height = 0;
};
StreamChoice chooseStream(host::Adapter &adapter, const std::string &pixelName, const std::string &size,
                          std::string_view command);

// The property named in an argument, or a usage error with the nearest name.
const PropertyName &propertyOrThrow(std::string_view name, std::string_view command);

} // namespace zm4::cli
