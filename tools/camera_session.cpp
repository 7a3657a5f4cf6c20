// Building and running the emulated camera for the tool's commands.
#include "tools/camera_session.h"

#include <algorithm>
#include <charconv>
#include <filesystem>

#include "emulator/scenes.h"
#include "platform/kernel/registry_store.h"
#include "tools/cli.h"
#include "tools/fault_option.h"
#include "tools/image_writer.h"
#include "tools/output_file.h"

namespace zm4::cli {

namespace {

std::string statusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

} // namespace

void addSessionOptions(CLI::App &command, SessionOptions &o, bool running)
{
    command.add_option("--registry", o.registry, "the registry file the driver keeps its settings in")
        ->type_name("PATH");
    if (!running)
        return;
    command
        .add_option("--scene", o.scene,
                    "what the camera looks at: bars, flat:Y,U,V, specimen[:SEED] or a .ppm file")
        ->type_name("SCENE");
    addFaultOption(command, o.faults);
    command.add_option("--clock", o.clock, "sim: as fast as the machine goes; real: the camera's own pace")
        ->type_name("sim|real");
    command.add_flag("--simulated", o.simulated, "the same as --clock sim");
    command.add_option("--trace", o.trace, "write the camera's control transfers to FILE")->type_name("FILE");
    command.add_option("--set", o.sets, "set a property once the camera runs (see 'zm4 controls')")
        ->type_name("NAME=VALUE")
        ->take_all();
    command
        .add_option("--camera-frames", o.cameraFrames,
                    "also write every frame the camera sent, as sent, to numbered files (cam-%05d.raw)")
        ->type_name("PATTERN");
}

const PropertyName &propertyOrThrow(std::string_view name, std::string_view command)
{
    if (const PropertyName *property = findProperty(name))
        return *property;
    std::string message = "unknown property '" + std::string(name) + "'";
    if (std::string near = nearestName(name, propertyNameList()); !near.empty())
        message += "; did you mean '" + near + "'?";
    throw usageError(command, message + " ('zm4 controls' lists them)");
}

StreamChoice chooseStream(host::Adapter &adapter, const std::string &pixelName, const std::string &size,
                          std::string_view command)
{
    const std::vector<host::VideoRange> ranges = adapter.videoRanges();
    std::vector<std::string> names;
    for (const host::VideoRange &range : ranges)
        names.push_back(range.name());
    StreamChoice choice;
    const PixelFormat *pixel = findPixelFormat(pixelName);
    const auto offered = std::find_if(ranges.begin(), ranges.end(), [&](const host::VideoRange &range) {
        return pixel != nullptr && findPixelFormat(range.name()) == pixel;
    });
    if (offered == ranges.end()) {
        std::string list;
        for (const std::string &name : names)
            list += (list.empty() ? "" : ", ") + name;
        std::string message = "unknown pixel format '" + pixelName + "', the driver offers " + list;
        if (std::string near = nearestName(pixelName, names); !near.empty())
            message += "; did you mean '" + near + "'?";
        throw usageError(command, message);
    }
    choice.index = offered->index;
    choice.pixel = pixel;
    const size_t x = size.find_first_of("xX");
    const char *end = size.data() + size.size();
    auto w = std::from_chars(size.data(), size.data() + (x == std::string::npos ? 0 : x), choice.width);
    auto h = x == std::string::npos ? std::from_chars_result{end, std::errc::invalid_argument}
                                    : std::from_chars(size.data() + x + 1, end, choice.height);
    if (x == std::string::npos || w.ec != std::errc() || w.ptr != size.data() + x || h.ec != std::errc() ||
        h.ptr != end || !offered->accepts(choice.width, choice.height)) {
        const KS_VIDEO_STREAM_CONFIG_CAPS &caps = offered->range.ConfigCaps;
        throw usageError(command, "size '" + size + "' is not offered for " + offered->name() + ": width " +
                                      std::to_string(caps.MinOutputSize.cx) + " to " +
                                      std::to_string(caps.MaxOutputSize.cx) + " in steps of " +
                                      std::to_string(caps.OutputGranularityX) + ", height " +
                                      std::to_string(caps.MinOutputSize.cy) + " to " +
                                      std::to_string(caps.MaxOutputSize.cy) + " in steps of " +
                                      std::to_string(caps.OutputGranularityY));
    }
    return choice;
}

CameraSession::CameraSession(const SessionOptions &options, std::string command, host::Clock defaultClock)
    : options_(options), command_(std::move(command))
{
    if (options_.clock.empty())
        realTime_ = defaultClock == host::Clock::Real && !options_.simulated;
    else if (options_.clock == "real" || options_.clock == "sim")
        realTime_ = options_.clock == "real";
    else
        throw usageError(command_, "--clock takes 'sim' or 'real', not '" + options_.clock + "'");
    if (options_.simulated && realTime_)
        throw usageError(command_, "--simulated and --clock real contradict each other");
    for (const std::string &assignment : options_.sets) {
        const size_t eq = assignment.find('=');
        if (eq == std::string::npos || eq + 1 == assignment.size())
            throw usageError(command_, "--set wants NAME=VALUE, not '" + assignment + "'");
        propertyOrThrow(std::string_view(assignment).substr(0, eq), command_);
    }
    std::string why;
    std::unique_ptr<emu::Scene> scene = emu::makeScene(options_.scene, &why);
    if (!scene && std::filesystem::is_regular_file(options_.scene))
        scene = emu::makeScene("file:" + options_.scene, &why);
    if (!scene)
        throw usageError(command_, "--scene: " + why);
    if (!options_.cameraFrames.empty() && !NamePattern(options_.cameraFrames).perFrame)
        throw usageError(command_, "--camera-frames wants a name with a frame number, e.g. cam-%05d.raw");
    // An output file that cannot be written is found out before the run.
    if (!options_.trace.empty())
        OutputFile(options_.trace);

    const std::filesystem::path registry = host::RegistryStore::defaultPath(options_.registry);
    if (std::optional<std::string> damage = host::RegistryStore::openFile(registry)->damage()) {
        // The store's words are about a driver that runs on from defaults;
        // this command runs nothing instead.
        damage->erase(std::min(damage->size(), damage->find("; the registry starts from defaults")));
        throw CliError(kExitIo, command_ + ": " + *damage + "; nothing run, the file is left as it is");
    }

    host::MachineOptions machineOptions;
    machineOptions.kernel.clock = realTime_ ? host::Clock::Real : host::Clock::Simulated;
    machineOptions.registryPath = registry;
    machine_ = std::make_unique<host::Machine>(machineOptions);
    machine_->camera().setScene(std::move(scene));
    if (!options_.cameraFrames.empty())
        // Runs where the camera runs (the timer thread in real time): a failure
        // is kept for finish() to report.
        machine_->camera().setFrameObserver([this](const emu::CapturedFrame &frame) {
            if (!cameraFrameError_.empty())
                return;
            try {
                OutputFile file(NamePattern(options_.cameraFrames).nameFor(cameraFrameCount_++));
                file.write(frame.bytes);
                file.commit();
            } catch (const CliError &error) {
                cameraFrameError_ = error.what();
            }
        });
    if (!NT_SUCCESS(adapter().initialiseStatus()))
        throw CliError(kExitIo, command_ + ": the driver did not start the camera (status " +
                                    statusText(adapter().initialiseStatus()) + ")");
}

CameraSession::~CameraSession()
{
    // Streams go before the machine that runs them.
    stream_.reset();
    machine_.reset();
}

host::Stream &CameraSession::start(ULONG formatIndex, LONG width, LONG height)
{
    NTSTATUS status = STATUS_PENDING;
    stream_ = adapter().openVideoStream(formatIndex, width, height, &status);
    if (!stream_)
        throw CliError(kExitIo,
                       command_ + ": the driver refused the stream (status " + statusText(status) + ")");
    emu::Camera &camera = machine_->camera();
    for (const emu::TimedFault &fault : options_.faults) {
        auto apply = [&camera, spec = fault.spec] { emu::parseFault(spec, camera.faults(), nullptr); };
        if (fault.atMs == 0)
            apply();
        else
            machine_->scheduler().postAfter(fault.atMs * host::kMillisecond, apply);
    }
    startTime_ = machine_->scheduler().now();
    status = stream_->run();
    if (!NT_SUCCESS(status))
        throw CliError(kExitIo, command_ + ": the stream did not start (status " + statusText(status) + ")");
    for (const std::string &assignment : options_.sets)
        set(assignment);
    return *stream_;
}

host::RequestPtr CameraSession::nextFrame()
{
    constexpr size_t kReadsQueued = 4;
    while (reads_.size() < kReadsQueued)
        reads_.push_back(stream_->queueRead(stream_->frameBytes()));
    host::RequestPtr read = reads_.front();
    if (!machine_->waitFor(read, 10 * host::kSecond))
        throw CliError(kExitIo, command_ + ": the driver delivered nothing for 10 s");
    reads_.pop_front();
    reads_.push_back(stream_->queueRead(stream_->frameBytes()));
    if (read->status() != STATUS_SUCCESS && !(read->status() == STATUS_TIMEOUT && read->dataUsed() != 0))
        throw CliError(kExitIo, command_ + ": a read failed (status " + statusText(read->status()) + ")");
    return read;
}

int64_t CameraSession::elapsed() const
{
    return machine_->scheduler().now() - startTime_;
}

void CameraSession::finish()
{
    if (stream_) {
        stream_->stop();
        stream_->close();
        stream_.reset();
    }
    machine_->removeDevice();
    machine_->camera().setFrameObserver(nullptr);
    if (!cameraFrameError_.empty())
        throw CliError(kExitIo, command_ + ": --camera-frames: " + cameraFrameError_);
    if (!options_.trace.empty()) {
        OutputFile file(options_.trace);
        file.write(machine_->camera().trace().text());
        file.commit();
    }
}

PropertyResult CameraSession::get(const PropertyName &property)
{
    PropertyResult result = adapter().getProperty(propertySet(property), property.id);
    if (!NT_SUCCESS(result.status))
        throw CliError(kExitIo, command_ + ": the driver did not answer " + std::string(property.name) +
                                    " (status " + statusText(result.status) + ")");
    return result;
}

void CameraSession::set(const PropertyName &property, std::string_view value)
{
    const PropertyResult current = get(property);
    std::string why;
    std::optional<SetRequest> request = parseSetValue(property, value, current, &why);
    if (!request)
        throw usageError(command_, std::string(property.name) + "=" + std::string(value) + ": " + why);
    const PropertyResult result =
        adapter().setProperty(propertySet(property), property.id, request->value, request->flags);
    if (result.status == STATUS_NOT_IMPLEMENTED)
        throw usageError(command_,
                         std::string(property.name) + " is read-only: the driver refuses to set it");
    if (!NT_SUCCESS(result.status))
        throw CliError(kExitIo, command_ + ": the driver refused " + std::string(property.name) +
                                    " (status " + statusText(result.status) + ")");
}

void CameraSession::set(std::string_view assignment)
{
    const size_t eq = assignment.find('=');
    if (eq == std::string_view::npos || eq + 1 == assignment.size())
        throw usageError(command_, "expected NAME=VALUE, not '" + std::string(assignment) + "'");
    set(propertyOrThrow(assignment.substr(0, eq), command_), assignment.substr(eq + 1));
}

} // namespace zm4::cli
