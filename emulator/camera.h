#pragma once
// The emulated camera as a hardware object, independent of any bus: the bus
// hands it control transfers (setup packet and data stage), alternate setting
// selections and one isochronous packet slot per 1-ms USB frame, each with
// the current virtual time. The camera keeps no clock or thread of its own:
// everything happens at the times its callers give.
//
// Inside: a microcontroller (version, status, power, VC registers, four MC
// ports, serial port), a video processor (VP registers, colour, exposure and
// colour balance with automatic modes, sensor clock) and a compressor (grab,
// format, region of interest, compression) that uploads each grabbed frame
// through the isochronous endpoint.
//
// Not thread-safe: the bus serialises every call into one camera.

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <span>
#include <vector>

#include "emulator/descriptors.h"
#include "emulator/faults.h"
#include "emulator/frame_encoder.h"
#include "emulator/scenes.h"
#include "emulator/trace.h"

namespace zm4::emu {

class CameraScript; // camera_script.h

struct SetupPacket {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
};

enum class TransferStatus {
    kOk,
    kStall, // the endpoint halted: the host sees a halted-endpoint status
    kFail,  // the transfer did not complete (no handshake, bad CRC, device gone)
};

struct TransferResult {
    TransferStatus status = TransferStatus::kOk;
    size_t bytes = 0; // data stage bytes moved
    int delayMs = 0;  // how long the transfer took; the bus completes it that much later
};

enum class PacketStatus {
    kOk,            // data (possibly none) arrived intact
    kError,         // the packet arrived damaged; its bytes are lost to the host
    kRequestFailed, // the whole isochronous request this packet belongs to fails
    kNoResponse,    // the camera sent nothing: the slot passes without a packet
};

struct PacketResult {
    PacketStatus status = PacketStatus::kOk;
    size_t length = 0;
};

// Bits of the camera's error byte (status byte 4).
inline constexpr uint8_t kErrorBadParameter = 0x01;
inline constexpr uint8_t kErrorNotPowered = 0x02;

// Vendor request codes: (module AND 0xE0) OR command.
enum Request : uint8_t {
    kGetVersion = 0x01,
    kGetCameraStatus = 0x03,
    kGotoHiPower = 0x04,
    kGotoLoPower = 0x05,
    kModifyCameraStatus = 0x0A,
    kWriteVCReg = 0x22,
    kReadMCPorts = 0x23,
    kWriteMCPort = 0x24,
    kSerialStart = 0x2A,
    kSerialStop = 0x2B,
    kSerialWrite = 0x2C,
    kSerialRead = 0x2D,
    kGetVPVersion = 0xA1,
    kSetColourParams = 0xA3,
    kSetExposure = 0xA4,
    kSetColourBalance = 0xA6,
    kSetSensorFPS = 0xA7,
    kSetApcor = 0xA9,
    kFlickerCtrl = 0xAA,
    kSetVLOffset = 0xAB,
    kGetColourBalance = 0xB1,
    kGetExposure = 0xB2,
    kSetSensorMatrix = 0xB3,
    kReadVPRegs = 0xBE,
    kWriteVPReg = 0xBF,
    kGrabFrame = 0xC1,
    kSetGrabMode = 0xC3,
    kSetFormat = 0xC8,
    kSetROI = 0xC9,
    kSetCompression = 0xCA,
    kSetCompressionTarget = 0xCB,
    kSetCompressionParams = 0xCD,
};

// Registers with a meaning of their own.
inline constexpr uint8_t kVcDataWriteLock = 0xF0; // bit 2: writes with a data stage are refused
inline constexpr uint8_t kVcIsoControl = 0xF1;    // bit 3: isochronous output on
inline constexpr uint8_t kVcPortDirection = 0x90; // bits 4..6 = 101: port 2 drives its pins
inline constexpr uint8_t kVpLightLevel =
    30; // light level; 90: full exposure at 33 ms just reaches the target
inline constexpr uint8_t kVpExposureError = 4;    // 2 x (target - mean luma), signed
inline constexpr uint8_t kVpBrightnessFlags = 40; // bit 1: last brightness update not applied
inline constexpr uint8_t kVpBusy = 56;            // bit 6: processor busy, updates refused
inline constexpr uint8_t kVpApply = 63;           // write 255: apply registers 10 to 12

struct CameraOptions {
    DescriptorOptions descriptors;
    uint16_t firmwareVersion = 0x0120;
    // Version reply byte 2; 1 marks a camera without status reporting.
    uint8_t versionByte2 = 0;
    // VP version reply byte 2; its low nibble is the sensor type (9: the 613 sensor).
    uint8_t vpVersionByte2 = 0x09;
    // Bit n refuses alternate setting n.
    uint8_t refusedAlternates = 0;
    // 1: one frame per grab command; 0: free-running.
    uint8_t initialGrabMode = 1;
    // A write with a data stage needs bit 2 of VC register 0xF0 cleared first.
    bool dataWriteNeedsUnlock = true;
    // The video processor and compressor answer only in high power.
    bool requirePower = true;
    size_t traceLimit = 1000000;
    // The scene the camera starts with; null: the specimen. A camera that is
    // given another scene at once is spared laying the specimen out.
    std::unique_ptr<Scene> (*initialScene)() = nullptr;
    // Consulted before the model answers (descriptors, control transfers,
    // alternate settings, isochronous packets); must outlive the camera.
    CameraScript *script = nullptr;
};

struct CameraCounters {
    uint64_t grabs = 0;          // grab commands accepted
    uint64_t framesCaptured = 0; // frames taken from the sensor and encoded
    uint64_t framesUploaded = 0; // frames whose last byte left the camera
    uint64_t framesAborted = 0;  // uploads cut short (power, alternate setting)
    uint64_t packetsSent = 0;    // non-empty packets the host polled
    uint64_t packetsLost = 0;    // non-empty packets nobody polled
    uint64_t packetsDamaged = 0; // packets sent with an error or failed request
    uint64_t controlTransfers = 0;
};

// A frame as it leaves the sensor and encoder, for observers.
struct CapturedFrame {
    int64_t timeMs = 0;
    uint32_t sensorFrame = 0;
    std::vector<uint8_t> bytes;          // as sent, faults included
    const Image422 *reference = nullptr; // the window as the host should now show it
};

class Camera {
public:
    using FrameObserver = std::function<void(const CapturedFrame &)>;

    explicit Camera(CameraOptions options = {});

    const CameraOptions &options() const { return options_; }
    std::vector<uint8_t> deviceDescriptor() const;
    std::vector<uint8_t> configurationDescriptor() const;

    // One control transfer at timeMs. data holds the data stage: what the
    // host sends, or room for the answer; it must be at least wLength long.
    TransferResult controlTransfer(const SetupPacket &setup, std::span<uint8_t> data, int64_t timeMs);

    // SET_INTERFACE on the video interface; false when refused.
    bool selectAlternate(uint8_t interfaceNumber, uint8_t alternate, int64_t timeMs);
    uint8_t alternate() const { return alternate_; }
    uint16_t maxPacketSize() const;

    // The isochronous IN slot of the 1-ms USB frame timeMs: the packet is
    // written to buffer (at most the max packet size). Call once per frame
    // while the host polls; frames nobody polls lose their packets.
    PacketResult isoPacket(int64_t timeMs, std::span<uint8_t> buffer);

    // Runs the camera up to the start of timeMs without polling it.
    void advanceTo(int64_t timeMs);

    bool connected() const { return !faults_.disconnect; }

    Faults &faults() { return faults_; }
    void setFaults(const Faults &faults);

    void setScene(std::unique_ptr<Scene> scene);
    const Scene &scene() const { return *scene_; }
    void setFrameObserver(FrameObserver observer) { observer_ = std::move(observer); }

    Trace &trace() { return trace_; }
    const Trace &trace() const { return trace_; }
    const CameraCounters &counters() const { return counters_; }

    // The microscope's push button (port 1 bit 1, active low).
    void setButtonHeld(bool held) { buttonHeld_ = held; }
    // A short press, latched until the host pulses port 3 bit 5.
    void pressButton() { buttonLatched_ = true; }
    uint64_t port3Pulses() const { return port3Pulses_; }

    // The device on the camera's serial port.
    void serialReceive(std::span<const uint8_t> bytes);
    const std::vector<uint8_t> &serialSent() const { return serialTx_; }
    bool serialStarted() const { return serialStarted_; }

    // Register and state inspection, as a hardware model exposes it.
    bool powered() const { return powered_; }
    uint8_t vcRegister(uint8_t reg) const { return vc_[reg]; }
    uint8_t vpRegister(uint8_t reg) const { return vp_[reg]; }
    void setVpRegister(uint8_t reg, uint8_t value) { vp_[reg] = value; }
    uint8_t port(int n) const;
    uint8_t statusByte(int n) const;
    // Lamp intensity 0..31 from the pins of port 2.
    int lampLevel() const;
    int framePeriodMs() const { return periodMs_; }
    uint8_t grabMode() const { return grabMode_; }
    bool grabPending() const { return grabPending_; }
    bool uploading() const { return upload_.active; }
    uint32_t sensorFrame() const { return sensorFrame_; }
    uint16_t coarse() const { return coarse_; }
    uint8_t fine() const { return fine_; }
    uint8_t gain() const { return gain_; }
    bool autoExposure() const { return aeAuto_; }
    bool autoColourBalance() const { return acbAuto_; }
    bool backlight() const { return backlight_; }
    uint8_t gainCeiling() const { return gainCeiling_; }
    std::array<uint8_t, 3> colourBalance() const { return acbGains_; }
    std::array<uint8_t, 4> compensations() const { return comps_; }
    std::array<uint8_t, 4> baseCompensations() const { return baseComps_; }
    std::array<uint8_t, 3> colourParams() const { return {brightness_, contrast_, saturation_}; }
    std::array<uint8_t, 9> sensorMatrix() const { return matrix_; }
    std::array<uint8_t, 4> apcor() const { return apcor_; }
    std::array<uint8_t, 4> vlOffset() const { return vlOffset_; }
    std::array<uint8_t, 3> flickerControl() const { return flicker_; }
    std::array<uint8_t, 3> compressionTargets() const { return compTargets_; }
    std::array<uint8_t, 8> compressionParams() const { return compParams_; }
    bool compression() const { return compression_; }
    bool decimation() const { return decimation_; }
    uint8_t videoSize() const { return videoSize_; }
    bool subsampling422() const { return subsampling422_; }
    uint8_t yuvOrder() const { return yuvOrder_; }
    std::array<uint8_t, 4> roi() const { return roi_; }
    // The largest per-byte change that a skipped pair may hide, from the targets.
    int skipThreshold() const;
    // Mean luma the automatic exposure aims at: set by the camera brightness,
    // raised with backlight compensation to open up a dark subject.
    int targetLuma() const { return std::min(235, 68 + brightness_ + (backlight_ ? 24 : 0)); }
    // Luma offset the brightness registers add to lit pictures.
    int brightnessOffset() const { return brightnessOffset_; }
    const FrameEncoder &encoder() const { return encoder_; }

private:
    struct Command;
    struct Upload {
        std::vector<uint8_t> bytes;
        size_t sent = 0;
        int64_t startMs = 0;
        bool active = false;
    };

    static const Command *findCommand(uint8_t request);

    TransferResult standardRequest(const SetupPacket &setup, std::span<uint8_t> data, int64_t timeMs);
    void scriptTransfer(const SetupPacket &setup, std::span<uint8_t> data, TransferResult &result);
    void runCommand(const Command &command, const SetupPacket &setup, std::span<uint8_t> data,
                    std::array<uint8_t, 8> &reply);

    void tick(int64_t ms, std::span<uint8_t> *buffer, PacketResult *result);
    void sensorFrameBoundary(int64_t ms);
    void autoControl();
    void capture(int64_t ms);
    void corruptFrame(std::vector<uint8_t> &bytes);
    size_t nextPacketSize() const;
    void abortUpload();
    double exposureFactor() const;
    double lampFactor() const;
    void renderLit(Image422 &image) const;
    void setSensorClock(uint8_t divisor, uint8_t mode, int64_t ms);
    void setWindowToSensor();
    int sensorWidth() const { return videoSize_ ? 352 : 176; }
    int sensorHeight() const { return videoSize_ ? 288 : 144; }
    void raiseError(uint8_t bits) { status_[4] = static_cast<uint8_t>(status_[4] | bits); }
    void writePort(uint8_t port, uint8_t keep, uint8_t set);

    // Command handlers. p holds the four parameter bytes; data the 8 data bytes.
    void cmdGetVersion(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdGetCameraStatus(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdGotoHiPower(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdGotoLoPower(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdModifyCameraStatus(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdWriteVCReg(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdReadMCPorts(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdWriteMCPort(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdSerialStart(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdSerialStop(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdSerialWrite(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdSerialRead(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdGetVPVersion(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdSetColourParams(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdSetExposure(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdSetColourBalance(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdSetSensorFPS(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdSetApcor(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdFlickerCtrl(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdSetVLOffset(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdGetColourBalance(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdGetExposure(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdSetSensorMatrix(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdReadVPRegs(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdWriteVPReg(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdGrabFrame(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdSetGrabMode(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdSetFormat(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdSetROI(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdSetCompression(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdSetCompressionTarget(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);
    void cmdSetCompressionParams(const uint8_t *p, std::span<uint8_t> data, std::array<uint8_t, 8> &reply);

    CameraOptions options_;
    Faults faults_;
    std::mt19937_64 rng_;
    Trace trace_;
    std::unique_ptr<Scene> scene_;
    FrameEncoder encoder_;
    // The picture of the frame being captured, kept so that each capture
    // clears it instead of allocating a sensor-sized image anew.
    Image422 captureImage_;
    FrameObserver observer_;
    CameraCounters counters_;

    // Time: every 1-ms frame up to and including now_ has been run.
    bool clockStarted_ = false;
    int64_t now_ = -1;
    int64_t commandTime_ = 0;

    // Microcontroller.
    bool powered_ = false;
    std::array<uint8_t, 256> vc_{};
    std::array<uint8_t, 4> ports_{0xFF, 0xFF, 0xFF, 0xFF};
    std::array<uint8_t, 8> status_{};
    uint8_t alternate_ = 0;
    bool buttonHeld_ = false;
    bool buttonLatched_ = false;
    uint64_t port3Pulses_ = 0;
    bool serialStarted_ = false;
    std::deque<uint8_t> serialRx_;
    std::vector<uint8_t> serialTx_;

    // Video processor and sensor.
    std::array<uint8_t, 256> vp_{};
    uint8_t clockDivisor_ = 0;
    uint8_t clockMode_ = 1;
    int periodMs_ = 33;
    int64_t nextBoundary_ = 0;
    uint32_t sensorFrame_ = 0;
    uint8_t brightness_ = 50;
    uint8_t contrast_ = 0;
    uint8_t saturation_ = 50;
    int brightnessOffset_ = 0;
    std::array<uint8_t, 4> apcor_{};
    std::array<uint8_t, 4> vlOffset_{};
    std::array<uint8_t, 3> flicker_{};
    std::array<uint8_t, 9> matrix_{};
    bool aeAuto_ = true;
    uint16_t coarse_ = 100;
    uint8_t fine_ = 0;
    uint8_t gain_ = 0;
    uint8_t gainCeiling_ = 2;
    bool backlight_ = false;
    std::array<uint8_t, 4> comps_{220, 214, 214, 230};
    std::array<uint8_t, 4> baseComps_{220, 214, 214, 230};
    bool acbAuto_ = true;
    std::array<uint8_t, 3> acbGains_{30, 3, 50};
    double measuredLuma_ = 0.0;
    SceneStats stats_;
    uint32_t statsFrame_ = 0;
    bool statsValid_ = false;

    // Compressor.
    uint8_t grabMode_ = 1;
    bool grabPending_ = false;
    uint8_t videoSize_ = 1;
    bool subsampling422_ = true;
    uint8_t yuvOrder_ = 0;
    std::array<uint8_t, 4> roi_{0, 44, 0, 72};
    bool compression_ = false;
    bool decimation_ = false;
    std::array<uint8_t, 3> compTargets_{1, 16, 64};
    std::array<uint8_t, 8> compParams_{};
    Upload upload_;
};

} // namespace zm4::emu
