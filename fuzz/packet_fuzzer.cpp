// libFuzzer harness for the video transport: the camera's frame upload is
// replaced by isochronous packets the input describes (frames with chosen
// windows, compression, decimation, subsampling, header values, line faults
// and magic offsets, cut into packets of chosen lengths; runs of empty
// packets; packets with error statuses; packets of raw input bytes), fed
// through the real bus, transfer, frame assembly, decoder and stream to reads
// an application keeps waiting; between packets the application may cancel a
// read, switch between RUN and PAUSE or set a property. Checks: no crash and
// no access outside any block (ASan, UBSan), every read completes, no pool
// block is left, and no read ever shows a frame the verifier rejects.
//
// That last check: frames the input marks "rejected" carry an out-of-range
// video size or YUV order in their header, which the verifier refuses and the
// decoder would not notice, and a chroma value (kRejectedChroma) that no
// other frame uses. When the packets leave the driver nothing to guess (every
// status good, every frame whole, well-formed and small enough for the
// transfer's buffer, no raw bytes) the frames the driver assembles are
// exactly those sent, so a packed 4:2:2 read holding that chroma byte came
// from a rejected frame.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "emulator/camera_script.h"
#include "emulator/frame_encoder.h"
#include "fuzz/driver_harness.h"
#include "settings/propman.h"

namespace {

using zm4::emu::kEndOfFrame;
using zm4::emu::kEndOfLine;
using zm4::emu::kFrameHeaderSize;
using zm4::host::kMillisecond;

constexpr ULONG kUYVY = 4, kYUY2 = 5; // the driver's format indices
constexpr uint8_t kLuma = 0x60;
constexpr uint8_t kRejectedChroma = 0xD1;
constexpr size_t kTailBytes = 5;
// An input's RUN/PAUSE switches: each start of the camera costs as much as a
// whole quick input, and a third switch explores little the first two did
// not. Nor does the application restart the stream: the transfer's start and
// stop are every input's, at its open and close, and a restart mid-stream,
// one more of each, cost a third of the time of the inputs that had one.
constexpr int kMaxSwitches = 2;
// An input's simulated time, in slices: past every timeout the driver has
// for a stream (a filler frame after 2.5 s without frames).
constexpr int64_t kSliceTime = 20 * kMillisecond;
constexpr int kSlices = 150;

// One packet slot's worth of what the camera does.
struct Item {
    enum Kind { kFrame, kEmpty, kBad, kRaw, kAction } kind = kEmpty;
    std::vector<uint8_t> bytes;    // frame or raw bytes
    std::vector<uint16_t> sizes;   // frame: the packet lengths asked for, in turn
    size_t sent = 0;               // frame: bytes already sent
    size_t nextSize = 0;           // frame: index into sizes
    int count = 1;                 // empty and bad: slots
    zm4::emu::PacketResult status; // bad: the status
    uint8_t action = 0;            // action: what the application does (Action)
    int32_t value = 0;             // action: a property's id and value
};

// What the application does when an action item comes up; until then the
// camera sends empty packets.
enum Action : uint8_t {
    kCancelRead, // cancel the oldest read still waiting
    kPauseRun,   // RUN to PAUSE or back
    kProperty,   // set a property of the driver's own set
    kActions
};

bool mLooksLikeFrameEnd(const uint8_t *p, size_t n)
{
    if (n < kTailBytes || p[n - 1] != kEndOfFrame)
        return false;
    for (size_t i = 2; i <= kTailBytes; ++i) {
        if (p[n - i] == kEndOfLine)
            return true;
        if (p[n - i] != kEndOfFrame)
            return false;
    }
    return true;
}

class PacketSource final : public zm4::emu::CameraScript {
public:
    std::deque<Item> items;

    bool replacesUpload() const override { return true; }

    zm4::emu::PacketResult isoPacket(int64_t, std::span<uint8_t> buffer) override
    {
        zm4::emu::PacketResult result;
        while (!items.empty()) {
            Item &item = items.front();
            if (item.kind == Item::kFrame && item.sent >= item.bytes.size()) {
                items.pop_front();
                continue;
            }
            if (item.kind != Item::kFrame && item.count <= 0) {
                items.pop_front();
                continue;
            }
            switch (item.kind) {
            case Item::kAction:
                return result;
            case Item::kEmpty:
                --item.count;
                return result;
            case Item::kBad:
                --item.count;
                return item.status;
            case Item::kRaw: {
                item.count = 0;
                result.length = std::min(buffer.size(), item.bytes.size());
                if (result.length > 0)
                    std::memcpy(buffer.data(), item.bytes.data(), result.length);
                return result;
            }
            case Item::kFrame:
                result.length = mFramePacket(item, buffer);
                return result;
            }
        }
        return result;
    }

private:
    // As the camera cuts its upload: the last packet holds at least the
    // frame's last five bytes, no earlier packet looks like a frame's end.
    static size_t mFramePacket(Item &item, std::span<uint8_t> buffer)
    {
        const size_t remaining = item.bytes.size() - item.sent;
        size_t size = item.sizes.empty() ? buffer.size() : item.sizes[item.nextSize++ % item.sizes.size()];
        size = std::min({size, buffer.size(), remaining});
        if (size < remaining && remaining > kTailBytes && remaining - size < kTailBytes)
            size = remaining - kTailBytes;
        if (size < remaining)
            while (size > 0 && mLooksLikeFrameEnd(item.bytes.data() + item.sent, size))
                --size;
        std::memcpy(buffer.data(), item.bytes.data() + item.sent, size);
        item.sent += size;
        return size;
    }
};

struct Plan {
    bool clean = true; // the driver's frames are exactly the frames sent
    size_t bufferBytes = 0;
    int frames = 0;
    int switches = 0;
};

// A flat frame of the input's shape; its chroma tells frames apart.
void mAddFrame(FuzzedDataProvider &input, Plan &plan, PacketSource &source)
{
    const uint8_t flags = input.ConsumeIntegral<uint8_t>();
    const bool compressed = flags & 0x01;
    const bool decimated = flags & 0x02;
    const bool subsampled = flags & 0x04; // 4:2:0
    const bool rejected = flags & 0x08;
    const uint8_t colStart = input.ConsumeIntegralInRange<uint8_t>(0, 3);
    const uint8_t colEnd = static_cast<uint8_t>(colStart + input.ConsumeIntegralInRange<uint8_t>(0, 12));
    const uint8_t rowStart = input.ConsumeIntegralInRange<uint8_t>(0, 3);
    const uint8_t rowEnd = static_cast<uint8_t>(rowStart + input.ConsumeIntegralInRange<uint8_t>(0, 14));
    const uint8_t chroma = rejected ? kRejectedChroma : static_cast<uint8_t>(0x40 + 2 * (plan.frames++ % 16));

    Item item;
    item.kind = Item::kFrame;
    std::vector<uint8_t> &f = item.bytes;
    const size_t magic = flags & 0x10 ? input.ConsumeIntegralInRange<size_t>(1, 63) : 0;
    f.assign(magic + kFrameHeaderSize, 0);
    uint8_t *h = f.data() + magic;
    h[0] = zm4::emu::kMagic0;
    h[1] = zm4::emu::kMagic1;
    h[0x10] = rejected && (flags & 0x20) ? input.ConsumeIntegralInRange<uint8_t>(2, 255) : 1;
    h[0x11] = subsampled ? 0 : 1;
    h[0x12] = rejected && !(flags & 0x20) ? input.ConsumeIntegralInRange<uint8_t>(2, 255) : 0;
    h[0x18] = colStart;
    h[0x19] = colEnd;
    h[0x1A] = rowStart;
    h[0x1B] = rowEnd;
    h[0x1C] = compressed;
    h[0x1D] = decimated;

    const size_t pairs = (colEnd - colStart) * 4u; // 8 pixels, 4 pairs, per column unit
    const size_t rows = (rowEnd - rowStart) * 4u;
    f.reserve(f.size() + rows * (4 * pairs + 3) + 4);
    int position = 0;
    for (int row = rowStart * 4; row < rowEnd * 4; row += decimated ? 2 : 1, ++position) {
        const bool chromaLine = !subsampled || position % 2 == 0;
        // Room for the line's length word (filled in below), at most four
        // bytes a pair (a skip code covers one pair at least) and its marker.
        const size_t lengthAt = f.size();
        f.resize(lengthAt + 2 + 4 * pairs + 1);
        uint8_t *out = f.data() + lengthAt + 2;
        size_t skip = compressed ? input.ConsumeIntegral<uint8_t>() % (pairs + 1) : 0;
        for (size_t pair = 0; pair < pairs;) {
            if (skip > 0) {
                // A skip code counts 4:2:2 bytes: 4 per pair.
                const size_t n = std::min<size_t>(skip, zm4::emu::kMaxSkipPairs);
                *out++ = static_cast<uint8_t>(4 * n + 1);
                pair += n;
                skip -= n;
                continue;
            }
            *out++ = kLuma;
            if (chromaLine)
                *out++ = chroma;
            *out++ = kLuma;
            if (chromaLine)
                *out++ = chroma;
            ++pair;
        }
        *out++ = kEndOfLine;
        f.resize(static_cast<size_t>(out - f.data()));
        const size_t length = f.size() - lengthAt - 2;
        f[lengthAt] = static_cast<uint8_t>(length & 0xFF);
        f[lengthAt + 1] = static_cast<uint8_t>(length >> 8);
    }
    f.insert(f.end(), subsampled ? 1 : 4, kEndOfFrame);

    // Damage: a length word, an end-of-line marker, the end marker, the tail.
    const uint8_t damage = input.ConsumeIntegral<uint8_t>();
    if (damage & 0x80) {
        plan.clean = false;
        const size_t at = magic + kFrameHeaderSize +
                          input.ConsumeIntegral<uint16_t>() % (f.size() - magic - kFrameHeaderSize + 1);
        switch (damage & 3) {
        case 0: {
            const uint8_t value = input.ConsumeIntegral<uint8_t>();
            if (at < f.size())
                f[at] = value;
            break;
        }
        case 1:
            f.resize(at);
            break;
        case 2:
            f.insert(f.begin() + static_cast<std::ptrdiff_t>(at), input.ConsumeIntegral<uint8_t>());
            break;
        default:
            f.resize(f.size() - (subsampled ? 1 : 4));
            f.push_back(kEndOfLine);
            f.push_back(kEndOfFrame);
            break;
        }
    }
    if (f.size() + 1 >= plan.bufferBytes)
        plan.clean = false; // the transfer drops the start of what overflows its buffer
    const int sizes = input.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < sizes; ++i)
        item.sizes.push_back(input.ConsumeIntegralInRange<uint16_t>(1, 1024));
    source.items.push_back(std::move(item));
}

void mAddItem(FuzzedDataProvider &input, Plan &plan, PacketSource &source)
{
    const uint8_t kind = input.ConsumeIntegral<uint8_t>() % 9;
    Item item;
    switch (kind) {
    case 8:
        item.kind = Item::kAction;
        item.action = input.ConsumeIntegral<uint8_t>() % kActions;
        item.value = input.ConsumeIntegral<int32_t>();
        // Later switches cancel a read.
        if (item.action == kPauseRun && ++plan.switches > kMaxSwitches)
            item.action = kCancelRead;
        break;
    case 0:
        item.kind = Item::kEmpty;
        item.count = input.ConsumeIntegralInRange(1, 300);
        break;
    case 1: {
        plan.clean = false;
        item.kind = Item::kBad;
        item.count = input.ConsumeIntegralInRange(1, 20);
        static constexpr zm4::emu::PacketStatus kStatuses[] = {
            zm4::emu::PacketStatus::kError, zm4::emu::PacketStatus::kRequestFailed,
            zm4::emu::PacketStatus::kNoResponse, zm4::emu::PacketStatus::kOk};
        item.status.status = kStatuses[input.ConsumeIntegral<uint8_t>() % 4];
        item.status.length = input.ConsumeIntegralInRange<size_t>(0, 16);
        break;
    }
    case 2:
        plan.clean = false;
        item.kind = Item::kRaw;
        item.bytes = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(1, 1024));
        break;
    default:
        mAddFrame(input, plan, source);
        return;
    }
    source.items.push_back(std::move(item));
}

void mAct(zm4::host::Machine &machine, zm4::host::Stream &stream, const Item &action,
          const std::vector<zm4::host::RequestPtr> &queued)
{
    switch (action.action) {
    case kCancelRead:
        for (const zm4::host::RequestPtr &read : queued)
            if (!read->completed()) {
                stream.cancelRead(read);
                break;
            }
        break;
    case kPauseRun:
        stream.setState(stream.state() == KSSTATE_RUN ? KSSTATE_PAUSE : KSSTATE_RUN);
        break;
    default: {
        // Ids 3 to 31 of the driver's own set; the value's low byte.
        const auto id = static_cast<ULONG>(3 + (action.value >> 8 & 0xFF) % 29);
        machine.adapter().setProperty(PROPSETID_LUMPROP, id, action.value & 0xFF, 0);
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    static constexpr ULONG kFormats[] = {kYUY2, kUYVY, kYUY2, kUYVY, 0, 1, 2, 3};
    const ULONG format = kFormats[input.ConsumeIntegral<uint8_t>() % 8];
    const LONG width = 8 * input.ConsumeIntegralInRange<LONG>(1, 12);
    const LONG height = 4 * input.ConsumeIntegralInRange<LONG>(1, 14);
    const int reads = input.ConsumeIntegralInRange(1, 4);
    const bool paused = input.ConsumeBool();

    PacketSource source;
    Plan plan;
    plan.bufferBytes = static_cast<size_t>((2 * width + 3) * height + 324);
    for (int i = 0; i < 64 && input.remaining_bytes() > 0; ++i)
        mAddItem(input, plan, source);

    zm4::emu::CameraOptions camera;
    camera.script = &source;
    camera.traceLimit = 0;
    // A firmware that wants no status check after each command: the checks
    // are camera control, which the camera harness explores; here they would
    // be two thirds of an input's control transfers.
    camera.versionByte2 = 1;
    camera.initialScene = [] { return zm4::emu::makeFlatScene(120, 100, 160); };
    zm4::host::Machine &machine = zm4::fuzz::machineWith(camera);
    zm4::host::Adapter &adapter = machine.adapter();
    if (!NT_SUCCESS(adapter.initialiseStatus()))
        std::abort(); // the camera model answers every command here
    NTSTATUS status = STATUS_PENDING;
    std::unique_ptr<zm4::host::Stream> stream = adapter.openVideoStream(format, width, height, &status);
    if (!stream)
        std::abort();
    stream->setState(KSSTATE_PAUSE);
    if (!paused)
        stream->setState(KSSTATE_RUN);
    // The application keeps `reads` reads waiting while the packets last,
    // and acts when an action comes up.
    std::vector<zm4::host::RequestPtr> queued;
    zm4::fuzz::readBuffers().startInput();
    size_t waiting = 0;
    auto actionDue = [&] { return source.items.empty() || source.items.front().kind == Item::kAction; };
    for (int slice = 0; slice < kSlices; ++slice) {
        while (waiting < static_cast<size_t>(reads) && queued.size() < 64) {
            queued.push_back(stream->queueRead(zm4::fuzz::readBuffers().next(stream->frameBytes())));
            ++waiting;
        }
        if (source.items.empty())
            break;
        if (source.items.front().kind == Item::kAction) {
            const Item action = source.items.front();
            source.items.pop_front();
            mAct(machine, *stream, action, queued);
        }
        // An action waits for its slot, so the run stops right after the
        // event that reached it. With none left, nothing needs stopping for:
        // the bus may then serve the quiet frames before each event at once.
        if (std::any_of(source.items.begin(), source.items.end(),
                        [](const Item &item) { return item.kind == Item::kAction; }))
            machine.runUntil(actionDue, kSliceTime);
        else
            machine.runFor(kSliceTime);
        waiting = 0;
        for (const zm4::host::RequestPtr &read : queued)
            waiting += !read->completed();
    }
    machine.runFor(40 * kMillisecond);
    stream->close();
    zm4::fuzz::removeAndCheck(machine);

    const bool packed = format == kYUY2 || format == kUYVY;
    for (const zm4::host::RequestPtr &read : queued) {
        if (!read->completed()) {
            std::fprintf(stderr, "%s never completed\n", read->describe().c_str());
            std::abort();
        }
        if (!plan.clean || !packed || read->status() != STATUS_SUCCESS)
            continue;
        const std::span<const uint8_t> image = read->data().first(read->dataUsed());
        for (size_t i = format == kYUY2 ? 1 : 0; i < image.size(); i += 2)
            if (image[i] == kRejectedChroma) {
                std::fprintf(stderr, "%s shows a frame the verifier rejects (byte %zu)\n",
                             read->describe().c_str(), i);
                std::abort();
            }
    }
    if (std::getenv("ZM4_FUZZ_VERBOSE")) {
        int delivered = 0;
        for (const zm4::host::RequestPtr &read : queued)
            delivered += read->status() == STATUS_SUCCESS && read->dataUsed() > 0;
        std::fprintf(stderr, "format %lu, %ldx%ld, %d frames, %s, %d of %zu reads got a frame\n",
                     static_cast<unsigned long>(format), static_cast<long>(width), static_cast<long>(height),
                     plan.frames, plan.clean ? "clean" : "lossy", delivered, queued.size());
    }
    return 0;
}
