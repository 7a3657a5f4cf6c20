/*
 * The emulated camera: command set, register model, sensor timing, automatic
 * exposure and colour balance, frame capture and isochronous upload.
 */

#include "emulator/camera.h"

#include <algorithm>
#include <cmath>
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

constexpr uint16_t kMaxCoarse = 302;
/* Coarse 100 at the 33-ms period, no gain, base compensations, full lamps:
 * the exposure at which a lit scene shows its nominal levels. */
constexpr double kNominalExposure = 100.0 * 33.0;
/* Full exposure at the fastest rate. */
constexpr double kFullExposure = double(kMaxCoarse) * 33.0;
/* The light level reported when full exposure at the fastest rate just reaches the target. */
constexpr double kLightLevelAtTarget = 90.0;
/* The last packet of a frame carries at least this many bytes: the host
 * recognises a frame's end from the last line's marker and the end marker. */
constexpr size_t kTailBytes = 5;
/* Scene statistics drift slowly; the meter re-reads them every few frames. */
constexpr uint32_t kStatsInterval = 8;
/* The longest stretch of time run millisecond by millisecond. */
constexpr int64_t kMaxCatchUpMs = 60000;

constexpr uint8_t kNeutralRedGain = 30;
constexpr uint8_t kNeutralBlueGain = 50;
constexpr uint8_t kMaxBalanceGain = 212;

uint8_t clampByte(double value)
{
	return static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

/* The frame-end test of the host, on one packet's own bytes. */
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

/* Compensation bytes are signed; (c + 128) mod 256 orders them. */
int offsetForm(uint8_t c)
{
	return (c + 128) & 0xFF;
}

} /* namespace */

struct Camera::Command {
	using Handler = void (Camera::*)(const uint8_t *, std::span<uint8_t>, std::array<uint8_t, 8> &);

	uint8_t request;
	bool in;
	uint8_t dataLength;
	Handler handler;
};

/* Every command the camera answers, with the shape of its transfer. */
const Camera::Command *Camera::findCommand(uint8_t request)
{
	static const Command kCommands[] = {
		{ kGetVersion, true, 8, &Camera::cmdGetVersion },
		{ kGetCameraStatus, true, 8, &Camera::cmdGetCameraStatus },
		{ kGotoHiPower, false, 0, &Camera::cmdGotoHiPower },
		{ kGotoLoPower, false, 0, &Camera::cmdGotoLoPower },
		{ kModifyCameraStatus, false, 0, &Camera::cmdModifyCameraStatus },
		{ kWriteVCReg, false, 0, &Camera::cmdWriteVCReg },
		{ kReadMCPorts, true, 8, &Camera::cmdReadMCPorts },
		{ kWriteMCPort, false, 0, &Camera::cmdWriteMCPort },
		{ kSerialStart, false, 0, &Camera::cmdSerialStart },
		{ kSerialStop, false, 0, &Camera::cmdSerialStop },
		{ kSerialWrite, false, 0, &Camera::cmdSerialWrite },
		{ kSerialRead, true, 8, &Camera::cmdSerialRead },
		{ kGetVPVersion, true, 8, &Camera::cmdGetVPVersion },
		{ kSetColourParams, false, 0, &Camera::cmdSetColourParams },
		{ kSetExposure, false, 8, &Camera::cmdSetExposure },
		{ kSetColourBalance, false, 0, &Camera::cmdSetColourBalance },
		{ kSetSensorFPS, false, 0, &Camera::cmdSetSensorFPS },
		{ kSetApcor, false, 0, &Camera::cmdSetApcor },
		{ kFlickerCtrl, false, 0, &Camera::cmdFlickerCtrl },
		{ kSetVLOffset, false, 0, &Camera::cmdSetVLOffset },
		{ kGetColourBalance, true, 8, &Camera::cmdGetColourBalance },
		{ kGetExposure, true, 8, &Camera::cmdGetExposure },
		{ kSetSensorMatrix, false, 8, &Camera::cmdSetSensorMatrix },
		{ kReadVPRegs, true, 8, &Camera::cmdReadVPRegs },
		{ kWriteVPReg, false, 0, &Camera::cmdWriteVPReg },
		{ kGrabFrame, false, 0, &Camera::cmdGrabFrame },
		{ kSetGrabMode, false, 0, &Camera::cmdSetGrabMode },
		{ kSetFormat, false, 0, &Camera::cmdSetFormat },
		{ kSetROI, false, 0, &Camera::cmdSetROI },
		{ kSetCompression, false, 0, &Camera::cmdSetCompression },
		{ kSetCompressionTarget, false, 0, &Camera::cmdSetCompressionTarget },
		{ kSetCompressionParams, false, 8, &Camera::cmdSetCompressionParams },
	};
	for (const Command &command : kCommands)
		if (command.request == request)
			return &command;
	return nullptr;
}

Camera::Camera(CameraOptions options)
	: options_(std::move(options)), rng_(faults_.seed), trace_(options_.traceLimit),
	  scene_(makeSpecimenScene()), grabMode_(options_.initialGrabMode)
{
	vc_[kVcDataWriteLock] = options_.dataWriteNeedsUnlock ? 0x04 : 0x00;
	vc_[kVcIsoControl] = 0x08;
	/* The brightness registers as the firmware leaves them: the middle setting. */
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
		/* The button pulls its pin low while held or until the latch is cleared. */
		return static_cast<uint8_t>((ports_[1] & ~0x02) | (buttonHeld_ || buttonLatched_ ? 0x00 : 0x02));
	case 2:
		/* Undriven pins float high on their pull-ups. */
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
	/* Target 1 switches skipping on; targets 2 and 3 loosen it. */
	if (compTargets_[0] == 0)
		return 0;
	return compTargets_[1] / 8 + compTargets_[2] / 32;
}

/* ------------------------------------------------------------------------ */
/* Control transfers                                                         */

TransferResult Camera::controlTransfer(const SetupPacket &setup, std::span<uint8_t> data, int64_t timeMs)
{
	advanceTo(timeMs);
	commandTime_ = timeMs;
	++counters_.controlTransfers;

	const bool in = (setup.requestType & kDirectionIn) != 0;
	if (data.size() < setup.length)
		return { TransferStatus::fail, 0, 0 };
	if ((setup.requestType & kRequestTypeMask) == kRequestTypeStandard)
		return standardRequest(setup, data, timeMs);

	TraceEntry entry{ timeMs, in, setup.request, setup.value, setup.index, setup.length, {}, false };
	auto finish = [&](TransferResult result) {
		entry.ok = result.status == TransferStatus::ok;
		if (entry.ok && (!in || result.bytes > 0))
			entry.data.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(in ? result.bytes
												       : setup.length));
		trace_.record(std::move(entry));
		return result;
	};

	if (faults_.disconnect)
		return finish({ TransferStatus::fail, 0, 0 });
	if ((setup.requestType & kRequestTypeMask) != kRequestTypeVendor ||
	    (setup.requestType & kRecipientMask) != 0)
		return finish({ TransferStatus::stall, 0, 0 });
	if (faults_.ctrlFail.fire(rng_))
		return finish({ TransferStatus::fail, 0, 0 });
	const int delay = faults_.slowCtrl.fire(rng_) ? faults_.slowCtrlMs : 0;

	const Command *command = findCommand(setup.request);
	if (!command || command->in != in || setup.length != command->dataLength)
		return finish({ TransferStatus::stall, 0, delay });

	const bool dataWrite = !in && setup.length > 0;
	if (dataWrite && faults_.haltOnWrite.fire(rng_))
		return finish({ TransferStatus::stall, 0, delay });
	if (dataWrite && options_.dataWriteNeedsUnlock && (vc_[kVcDataWriteLock] & 0x04))
		return finish({ TransferStatus::stall, 0, delay });

	const uint8_t module = setup.request & 0xE0;
	const bool videoModule = module == 0xA0 || module == 0xC0;
	std::array<uint8_t, 8> reply{};

	if (faults_.noAnswer.fire(rng_)) {
		reply.fill(0xFF);
	} else if (videoModule && options_.requirePower && !powered_) {
		/* The video processor and compressor sleep in low power: reads
		 * find nobody driving the bus, writes are lost. */
		reply.fill(0xFF);
		raiseError(kErrorNotPowered);
	} else {
		runCommand(*command, setup, data, reply);
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
	return finish({ TransferStatus::ok, bytes, delay });
}

TransferResult Camera::standardRequest(const SetupPacket &setup, std::span<uint8_t> data, int64_t timeMs)
{
	if (faults_.disconnect)
		return { TransferStatus::fail, 0, 0 };

	if (setup.requestType == 0x80 && setup.request == kStdGetDescriptor) {
		std::vector<uint8_t> descriptor;
		if (setup.value >> 8 == kDescriptorTypeDevice)
			descriptor = deviceDescriptor();
		else if (setup.value == (kDescriptorTypeConfiguration << 8))
			descriptor = configurationDescriptor();
		else
			return { TransferStatus::stall, 0, 0 };
		const size_t bytes = std::min<size_t>(setup.length, descriptor.size());
		if (bytes > 0)
			std::memcpy(data.data(), descriptor.data(), bytes);
		return { TransferStatus::ok, bytes, 0 };
	}
	if (setup.requestType == 0x00 && setup.request == kStdSetConfiguration && setup.value <= 1)
		return { TransferStatus::ok, 0, 0 };
	if (setup.requestType == 0x01 && setup.request == kStdSetInterface && setup.value <= 0xFF &&
	    setup.index <= 0xFF &&
	    selectAlternate(static_cast<uint8_t>(setup.index), static_cast<uint8_t>(setup.value), timeMs))
		return { TransferStatus::ok, 0, 0 };
	return { TransferStatus::stall, 0, 0 };
}

void Camera::runCommand(const Command &command, const SetupPacket &setup, std::span<uint8_t> data,
			std::array<uint8_t, 8> &reply)
{
	const uint8_t params[4] = { static_cast<uint8_t>(setup.value & 0xFF), static_cast<uint8_t>(setup.value >> 8),
				    static_cast<uint8_t>(setup.index & 0xFF), static_cast<uint8_t>(setup.index >> 8) };
	(this->*command.handler)(params, data.first(setup.length), reply);
}

bool Camera::selectAlternate(uint8_t interfaceNumber, uint8_t alternate, int64_t timeMs)
{
	advanceTo(timeMs);
	if (faults_.disconnect || interfaceNumber != options_.descriptors.videoInterface ||
	    alternate >= kAlternateCount)
		return false;
	if (((options_.refusedAlternates | faults_.refusedAlternates) >> alternate) & 1)
		return false;
	/* SET_INTERFACE resets the endpoint: a frame half sent is lost, one
	 * still waiting in the frame buffer goes out at the new rate. */
	if (upload_.active && upload_.sent > 0)
		abortUpload();
	alternate_ = alternate;
	return true;
}

/* ------------------------------------------------------------------------ */
/* Microcontroller commands                                                  */

void Camera::cmdGetVersion(const uint8_t *, std::span<uint8_t>, std::array<uint8_t, 8> &reply)
{
	reply[0] = static_cast<uint8_t>(options_.firmwareVersion >> 8);
	reply[1] = static_cast<uint8_t>(options_.firmwareVersion & 0xFF);
	reply[2] = options_.versionByte2;
	reply[3] = 0x01; /* board revision */
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
	/* Only the error byte is writable; the others report live state. */
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
	/* A low-high pulse on port 3 bit 5 clears the button latch. */
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
	/* Byte 0 the next received byte, byte 1 whether there was one, byte 2
	 * how many wait; bit 0 of the argument takes the byte, else it is only
	 * looked at. A stopped port simply has nothing to give. */
	if (!serialStarted_ || serialRx_.empty())
		return;
	reply[0] = serialRx_.front();
	reply[1] = 1;
	if (p[0] & 1)
		serialRx_.pop_front();
	reply[2] = static_cast<uint8_t>(std::min<size_t>(serialRx_.size(), 255));
}

/* ------------------------------------------------------------------------ */
/* Video processor commands                                                  */

void Camera::cmdGetVPVersion(const uint8_t *, std::span<uint8_t>, std::array<uint8_t, 8> &reply)
{
	reply[0] = 0x02;
	reply[1] = 0x10;
	reply[2] = options_.vpVersionByte2;
	reply[3] = 0x00;
}

void Camera::cmdSetColourParams(const uint8_t *p, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
	brightness_ = std::min<uint8_t>(p[0], 100);
	contrast_ = p[1];
	saturation_ = std::min<uint8_t>(p[2], 100);
}

void Camera::cmdSetExposure(const uint8_t *p, std::span<uint8_t> d, std::array<uint8_t, 8> &)
{
	/* Argument 1: gain ceiling + 1; 2: exposure mode (1 set values, 2
	 * automatic, 3 fixed); 3: compensations (1 current, 2 base); 4:
	 * backlight (1 on, 2 off); 0 leaves each part alone. Data: gain, fine,
	 * coarse low and high, then the four compensations. */
	if (p[0] > 4 || p[1] > 3 || p[2] > 2 || p[3] > 2 || (p[1] == 1 && d[0] > 3)) {
		raiseError(kErrorBadParameter);
		return;
	}
	if (p[0])
		gainCeiling_ = static_cast<uint8_t>(p[0] - 1);
	if (p[1] == 1) {
		gain_ = d[0];
		fine_ = d[1];
		coarse_ = std::min<uint16_t>(static_cast<uint16_t>(d[2] | d[3] << 8), kMaxCoarse);
	} else if (p[1] == 2) {
		aeAuto_ = true;
	} else if (p[1] == 3) {
		aeAuto_ = false;
	}
	if (p[2] == 1)
		std::copy(d.begin() + 4, d.begin() + 8, comps_.begin());
	else if (p[2] == 2)
		std::copy(d.begin() + 4, d.begin() + 8, baseComps_.begin());
	if (p[3])
		backlight_ = p[3] == 1;
}

void Camera::cmdSetColourBalance(const uint8_t *p, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
	switch (p[0]) {
	case 1:
		if (p[1] > kMaxBalanceGain || p[2] > kMaxBalanceGain || p[3] > kMaxBalanceGain) {
			raiseError(kErrorBadParameter);
			return;
		}
		acbGains_ = { p[1], p[2], p[3] };
		break;
	case 2:
		acbAuto_ = true;
		break;
	case 3:
		acbAuto_ = false;
		break;
	case 0:
		break; /* gains and mode as they are */
	default:
		raiseError(kErrorBadParameter);
	}
}

void Camera::setSensorClock(uint8_t divisor, uint8_t mode, int64_t ms)
{
	clockDivisor_ = divisor;
	clockMode_ = mode;
	periodMs_ = (mode == 1 ? 33 : 40) << divisor;
	/* The sensor restarts its frame timing on the new clock. */
	nextBoundary_ = ms + periodMs_;
}

void Camera::cmdSetSensorFPS(const uint8_t *p, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
	if (p[0] > 3 || p[1] > 1) {
		raiseError(kErrorBadParameter);
		return;
	}
	setSensorClock(p[0], p[1], commandTime_);
}

void Camera::cmdSetApcor(const uint8_t *p, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
	std::copy(p, p + 4, apcor_.begin());
}

void Camera::cmdFlickerCtrl(const uint8_t *p, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
	flicker_ = { p[0], p[1], p[2] };
}

void Camera::cmdSetVLOffset(const uint8_t *p, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
	std::copy(p, p + 4, vlOffset_.begin());
}

void Camera::cmdGetColourBalance(const uint8_t *, std::span<uint8_t>, std::array<uint8_t, 8> &reply)
{
	reply[0] = acbGains_[0];
	reply[1] = acbGains_[1];
	reply[2] = acbGains_[2];
	reply[3] = acbAuto_ ? 2 : 3;
}

void Camera::cmdGetExposure(const uint8_t *, std::span<uint8_t>, std::array<uint8_t, 8> &reply)
{
	reply[0] = gain_;
	reply[1] = fine_;
	reply[2] = static_cast<uint8_t>(coarse_ & 0xFF);
	reply[3] = static_cast<uint8_t>(coarse_ >> 8);
	std::copy(comps_.begin(), comps_.end(), reply.begin() + 4);
}

void Camera::cmdSetSensorMatrix(const uint8_t *p, std::span<uint8_t> d, std::array<uint8_t, 8> &)
{
	std::copy(p, p + 4, matrix_.begin());
	std::copy(d.begin(), d.begin() + 5, matrix_.begin() + 4);
}

void Camera::cmdReadVPRegs(const uint8_t *p, std::span<uint8_t>, std::array<uint8_t, 8> &reply)
{
	for (int i = 0; i < 4; ++i)
		reply[static_cast<size_t>(i)] = vp_[p[i]];
}

void Camera::cmdWriteVPReg(const uint8_t *p, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
	const uint8_t value = static_cast<uint8_t>((vp_[p[0]] & p[1]) | p[2]);
	if (p[0] != kVpApply) {
		vp_[p[0]] = value;
		return;
	}
	/* Writing 255 to register 63 applies the brightness registers; while
	 * the processor is busy the update is refused and flagged in register
	 * 40 bit 1. The register clears itself. */
	vp_[kVpApply] = 0;
	if (value != 0xFF)
		return;
	if (vp_[kVpBusy] & 0x40) {
		vp_[kVpBrightnessFlags] = static_cast<uint8_t>(vp_[kVpBrightnessFlags] | 0x02);
		return;
	}
	brightnessOffset_ = (static_cast<int8_t>(vp_[11]) - 65) / 2;
}

/* ------------------------------------------------------------------------ */
/* Compressor commands                                                       */

void Camera::cmdGrabFrame(const uint8_t *, std::span<uint8_t>, std::array<uint8_t, 8> &)
{
	/* One frame buffer: grabs that arrive while one waits merge into it. */
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
	roi_ = { 0, static_cast<uint8_t>(sensorWidth() / 8), 0, static_cast<uint8_t>(sensorHeight() / 4) };
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
	roi_ = { p[0], p[1], p[2], p[3] };
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
	compTargets_ = { p[0], p[1], p[2] };
}

void Camera::cmdSetCompressionParams(const uint8_t *, std::span<uint8_t> d, std::array<uint8_t, 8> &)
{
	std::copy(d.begin(), d.begin() + 8, compParams_.begin());
}

/* ------------------------------------------------------------------------ */
/* Time, sensor and upload                                                   */

void Camera::advanceTo(int64_t timeMs)
{
	/* The camera's life starts at the first time it is given, whatever the
	 * caller's epoch. */
	if (!clockStarted_) {
		clockStarted_ = true;
		now_ = timeMs - 1;
		nextBoundary_ = timeMs;
		return;
	}
	/* After a long silence only the last stretch is run frame by frame:
	 * earlier packets went to nobody and the sensor merely counted frames. */
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
		return result; /* this USB frame's slot has been used */
	advanceTo(timeMs);
	now_ = timeMs;
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
			result->status = PacketStatus::noResponse;
			return;
		}
		size = std::min(size, buffer->size());
		if (size > 0)
			std::memcpy(buffer->data(), upload_.bytes.data() + upload_.sent, size);
		upload_.sent += size;
		result->length = size;
		if (faults_.isoFail.fire(rng_))
			result->status = PacketStatus::requestFailed;
		else if (faults_.isoError.fire(rng_))
			result->status = PacketStatus::error;
		if (result->status != PacketStatus::ok)
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
	/* Leave enough for the last packet to show the frame's end. */
	if (size < remaining && remaining > kTailBytes && remaining - size < kTailBytes)
		size = remaining - kTailBytes;
	/* And never let an earlier packet look like the end of a frame. */
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

void Camera::sensorFrameBoundary(int64_t ms)
{
	++sensorFrame_;
	if (!powered_)
		return;
	autoControl();
	if (!upload_.active && (grabPending_ || grabMode_ == 0))
		capture(ms);
}

double Camera::lampFactor() const
{
	/* A little stray light reaches the slide with the lamps off. */
	return 0.03 + 0.97 * lampLevel() / 31.0;
}

double Camera::exposureFactor() const
{
	double comp = 0.0;
	for (size_t i = 0; i < 4; ++i)
		comp += double(offsetForm(comps_[i])) / std::max(1, offsetForm(baseComps_[i]));
	comp /= 4.0;
	const double exposure = double(coarse_) * periodMs_ * double(1 << std::min<int>(gain_, 3)) *
				(1.0 + fine_ / 256.0);
	return lampFactor() * comp * exposure / kNominalExposure;
}

void Camera::autoControl()
{
	if (!statsValid_ || sensorFrame_ - statsFrame_ >= kStatsInterval) {
		stats_ = scene_->stats(sensorFrame_);
		statsFrame_ = sensorFrame_;
		statsValid_ = true;
	}

	const double target = targetLuma();
	const double f = exposureFactor();
	const double mean = std::clamp(16.0 + (stats_.y - 16.0) * f, 16.0, 240.0);
	measuredLuma_ = mean;

	/* The meter: light level in units where 90 means that full exposure at
	 * the fastest rate just reaches the target; and the exposure error. */
	const double fullMean = (stats_.y - 16.0) * lampFactor() * kFullExposure / kNominalExposure;
	vp_[kVpLightLevel] = clampByte(kLightLevelAtTarget * fullMean / std::max(1.0, target - 16.0));
	const long error = std::clamp(std::lround(2.0 * (target - mean)), -128L, 127L);
	vp_[kVpExposureError] = static_cast<uint8_t>(error & 0xFF);

	if (aeAuto_) {
		double desired = kMaxCoarse;
		if (mean > 16.5)
			desired = coarse_ * (target - 16.0) / (mean - 16.0);
		double next = coarse_ + (desired - coarse_) / 2.0;
		if (std::abs(desired - coarse_) >= 1.0 && std::abs(next - coarse_) < 1.0)
			next = coarse_ + (desired > coarse_ ? 1.0 : -1.0);
		long c = std::clamp(std::lround(next), 1L, long(kMaxCoarse));
		/* With flicker control the exposure is one less than a whole
		 * number of light periods. */
		const long jump = flicker_[1];
		if (flicker_[0] && jump > 0) {
			const long k = std::max(1L, std::lround(double(c + 1) / double(jump)));
			c = k * jump - 1;
			while (c > kMaxCoarse)
				c -= jump;
			c = std::max(c, 1L);
		}
		coarse_ = static_cast<uint16_t>(c);
	}

	if (acbAuto_) {
		/* Grey world: steer red and blue gains until the mean chroma is neutral. */
		const double cs = std::min(1.0, f) * saturation_ / 50.0;
		const double red = kNeutralRedGain - 4.0 * (stats_.v - 128.0) * cs;
		const double blue = kNeutralBlueGain - 4.0 * (stats_.u - 128.0) * cs;
		acbGains_[0] = static_cast<uint8_t>(
			std::clamp(std::lround((acbGains_[0] + red) / 2.0), 0L, long(kMaxBalanceGain)));
		acbGains_[2] = static_cast<uint8_t>(
			std::clamp(std::lround((acbGains_[2] + blue) / 2.0), 0L, long(kMaxBalanceGain)));
	}
}

void Camera::renderLit(Image422 &image) const
{
	const double f = exposureFactor();
	const double contrast = (64.0 + static_cast<int8_t>(contrast_)) / 64.0;
	const double cs = std::min(1.0, f) * saturation_ / 50.0;
	const double du = (acbGains_[2] - kNeutralBlueGain) / 4.0;
	const double dv = (acbGains_[0] - kNeutralRedGain) / 4.0;

	uint8_t lumaTable[256];
	uint8_t uTable[256];
	uint8_t vTable[256];
	for (int i = 0; i < 256; ++i) {
		const double y = 16.0 + (i - 16.0) * f;
		lumaTable[i] = clampByte(128.0 + (y - 128.0) * contrast + brightnessOffset_);
		uTable[i] = clampByte(128.0 + (i - 128.0) * cs + du);
		vTable[i] = clampByte(128.0 + (i - 128.0) * cs + dv);
	}
	for (size_t i = 0; i + 3 < image.data.size(); i += 4) {
		uint8_t *p = image.data.data() + i;
		p[0] = lumaTable[p[0]];
		p[1] = uTable[p[1]];
		p[2] = lumaTable[p[2]];
		p[3] = vTable[p[3]];
	}
}

void Camera::capture(int64_t ms)
{
	grabPending_ = false;

	Image422 image(sensorWidth(), sensorHeight());
	scene_->render(sensorFrame_, image);
	if (scene_->lit())
		renderLit(image);

	FrameParams params;
	params.videoSize = videoSize_;
	params.subsampling422 = subsampling422_;
	params.yuvOrder = yuvOrder_;
	params.colStart = roi_[0];
	params.colEnd = roi_[1];
	params.rowStart = roi_[2];
	params.rowEnd = roi_[3];
	params.compression = compression_;
	params.decimation = decimation_;
	params.threshold = skipThreshold();
	params.frameNumber = sensorFrame_;
	params.cameraValues = { static_cast<uint8_t>(sensorFrame_ & 0xFF), clampByte(measuredLuma_), gain_,
				static_cast<uint8_t>(coarse_ & 0xFF), static_cast<uint8_t>(coarse_ >> 8) };

	upload_.bytes = encoder_.encode(image, params);
	if (faults_.corrupt.fire(rng_))
		corruptFrame(upload_.bytes);
	upload_.sent = 0;
	upload_.startMs = ms + 1;
	upload_.active = true;
	++counters_.framesCaptured;

	if (observer_)
		observer_(CapturedFrame{ ms, sensorFrame_, upload_.bytes, &encoder_.reference() });
}

void Camera::corruptFrame(std::vector<uint8_t> &bytes)
{
	/* Find the line record to damage: the chosen one, or the middle one. */
	std::vector<size_t> lines;
	const size_t end = bytes.size() - (subsampling422_ ? 4 : 1);
	for (size_t p = kFrameHeaderSize; p + 2 <= end;) {
		lines.push_back(p);
		p += 2 + (bytes[p] | bytes[p + 1] << 8);
	}
	size_t line = 0;
	if (!lines.empty())
		line = lines[faults_.corruptLine >= 0
				     ? std::min(static_cast<size_t>(faults_.corruptLine), lines.size() - 1)
				     : lines.size() / 2];

	switch (faults_.corruption) {
	case Corruption::lineLength:
		if (!lines.empty()) {
			const auto tooLong = static_cast<uint16_t>((roi_[1] - roi_[0]) * 16 + 2);
			bytes[line] = static_cast<uint8_t>(tooLong & 0xFF);
			bytes[line + 1] = static_cast<uint8_t>(tooLong >> 8);
		}
		break;
	case Corruption::endOfLine:
		if (!lines.empty()) {
			const size_t length = bytes[line] | bytes[line + 1] << 8;
			bytes[line + 2 + length - 1] = 0x00;
		}
		break;
	case Corruption::endOfFrame:
		std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(end), bytes.end(), 0x00);
		break;
	case Corruption::magic:
		bytes.insert(bytes.begin(), static_cast<size_t>(faults_.magicOffset), 0x00);
		break;
	}
}

} /* namespace zm4::emu */
