// The isochronous side of the camera: the 1-ms USB frame clock, the upload of
// each encoded frame at no more than the max packet size per frame, the tail
// rule for a frame's last packet, and packets lost when nobody polls.

#include "emulator/camera.h"
#include "emulator/camera_script.h"

#include <algorithm>
#include <cstring>

namespace zm4::emu {

namespace {

// The last packet of a frame carries at least this many bytes: the host
// recognises a frame's end from the last line's marker and the end marker.
constexpr size_t kTailBytes = 5;
// The longest stretch of time run millisecond by millisecond.
constexpr int64_t kMaxCatchUpMs = 60000;

// The frame-end test of the host, on one packet's own bytes.
bool looksLikeFrameEnd(const uint8_t *p, size_t n)
{
    if (n < kTailBytes || p[n - 1] != kEndOfFrame)
        return false;
    for (size_t i = 2; i <= 5; ++i) {
        if (p[n - i] == kEndOfLine)
            return true;
        if (p[n - i] != kEndOfFrame)
            return false;
    }
    return true;
}

} // namespace

void Camera::advanceTo(int64_t timeMs)
{
    // The camera's life starts at the first time it is given, whatever the
    // caller's epoch.
    if (!clockStarted_) {
        clockStarted_ = true;
        now_ = timeMs - 1;
        nextBoundary_ = timeMs;
        return;
    }
    // After a long silence only the last stretch is run frame by frame:
    // earlier packets went to nobody and the sensor merely counted frames.
    if (timeMs - 1 - now_ > kMaxCatchUpMs) {
        const int64_t skipTo = timeMs - 1 - kMaxCatchUpMs;
        if (nextBoundary_ <= skipTo) {
            const int64_t frames = (skipTo - nextBoundary_) / periodMs_ + 1;
            sensorFrame_ += static_cast<uint32_t>(frames);
            nextBoundary_ += frames * periodMs_;
        }
        if (upload_.active && upload_.sent > 0)
            abortUpload();
        now_ = skipTo;
    }
    while (now_ + 1 < timeMs) {
        ++now_;
        tick(now_, nullptr, nullptr);
    }
}

PacketResult Camera::isoPacket(int64_t timeMs, std::span<uint8_t> buffer)
{
    PacketResult result;
    if (timeMs <= now_)
        return result; // this USB frame's slot has been used
    advanceTo(timeMs);
    now_ = timeMs;
    if (options_.script && options_.script->replacesUpload()) {
        tick(timeMs, nullptr, nullptr);
        return options_.script->isoPacket(timeMs, buffer);
    }
    tick(timeMs, &buffer, &result);
    return result;
}

void Camera::tick(int64_t ms, std::span<uint8_t> *buffer, PacketResult *result)
{
    if (ms >= nextBoundary_) {
        nextBoundary_ = ms + periodMs_;
        sensorFrameBoundary(ms);
    }

    size_t size = 0;
    if (upload_.active && ms >= upload_.startMs && (vc_[kVcIsoControl] & 0x08) && maxPacketSize() > 0)
        size = nextPacketSize();

    if (!buffer) {
        if (size > 0) {
            upload_.sent += size;
            ++counters_.packetsLost;
        }
    } else {
        if (faults_.disconnect || faults_.stall.fire(rng_)) {
            result->status = PacketStatus::kNoResponse;
            return;
        }
        size = std::min(size, buffer->size());
        if (size > 0)
            std::memcpy(buffer->data(), upload_.bytes.data() + upload_.sent, size);
        upload_.sent += size;
        result->length = size;
        // Lost or cut on the way: the host sees a good packet, short or empty.
        if (size > 0 && faults_.isoDrop.fire(rng_))
            result->length = 0;
        else if (size > 0 && faults_.isoShort.fire(rng_))
            result->length = size - std::min(size, static_cast<size_t>(faults_.isoShortBytes));
        if (result->length != size)
            ++counters_.packetsDamaged;
        if (faults_.isoFail.fire(rng_))
            result->status = PacketStatus::kRequestFailed;
        else if (faults_.isoError.fire(rng_))
            result->status = PacketStatus::kError;
        if (result->status != PacketStatus::kOk)
            ++counters_.packetsDamaged;
        if (size > 0)
            ++counters_.packetsSent;
    }

    if (upload_.active && upload_.sent >= upload_.bytes.size()) {
        upload_.active = false;
        ++counters_.framesUploaded;
    }
}

size_t Camera::nextPacketSize() const
{
    const size_t remaining = upload_.bytes.size() - upload_.sent;
    size_t size = std::min<size_t>(maxPacketSize(), remaining);
    // Leave enough for the last packet to show the frame's end.
    if (size < remaining && remaining > kTailBytes && remaining - size < kTailBytes)
        size = remaining - kTailBytes;
    // And never let an earlier packet look like the end of a frame.
    if (size < remaining)
        while (size > 0 && looksLikeFrameEnd(upload_.bytes.data() + upload_.sent, size))
            --size;
    return size;
}

void Camera::abortUpload()
{
    upload_.active = false;
    upload_.bytes.clear();
    upload_.sent = 0;
    ++counters_.framesAborted;
}

} // namespace zm4::emu
