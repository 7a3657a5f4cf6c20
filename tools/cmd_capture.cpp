// zm4 capture: runs the driver's capture stream on the emulated camera
// through the port, as a capture application does, and writes the frames it
// delivers as Y4M (YUV formats), raw bytes, or PNG/PPM images; a progress line
// on a terminal and a summary of the run (frames, fillers, crises, problems
// from the driver's debug record, CPU time per frame) on standard error.
#include <cmath>
#include <csignal>
#include <ctime>
#include <iostream>
#include <poll.h>
#include <unistd.h>

#include "camera/camera_private.h"
#include "driver/debug.h"
#include "settings/propman.h"
#include "tools/camera_session.h"
#include "tools/capture.h"
#include "tools/cli.h"
#include "tools/image_writer.h"

namespace zm4::cli {

namespace {

// Set by Ctrl-C: the capture stops there and finishes its files and summary.
volatile std::sig_atomic_t interrupted = 0;

void onInterrupt(int)
{
    interrupted = 1;
}

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string problemsText()
{
    static const char *const kNames[] = {"filler frame delivered", "transfer gave up", "link refused",
                                         "excluder wait timed out", "camera fault"};
    const DEBUG_RECORD *record = Debug_GetRecord();
    std::string text;
    for (ULONG i = 0; i < record->problemCount && i < DEBUG_PROBLEM_LIST_SIZE; ++i) {
        const unsigned code = record->problemList[i];
        const int bit = code ? __builtin_ctz(code) : 5;
        text += (text.empty() ? "" : ", ") +
                std::string(bit < 5 && (code & (code - 1)) == 0 ? kNames[bit] : "problem") + " (" +
                std::to_string(code) + ")";
    }
    return text.empty() ? "none" : text;
}

// The frame-rate index nearest a rate the user asked for; a usage error when
// none of the camera's rates is within half a frame per second.
ULONG rateIndex(double fps, std::string_view command)
{
    std::string rates;
    for (ULONG index = 1; index <= 5; ++index) {
        const double rate = 1000.0 / mFramePeriod(index);
        if (std::fabs(rate - fps) < 0.5)
            return index;
        char text[16];
        std::snprintf(text, sizeof text, "%.4g", rate);
        rates += std::string(rates.empty() ? "" : ", ") + text;
    }
    throw usageError(command, "--rate: the camera runs at " + rates + " frames per second");
}

} // namespace

CaptureReport runCapture(const CaptureOptions &o, std::string_view command, const FrameSink &sink)
{
    CameraSession session(o.session, std::string(command), host::Clock::Real);
    const StreamChoice choice = chooseStream(session.adapter(), o.pixelFormat, o.size, command);
    std::optional<ULONG> rate;
    if (o.rate > 0)
        rate = rateIndex(o.rate, command);
    sink.begin(choice);

    session.start(choice.index, choice.width, choice.height);
    if (rate)
        session.set(*findProperty("frame_rate"), std::to_string(*rate));
    CaptureReport report;
    report.choice = choice;
    report.period = mFramePeriod(static_cast<ULONG>(session.get(*findProperty("frame_rate")).value));
    const bool progress = o.progress && isatty(STDERR_FILENO);
    const double cpuStart = cpuSeconds();
    double shownAt = 0;
    const auto realStart = std::chrono::steady_clock::now();
    int64_t firstFrameAt = 0;
    int64_t lastFrameAt = 0;
    auto more = [&] {
        if (o.seconds > 0)
            return session.elapsed() < static_cast<int64_t>(o.seconds * 1e7);
        return report.frames < o.frames;
    };
    interrupted = 0;
    std::signal(SIGINT, onInterrupt);
    while (more() && !sink.closed() && !interrupted) {
        host::RequestPtr read = session.nextFrame();
        const bool filler = read->status() == STATUS_TIMEOUT;
        ++report.frames;
        if (report.frames == 1)
            firstFrameAt = session.elapsed();
        lastFrameAt = session.elapsed();
        report.fillers += filler ? 1 : 0;
        sink.frame(report.frames - 1, read->data().first(read->dataUsed()), report);
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count();
        if (progress && wall - shownAt >= 0.25) {
            shownAt = wall;
            const uint64_t sent = session.machine().camera().counters().framesUploaded;
            const double span = static_cast<double>(lastFrameAt - firstFrameAt) / 1e7;
            std::fprintf(stderr,
                         "\r%.*s: %llu frames  %.1f fps  %llu fillers  %llu camera frames not delivered ",
                         static_cast<int>(command.size()), command.data(),
                         static_cast<unsigned long long>(report.frames),
                         span > 0 ? static_cast<double>(report.frames - 1) / span : 0.0,
                         static_cast<unsigned long long>(report.fillers),
                         static_cast<unsigned long long>(sent > report.frames ? sent - report.frames : 0));
        }
    }
    std::signal(SIGINT, SIG_DFL);
    if (progress)
        std::fputc('\n', stderr);
    report.seconds = static_cast<double>(session.elapsed()) / 1e7;
    if (lastFrameAt > firstFrameAt)
        report.framesPerSecond =
            static_cast<double>(report.frames - 1) * 1e7 / static_cast<double>(lastFrameAt - firstFrameAt);
    report.cpuSeconds = cpuSeconds() - cpuStart;
    const uint64_t uploaded = session.machine().camera().counters().framesUploaded;
    report.packetsLost = session.machine().camera().counters().packetsLost;
    session.finish();
    // The camera may have sent a frame or two the stop cut off; a frame the
    // driver threw away (damaged, late) is one the reads never saw.
    report.notDelivered = uploaded > report.frames ? uploaded - report.frames : 0;
    report.crises = Debug_GetRecord()->crisisCount;
    report.problems = problemsText();
    sink.end();
    return report;
}

std::string summaryText(const CaptureReport &r, std::string_view command, const std::string &output)
{
    char line[512];
    std::snprintf(
        line, sizeof line,
        "%.*s: %llu frames of %s %ldx%ld in %.2f s (%.1f fps; camera at %.3g fps) to %s\n"
        "  fillers %llu, crises %u, camera frames not delivered %llu, camera packets not polled %llu\n"
        "  problems: %s\n"
        "  CPU %.2f ms per frame\n",
        static_cast<int>(command.size()), command.data(), static_cast<unsigned long long>(r.frames),
        std::string(r.choice.pixel->name).c_str(), static_cast<long>(r.choice.width),
        static_cast<long>(r.choice.height), r.seconds, r.framesPerSecond, 1000.0 / r.period,
        output == "-" ? "standard output" : output.c_str(), static_cast<unsigned long long>(r.fillers),
        static_cast<unsigned>(r.crises), static_cast<unsigned long long>(r.notDelivered),
        static_cast<unsigned long long>(r.packetsLost), r.problems.c_str(),
        r.frames ? r.cpuSeconds * 1000.0 / static_cast<double>(r.frames) : 0.0);
    return line;
}

void addCaptureOptions(CLI::App &cmd, CaptureOptions &o)
{
    cmd.add_option("-p,--pixel-format", o.pixelFormat,
                   "rgb24, rgb555, i420, yv12, uyvy or yuy2 (see 'zm4 formats')")
        ->type_name("FORMAT");
    cmd.add_option("-s,--size", o.size, "picture size, e.g. 352x288 (default), 176x144, 704x576 (rgb24)")
        ->type_name("WxH");
    cmd.add_option("--rate", o.rate, "frames per second: 30, 25, 15, 12.5 or 7.5 (the frame-rate property)")
        ->type_name("FPS");
    addSessionOptions(cmd, o.session, true);
}

namespace {

struct CaptureCommand {
    CaptureOptions options;
    std::string output;
};

// Writes every delivered frame as the output's kind asks.
class CaptureSink : public FrameSink {
public:
    CaptureSink(std::string output, ImageFileKind kind)
        : output_(std::move(output)), pattern_(output_), kind_(kind)
    {
    }

    void begin(const StreamChoice &choice) const override
    {
        choice_ = choice;
        if (kind_ == ImageFileKind::Y4m && choice.pixel->family == PixelFamily::Rgb)
            throw usageError("capture", "Y4M holds YUV frames; capture with -p i420, yv12, yuy2 or uyvy, or "
                                        "write " +
                                            std::string(choice.pixel->name) + " to .png, .ppm or raw");
        if ((kind_ == ImageFileKind::Png || kind_ == ImageFileKind::Ppm) &&
            choice.pixel->family != PixelFamily::Rgb)
            throw usageError("capture",
                             "PNG and PPM take RGB frames; capture with -p rgb24 or rgb555, or write " +
                                 std::string(choice.pixel->name) + " to .y4m or raw");
        if (kind_ == ImageFileKind::Raw)
            raw_ = std::make_unique<OutputFile>(output_);
    }
    void frame(uint64_t index, std::span<const uint8_t> bytes, const CaptureReport &report) const override
    {
        const auto w = static_cast<uint32_t>(choice_.width), h = static_cast<uint32_t>(choice_.height);
        switch (kind_) {
        case ImageFileKind::Y4m:
            try {
                if (!y4m_)
                    y4m_ = std::make_unique<Y4mWriter>(output_, *choice_.pixel, w, h,
                                                       std::pair<uint32_t, uint32_t>{1000, report.period});
                y4m_->writeFrame(bytes);
            } catch (const CliError &) {
                // A player reading standard output has quit: the capture
                // ends there, as any pipeline's producer does.
                pollfd out{STDOUT_FILENO, POLLOUT, 0};
                if (output_ != "-" || ::poll(&out, 1, 0) != 1 || !(out.revents & POLLERR))
                    throw;
                closed_ = true;
            }
            break;
        case ImageFileKind::Raw:
            raw_->write(bytes);
            break;
        default: {
            last_ = toTopDownRgb(*choice_.pixel, bytes, w, h);
            lastIndex_ = index;
            if (pattern_.perFrame)
                writeStill();
        }
        }
    }
    bool closed() const override { return closed_; }
    void end() const override
    {
        if (y4m_ && !closed_)
            y4m_->finish();
        if (raw_)
            raw_->commit();
        if (!pattern_.perFrame && !last_.empty())
            writeStill();
    }

private:
    void writeStill() const
    {
        const std::string path = pattern_.nameFor(lastIndex_);
        const auto w = static_cast<uint32_t>(choice_.width), h = static_cast<uint32_t>(choice_.height);
        if (kind_ == ImageFileKind::Png)
            writePng(path, last_, w, h);
        else
            writePpm(path, last_, w, h);
    }

    std::string output_;
    NamePattern pattern_;
    ImageFileKind kind_;
    mutable StreamChoice choice_;
    mutable std::unique_ptr<Y4mWriter> y4m_;
    mutable std::unique_ptr<OutputFile> raw_;
    mutable std::vector<uint8_t> last_;
    mutable uint64_t lastIndex_ = 0;
    mutable bool closed_ = false;
};

int capture(CaptureCommand &c, CLI::App &cmd)
{
    CaptureOptions &o = c.options;
    if (c.output.empty())
        throw usageError("capture", "no output given (-o FILE: .y4m, .png with %04d, .ppm, .raw; '-' for Y4M "
                                    "on standard output)");
    if (cmd.count("-n") && cmd.count("-t"))
        throw usageError("capture", "-n and -t both given: capture a number of frames or for a time");
    if (o.frames == 0 || o.seconds < 0)
        throw usageError("capture", "-n wants at least 1 frame and -t a positive time");
    if (cmd.count("--rate") && o.rate <= 0)
        throw usageError("capture", "--rate wants a positive number of frames per second");
    // Standard output gets a Y4M stream, so that a player can read it.
    const ImageFileKind kind = c.output == "-" ? ImageFileKind::Y4m : imageFileKind(c.output, "capture");
    if (o.pixelFormat.empty())
        o.pixelFormat = kind == ImageFileKind::Png || kind == ImageFileKind::Ppm ? "rgb24" : "i420";
    // A reader that quits is seen as a failed write, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    CaptureSink sink(c.output, kind);
    const CaptureReport report = runCapture(o, "capture", sink);
    std::cerr << summaryText(report, "capture", c.output)
              << (sink.closed() ? "  the reader closed standard output: capture ended there\n" : "");
    return kExitOk;
}

} // namespace

std::function<int()> setupCapture(CLI::App &cmd)
{
    auto c = std::make_shared<CaptureCommand>();
    cmd.add_option("-o,--output", c->output, "FILE.y4m, frame-%04d.png, FILE.ppm, FILE.raw, or '-' (Y4M)")
        ->type_name("FILE");
    cmd.add_option("-n,--frames", c->options.frames, "frames to capture (default 30)")->type_name("FRAMES");
    cmd.add_option("-t,--time", c->options.seconds, "capture for this long instead")->type_name("SECONDS");
    addCaptureOptions(cmd, c->options);
    cmd.footer("Runs the driver's capture stream on the emulated camera, through the port as a capture\n"
               "application does, and writes the frames it delivers. By the output's extension: .y4m\n"
               "(i420 and yv12 as C420paldv, yuy2 and uyvy as C422, XCOLORRANGE=LIMITED), .png or .ppm\n"
               "(RGB formats; every frame with a %04d in the name, else the last), .raw/.yuv/.rgb/.bin\n"
               "(the bytes as the driver delivers them: RGB bottom-up B,G,R). RGB to Y4M is refused, not\n"
               "converted: the camera's own data is YUV, so capture a YUV format for a Y4M stream.\n"
               "'-o -' writes Y4M to standard output: zm4 capture -o - | ffplay -\n"
               "\n"
               "Real time is the default (--clock real); --simulated runs as fast as the machine goes.\n"
               "Filler frames (what the driver gives when no frame came for 2.5 s) are written too and\n"
               "counted. A progress line is shown while standard error is a terminal; the summary at\n"
               "the end gives frames, fillers, the transfer crises and the problems the driver recorded.\n"
               "Ctrl-C ends the capture early with its files complete and the summary shown.\n"
               "\n"
               "Exit status: 0 success, 1 I/O error or the driver failed, 2 usage error.");
    return [c, &cmd] { return capture(*c, cmd); };
}

} // namespace zm4::cli
