// The emulated camera's command and register model: the command table, control
// transfer routing, the microcontroller (status, power, VC registers, ports,
// serial port) and the compressor's settings. The video processor lives in
// camera_sensor.cpp, the isochronous upload in camera_upload.cpp.

#include "emulator/camera.h"
#include "emulator/camera_script.h"

#include <algorithm>
#include <cstring>

namespace zm4::emu {

namespace {

constexpr uint8_t kRequestTypeMask = 0x60;
constexpr uint8_t kRequestTypeStandard = 0x00;
constexpr uint8_t kRequestTypeVendor = 0x40;
constexpr uint8_t kRecipientMask = 0x1F;
constexpr uint8_t kDirectionIn = 0x80;

constexpr uint8_t kStdGetDescriptor = 6;
constexpr uint8_t kStdSetConfiguration = 9;
constexpr uint8_t kStdSetInterface = 11;

// A planned unplug: the camera answers disconnectAfter more requests, then
// leaves the bus.
void countDownToDisconnect(Faults &faults)
{
    if (faults.disconnectAfter >= 0 && faults.disconnectAfter-- == 0)
        faults.disconnect = true;
}

} // namespace

struct Camera::Command {
    using Handler = void (Camera::*)(const uint8_t *, std::span<uint8_t>, std::array<uint8_t, 8> &);

    uint8_t request;
    bool in;
    uint8_t dataLength;
    Handler handler;
};

// Every command the camera answers, with the shape of its transfer.
const Camera::Command *Camera::findCommand(uint8_t request)
{
    static const Command kCommands[] = {
        {kGetVersion, true, 8, &Camera::cmdGetVersion},
        {kGetCameraStatus, true, 8, &Camera::cmdGetCameraStatus},
        {kGotoHiPower, false, 0, &Camera::cmdGotoHiPower},
        {kGotoLoPower, false, 0, &Camera::cmdGotoLoPower},
        {kModifyCameraStatus, false, 0, &Camera::cmdModifyCameraStatus},
        {kWriteVCReg, false, 0, &Camera::cmdWriteVCReg},
        {kReadMCPorts, true, 8, &Camera::cmdReadMCPorts},
        {kWriteMCPort, false, 0, &Camera::cmdWriteMCPort},
        {kSerialStart, false, 0, &Camera::cmdSerialStart},
        {kSerialStop, false, 0, &Camera::cmdSerialStop},
        {kSerialWrite, false, 0, &Camera::cmdSerialWrite},
        {kSerialRead, true, 8, &Camera::cmdSerialRead},
        {kGetVPVersion, true, 8, &Camera::cmdGetVPVersion},
        {kSetColourParams, false, 0, &Camera::cmdSetColourParams},
        {kSetExposure, false, 8, &Camera::cmdSetExposure},
        {kSetColourBalance, false, 0, &Camera::cmdSetColourBalance},
        {kSetSensorFPS, false, 0, &Camera::cmdSetSensorFPS},
        {kSetApcor, false, 0, &Camera::cmdSetApcor},
        {kFlickerCtrl, false, 0, &Camera::cmdFlickerCtrl},
        {kSetVLOffset, false, 0, &Camera::cmdSetVLOffset},
        {kGetColourBalance, true, 8, &Camera::cmdGetColourBalance},
        {kGetExposure, true, 8, &Camera::cmdGetExposure},
        {kSetSensorMatrix, false, 8, &Camera::cmdSetSensorMatrix},
        {kReadVPRegs, true, 8, &Camera::cmdReadVPRegs},
        {kWriteVPReg, false, 0, &Camera::cmdWriteVPReg},
        {kGrabFrame, false, 0, &Camera::cmdGrabFrame},
        {kSetGrabMode, false, 0, &Camera::cmdSetGrabMode},
        {kSetFormat, false, 0, &Camera::cmdSetFormat},
        {kSetROI, false, 0, &Camera::cmdSetROI},
        {kSetCompression, false, 0, &Camera::cmdSetCompression},
        {kSetCompressionTarget, false, 0, &Camera::cmdSetCompressionTarget},
        {kSetCompressionParams, false, 8, &Camera::cmdSetCompressionParams},
    };
    for (const Command &command : kCommands)
        if (command.request == request)
            return &command;
    return nullptr;
}

Camera::Camera(CameraOptions options)
    : options_(std::move(options)), rng_(faults_.seed), trace_(options_.traceLimit),
      scene_(options_.initialScene != nullptr ? options_.initialScene() : makeSpecimenScene()),
      grabMode_(options_.initialGrabMode)
{
    vc_[kVcDataWriteLock] = options_.dataWriteNeedsUnlock ? 0x04 : 0x00;
    vc_[kVcIsoControl] = 0x08;
    // The brightness registers as the firmware leaves them: the middle setting.
    vp_[10] = 2;
    vp_[11] = 65;
    vp_[12] = static_cast<uint8_t>(-39);
    vp_[20] = 12;
}

std::vector<uint8_t> Camera::deviceDescriptor() const
{
    return zm4::emu::deviceDescriptor();
}

std::vector<uint8_t> Camera::configurationDescriptor() const
{
    std::vector<uint8_t> scripted;
    if (options_.script && options_.script->configurationDescriptor(scripted))
        return scripted;
    return zm4::emu::configurationDescriptor(options_.descriptors);
}

void Camera::setFaults(const Faults &faults)
{
    faults_ = faults;
    rng_.seed(faults_.seed);
}

void Camera::setScene(std::unique_ptr<Scene> scene)
{
    if (scene)
        scene_ = std::move(scene);
    statsValid_ = false;
}

void Camera::serialReceive(std::span<const uint8_t> bytes)
{
    serialRx_.insert(serialRx_.end(), bytes.begin(), bytes.end());
}

uint16_t Camera::maxPacketSize() const
{
    return alternate_ < kAlternateCount ? options_.descriptors.maxPacketSizes[alternate_] : 0;
}

uint8_t Camera::port(int n) const
{
    switch (n) {
    case 1:
        // The button pulls its pin low while held or until the latch is cleared.
        return static_cast<uint8_t>((ports_[1] & ~0x02) | (buttonHeld_ || buttonLatched_ ? 0x00 : 0x02));
    case 2:
        // Undriven pins float high on their pull-ups.
        return (vc_[kVcPortDirection] & 0x70) == 0x50 ? ports_[2] : 0xFF;
    case 0:
    case 3:
        return ports_[static_cast<size_t>(n)];
    default:
        return 0;
    }
}

int Camera::lampLevel() const
{
    return port(2) & 0x1F;
}

uint8_t Camera::statusByte(int n) const
{
    switch (n) {
    case 0:
        return powered_ ? 1 : 0;
    case 1:
        return grabMode_;
    case 2:
        return upload_.active ? 1 : 0;
    case 3:
        return static_cast<uint8_t>(counters_.framesCaptured & 0xFF);
    case 4:
        return status_[4];
    case 5:
        return alternate_;
    case 6:
        return videoSize_;
    case 7:
        return static_cast<uint8_t>(clockDivisor_ << 4 | clockMode_);
    default:
        return 0;
    }
}

int Camera::skipThreshold() const
{
    // Target 1 switches skipping on; targets 2 and 3 loosen it.
    if (compTargets_[0] == 0)
        return 0;
    return compTargets_[1] / 8 + compTargets_[2] / 32;
}

// ------------------------------------------------------------------------
// Control transfers

TransferResult Camera::controlTransfer(const SetupPacket &setup, std::span<uint8_t> data, int64_t timeMs)
{
    advanceTo(timeMs);
    commandTime_ = timeMs;
    ++counters_.controlTransfers;
    countDownToDisconnect(faults_);

    const bool in = (setup.requestType & kDirectionIn) != 0;
    if (data.size() < setup.length)
        return {TransferStatus::kFail, 0, 0};
    if ((setup.requestType & kRequestTypeMask) == kRequestTypeStandard) {
        TransferResult result = standardRequest(setup, data, timeMs);
        if (options_.script)
            scriptTransfer(setup, data, result);
        return result;
    }

    TraceEntry entry{timeMs, in, setup.request, setup.value, setup.index, setup.length, {}, false};
    auto finish = [&](TransferResult result) {
        if (options_.script)
            scriptTransfer(setup, data, result);
        entry.ok = result.status == TransferStatus::kOk;
        if (entry.ok && (!in || result.bytes > 0) && trace_.wanted())
            entry.data.assign(data.begin(),
                              data.begin() + static_cast<std::ptrdiff_t>(in ? result.bytes : setup.length));
        trace_.record(std::move(entry));
        return result;
    };

    if (faults_.disconnect)
        return finish({TransferStatus::kFail, 0, 0});
    if ((setup.requestType & kRequestTypeMask) != kRequestTypeVendor ||
        (setup.requestType & kRecipientMask) != 0)
        return finish({TransferStatus::kStall, 0, 0});
    if (faults_.ctrlFail.fire(rng_))
        return finish({TransferStatus::kFail, 0, 0});
    const int delay = faults_.slowCtrl.fire(rng_) ? faults_.slowCtrlMs : 0;

    const Command *command = findCommand(setup.request);
    if (!command || command->in != in || setup.length != command->dataLength)
        return finish({TransferStatus::kStall, 0, delay});

    const bool dataWrite = !in && setup.length > 0;
    if (dataWrite && faults_.haltOnWrite.fire(rng_))
        return finish({TransferStatus::kStall, 0, delay});
    if (dataWrite && options_.dataWriteNeedsUnlock && (vc_[kVcDataWriteLock] & 0x04))
        return finish({TransferStatus::kStall, 0, delay});

    const uint8_t module = setup.request & 0xE0;
    const bool videoModule = module == 0xA0 || module == 0xC0;
    std::array<uint8_t, 8> reply{};

    if (faults_.noAnswer.fire(rng_)) {
        reply.fill(0xFF);
    } else if (videoModule && options_.requirePower && !powered_) {
        // The video processor and compressor sleep in low power: reads
        // find nobody driving the bus, writes are lost.
        reply.fill(0xFF);
        raiseError(kErrorNotPowered);
    } else {
        runCommand(*command, setup, data, reply);
        if ((setup.request == kGetVersion || setup.request == kGetVPVersion) && faults_.version.fire(rng_)) {
            if (setup.request == kGetVersion) {
                reply[0] = static_cast<uint8_t>(faults_.versionFirmware >> 8);
                reply[1] = static_cast<uint8_t>(faults_.versionFirmware & 0xFF);
                reply[2] = faults_.versionByte2;
            } else {
                reply[2] = faults_.vpVersionByte2;
            }
        }
    }

    if (dataWrite && options_.dataWriteNeedsUnlock)
        vc_[kVcDataWriteLock] = static_cast<uint8_t>(vc_[kVcDataWriteLock] | 0x04);
    if (setup.request != kGetCameraStatus && setup.request != kModifyCameraStatus &&
        faults_.statusError.fire(rng_))
        raiseError(faults_.statusErrorBits);

    size_t bytes = 0;
    if (in) {
        bytes = std::min<size_t>(setup.length, reply.size());
        if (bytes > 0)
            std::memcpy(data.data(), reply.data(), bytes);
    } else {
        bytes = setup.length;
    }
    return finish({TransferStatus::kOk, bytes, delay});
}

TransferResult Camera::standardRequest(const SetupPacket &setup, std::span<uint8_t> data, int64_t timeMs)
{
    if (faults_.disconnect)
        return {TransferStatus::kFail, 0, 0};

    if (setup.requestType == 0x80 && setup.request == kStdGetDescriptor) {
        std::vector<uint8_t> descriptor;
        if (setup.value >> 8 == kDescriptorTypeDevice)
            descriptor = deviceDescriptor();
        else if (setup.value == (kDescriptorTypeConfiguration << 8))
            descriptor = configurationDescriptor();
        else
            return {TransferStatus::kStall, 0, 0};
        const size_t bytes = std::min<size_t>(setup.length, descriptor.size());
        if (bytes > 0)
            std::memcpy(data.data(), descriptor.data(), bytes);
        return {TransferStatus::kOk, bytes, 0};
    }
    if (setup.requestType == 0x00 && setup.request == kStdSetConfiguration && setup.value <= 1)
        return {TransferStatus::kOk, 0, 0};
    if (setup.requestType == 0x01 && setup.request == kStdSetInterface && setup.value <= 0xFF &&
        setup.index <= 0xFF &&
        selectAlternate(static_cast<uint8_t>(setup.index), static_cast<uint8_t>(setup.value), timeMs))
        return {TransferStatus::kOk, 0, 0};
    return {TransferStatus::kStall, 0, 0};
}

void Camera::scriptTransfer(const SetupPacket &setup, std::span<uint8_t> data, TransferResult &result)
{
    options_.script->controlTransfer(setup, data.first(setup.length), result);
    result.bytes = std::min<size_t>(result.bytes, setup.length);
}

void Camera::runCommand(const Command &command, const SetupPacket &setup, std::span<uint8_t> data,
                        std::array<uint8_t, 8> &reply)
{
    const uint8_t params[4] = {
        static_cast<uint8_t>(setup.value & 0xFF), static_cast<uint8_t>(setup.value >> 8),
        static_cast<uint8_t>(setup.index & 0xFF), static_cast<uint8_t>(setup.index >> 8)};
    (this->*command.handler)(params, data.first(setup.length), reply);
}

bool Camera::selectAlternate(uint8_t interfaceNumber, uint8_t alternate, int64_t timeMs)
{
    advanceTo(timeMs);
    countDownToDisconnect(faults_);
    if (faults_.disconnect || interfaceNumber != options_.descriptors.videoInterface ||
        alternate >= kAlternateCount)
        return false;
    if (((options_.refusedAlternates | faults_.refusedAlternates) >> alternate) & 1)
        return false;
    if (options_.script && !options_.script->acceptAlternate(interfaceNumber, alternate))
        return false;
    // SET_INTERFACE resets the endpoint: a frame half sent is lost, one
    // still waiting in the frame buffer goes out at the new rate.
    if (upload_.active && upload_.sent > 0)
        abortUpload();
    alternate_ = alternate;
    return true;
}

// ------------------------------------------------------------------------
// Microcontroller commands

void Camera::cmdGetVersion(const uint8_t *, std::span<uint8_t>, std::array<uint8_t, 8> &reply)
{
    reply[0] = static_cast<uint8_t>(options_.firmwareVersion >> 8);
    reply[1] = static_cast<uint8_t>(options_.firmwareVersion & 0xFF);
    reply[2] = options_.versionByte2;
    reply[3] = 0x01; // board revision
}

void Camera::cmdGetCameraStatus(const uint8_t *, std::span<uint8_t>, std::array<uint8_t, 8> &reply)
{
    for (int i = 0; i < 8; ++i)
        reply[static_cast<size_t>(i)] = statusByte(i);
}

void Camera::cmdGotoHiPower(const uint8_t *, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
    if (powered_)
        return;
    powered_ = true;
    nextBoundary_ = commandTime_ + periodMs_;
    statsValid_ = false;
}

void Camera::cmdGotoLoPower(const uint8_t *, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
    powered_ = false;
    grabPending_ = false;
    if (upload_.active)
        abortUpload();
    encoder_.reset();
}

void Camera::cmdModifyCameraStatus(const uint8_t *p, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
    // Only the error byte is writable; the others report live state.
    if (p[0] == 4)
        status_[4] = static_cast<uint8_t>((status_[4] & p[1]) | p[2]);
    else if (p[0] > 7)
        raiseError(kErrorBadParameter);
}

void Camera::cmdWriteVCReg(const uint8_t *p, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
    vc_[p[0]] = static_cast<uint8_t>((vc_[p[0]] & p[1]) | p[2]);
}

void Camera::cmdReadMCPorts(const uint8_t *, std::span<uint8_t>, std::array<uint8_t, 8> &reply)
{
    for (int i = 0; i < 4; ++i)
        reply[static_cast<size_t>(i)] = port(i);
}

void Camera::writePort(uint8_t n, uint8_t keep, uint8_t set)
{
    const uint8_t old = ports_[n];
    ports_[n] = static_cast<uint8_t>((old & keep) | set);
    // A low-high pulse on port 3 bit 5 clears the button latch.
    if (n == 3 && !(old & 0x20) && (ports_[3] & 0x20)) {
        ++port3Pulses_;
        buttonLatched_ = false;
    }
}

void Camera::cmdWriteMCPort(const uint8_t *p, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
    if (p[0] > 3) {
        raiseError(kErrorBadParameter);
        return;
    }
    writePort(p[0], p[1], p[2]);
}

void Camera::cmdSerialStart(const uint8_t *, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
    serialStarted_ = true;
}

void Camera::cmdSerialStop(const uint8_t *, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
    serialStarted_ = false;
}

void Camera::cmdSerialWrite(const uint8_t *p, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
    if (!serialStarted_) {
        raiseError(kErrorBadParameter);
        return;
    }
    serialTx_.push_back(p[0]);
}

void Camera::cmdSerialRead(const uint8_t *p, std::span<uint8_t>, std::array<uint8_t, 8> &reply)
{
    // Byte 0 the next received byte, byte 1 whether there was one, byte 2
    // how many wait; bit 0 of the argument takes the byte, else it is only
    // looked at. A stopped port simply has nothing to give.
    if (!serialStarted_ || serialRx_.empty())
        return;
    reply[0] = serialRx_.front();
    reply[1] = 1;
    if (p[0] & 1)
        serialRx_.pop_front();
    reply[2] = static_cast<uint8_t>(std::min<size_t>(serialRx_.size(), 255));
}

// ------------------------------------------------------------------------
// Compressor commands

void Camera::cmdGrabFrame(const uint8_t *, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
    // One frame buffer: grabs that arrive while one waits merge into it.
    grabPending_ = true;
    ++counters_.grabs;
}

void Camera::cmdSetGrabMode(const uint8_t *p, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
    const uint32_t mode = p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
    if (mode > 1) {
        raiseError(kErrorBadParameter);
        return;
    }
    grabMode_ = static_cast<uint8_t>(mode);
}

void Camera::setWindowToSensor()
{
    roi_ = {0, static_cast<uint8_t>(sensorWidth() / 8), 0, static_cast<uint8_t>(sensorHeight() / 4)};
}

void Camera::cmdSetFormat(const uint8_t *p, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
    if (p[0] > 1 || p[1] > 1 || p[2] > 1) {
        raiseError(kErrorBadParameter);
        return;
    }
    if (p[0] != videoSize_) {
        videoSize_ = p[0];
        setWindowToSensor();
    }
    subsampling422_ = p[1] == 1;
    yuvOrder_ = p[2];
}

void Camera::cmdSetROI(const uint8_t *p, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
    if (p[0] > p[1] || p[2] > p[3] || p[1] > sensorWidth() / 8 || p[3] > sensorHeight() / 4) {
        raiseError(kErrorBadParameter);
        return;
    }
    roi_ = {p[0], p[1], p[2], p[3]};
}

void Camera::cmdSetCompression(const uint8_t *p, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
    if (p[0] > 1 || p[1] > 1) {
        raiseError(kErrorBadParameter);
        return;
    }
    compression_ = p[0] == 1;
    decimation_ = p[1] == 1;
}

void Camera::cmdSetCompressionTarget(const uint8_t *p, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
    compTargets_ = {p[0], p[1], p[2]};
}

void Camera::cmdSetCompressionParams(const uint8_t *, std::span<uint8_t> d, std::array<uint8_t, 8> &)
{
    std::copy(d.begin(), d.begin() + 8, compParams_.begin());
}

} // namespace zm4::emu
