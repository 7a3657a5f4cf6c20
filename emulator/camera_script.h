#pragma once
// A script the camera consults before its own model answers: a fuzzer or a
// test plays a camera that hands out other descriptors, answers, refuses or
// fails control transfers as it likes, refuses alternate settings, or sends
// isochronous packets of its own in place of the camera's frame upload. The
// camera model still runs underneath; the script has the last word.

#include <cstdint>
#include <span>
#include <vector>

#include "emulator/camera.h"

namespace zm4::emu {

class CameraScript {
public:
    virtual ~CameraScript() = default;

    // The configuration descriptor the camera hands out; false: the model's.
    virtual bool configurationDescriptor(std::vector<uint8_t> &) { return false; }
    // Every control transfer after the model handled it: data holds the
    // model's answer (or what the host sent) and result its outcome; both may
    // be changed. result.bytes never exceeds setup.length (the camera clamps).
    virtual void controlTransfer(const SetupPacket &, std::span<uint8_t>, TransferResult &) {}
    // SET_INTERFACE the model would grant; false refuses it.
    virtual bool acceptAlternate(uint8_t /*interfaceNumber*/, uint8_t /*alternate*/) { return true; }
    // True: every isochronous slot comes from isoPacket and the camera takes
    // no pictures of its own (a grab is accepted and forgotten).
    virtual bool replacesUpload() const { return false; }
    // The packet of the 1-ms frame timeMs, at most buffer.size() bytes.
    virtual PacketResult isoPacket(int64_t /*timeMs*/, std::span<uint8_t> /*buffer*/) { return {}; }
};

} // namespace zm4::emu
