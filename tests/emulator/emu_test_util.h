#pragma once
// Helpers for the emulator tests: camera commands sent the way the driver's
// message link sends them, and a host-side packet collector that cuts the
// isochronous stream into frames by the host's own end-of-frame rule.

#include <array>
#include <cstdint>
#include <vector>

#include "emulator/camera.h"

namespace zm4::emu::test {

struct Reply {
    TransferResult result;
    std::array<uint8_t, 8> data{};
    bool ok() const { return result.status == TransferStatus::kOk; }
};

// A command without data stage, or with 8 data bytes to the camera.
inline Reply writeCommand(Camera &camera, uint8_t request, std::array<uint8_t, 4> p, int64_t timeMs,
                          const std::vector<uint8_t> &data = {})
{
    Reply reply;
    std::copy(data.begin(), data.end(), reply.data.begin());
    const SetupPacket setup{0x40, request, static_cast<uint16_t>(p[0] | p[1] << 8),
                            static_cast<uint16_t>(p[2] | p[3] << 8), static_cast<uint16_t>(data.size())};
    reply.result = camera.controlTransfer(setup, reply.data, timeMs);
    return reply;
}

// A read command: 8 bytes from the camera.
inline Reply readCommand(Camera &camera, uint8_t request, std::array<uint8_t, 4> p, int64_t timeMs)
{
    Reply reply;
    const SetupPacket setup{0xC0, request, static_cast<uint16_t>(p[0] | p[1] << 8),
                            static_cast<uint16_t>(p[2] | p[3] << 8), 8};
    reply.result = camera.controlTransfer(setup, reply.data, timeMs);
    return reply;
}

// Clears VC register 0xF0 bit 2, as the link does before every data-stage write.
inline void unlockDataWrite(Camera &camera, int64_t timeMs)
{
    writeCommand(camera, kWriteVCReg, {0xF0, 0xFB, 0x00, 0}, timeMs);
}

// The host's frame-end test on one packet (at least 5 bytes, 0xFD then 0xFF..., or five 0xFF).
inline bool hostSeesFrameEnd(const uint8_t *p, size_t n)
{
    if (n < 5 || p[n - 1] != 0xFF)
        return false;
    for (size_t i = 2; i <= 5; ++i) {
        if (p[n - i] == 0xFD)
            return true;
        if (p[n - i] != 0xFF)
            return false;
    }
    return true;
}

struct PacketLog {
    int64_t timeMs;
    PacketStatus status;
    std::vector<uint8_t> data;
};

// Polls the camera once per millisecond over [from, to) and assembles frames
// the way the host does: good packets appended, a packet that passes the
// frame-end test completes the frame.
struct Collector {
    std::vector<PacketLog> packets;
    std::vector<std::vector<uint8_t>> frames;
    std::vector<int64_t> frameEndTimes;
    std::vector<uint8_t> current;

    void run(Camera &camera, int64_t from, int64_t to)
    {
        std::vector<uint8_t> buffer(1023);
        for (int64_t t = from; t < to; ++t) {
            const PacketResult r = camera.isoPacket(t, buffer);
            packets.push_back({t, r.status,
                               std::vector<uint8_t>(buffer.begin(),
                                                    buffer.begin() + static_cast<std::ptrdiff_t>(r.length))});
            if (r.status != PacketStatus::kOk || r.length == 0)
                continue;
            current.insert(current.end(), buffer.begin(),
                           buffer.begin() + static_cast<std::ptrdiff_t>(r.length));
            if (hostSeesFrameEnd(buffer.data(), r.length)) {
                frames.push_back(std::move(current));
                frameEndTimes.push_back(t);
                current.clear();
            }
        }
    }
};

// Grabs a frame at `timeMs` and polls the camera from then until `untilMs`.
inline Collector grabAndPoll(Camera &camera, int64_t timeMs, int64_t untilMs)
{
    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, timeMs);
    Collector host;
    host.run(camera, timeMs, untilMs);
    return host;
}

// Powers the camera up and selects an alternate setting.
inline void startCamera(Camera &camera, int64_t timeMs, uint8_t alternate = 3)
{
    writeCommand(camera, kGotoHiPower, {0, 0, 0, 0}, timeMs);
    camera.selectAlternate(camera.options().descriptors.videoInterface, alternate, timeMs);
}

} // namespace zm4::emu::test
