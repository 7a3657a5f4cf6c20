// The video processor and the sensor behind it: colour, exposure and colour
// balance commands, the sensor clock, automatic exposure and balance run at
// every sensor frame boundary, and the capture that lights the scene and hands
// the picture to the frame encoder.

#include "emulator/camera.h"
#include "emulator/camera_script.h"

#include <algorithm>
#include <cmath>

namespace zm4::emu {

namespace {

constexpr uint16_t kMaxCoarse = 302;
// Coarse 100 at the 33-ms period, no gain, base compensations, full lamps:
// the exposure at which a lit scene shows its nominal levels.
constexpr double kNominalExposure = 100.0 * 33.0;
// Full exposure at the fastest rate.
constexpr double kFullExposure = double(kMaxCoarse) * 33.0;
// The light level reported when full exposure at the fastest rate just reaches the target.
constexpr double kLightLevelAtTarget = 90.0;
// Scene statistics drift slowly; the meter re-reads them every few frames.
constexpr uint32_t kStatsInterval = 8;

constexpr uint8_t kNeutralRedGain = 30;
constexpr uint8_t kNeutralBlueGain = 50;
constexpr uint8_t kMaxBalanceGain = 212;

uint8_t clampByte(double value)
{
    return static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

// Compensation bytes are signed; (c + 128) mod 256 orders them.
int offsetForm(uint8_t c)
{
    return (c + 128) & 0xFF;
}

} // namespace

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
    // Argument 1: gain ceiling + 1; 2: exposure mode (1 set values, 2
    // automatic, 3 fixed); 3: compensations (1 current, 2 base); 4:
    // backlight (1 on, 2 off); 0 leaves each part alone. Data: gain, fine,
    // coarse low and high, then the four compensations.
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
        acbGains_ = {p[1], p[2], p[3]};
        break;
    case 2:
        acbAuto_ = true;
        break;
    case 3:
        acbAuto_ = false;
        break;
    case 0:
        break; // gains and mode as they are
    default:
        raiseError(kErrorBadParameter);
    }
}

void Camera::setSensorClock(uint8_t divisor, uint8_t mode, int64_t ms)
{
    clockDivisor_ = divisor;
    clockMode_ = mode;
    periodMs_ = (mode == 1 ? 33 : 40) << divisor;
    // The sensor restarts its frame timing on the new clock.
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
    flicker_ = {p[0], p[1], p[2]};
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
    // Writing 255 to register 63 applies the brightness registers; while
    // the processor is busy the update is refused and flagged in register
    // 40 bit 1. The register clears itself.
    vp_[kVpApply] = 0;
    if (value != 0xFF)
        return;
    if (vp_[kVpBusy] & 0x40) {
        vp_[kVpBrightnessFlags] = static_cast<uint8_t>(vp_[kVpBrightnessFlags] | 0x02);
        return;
    }
    brightnessOffset_ = (static_cast<int8_t>(vp_[11]) - 65) / 2;
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
    // A little stray light reaches the slide with the lamps off.
    return 0.03 + 0.97 * lampLevel() / 31.0;
}

double Camera::exposureFactor() const
{
    double comp = 0.0;
    for (size_t i = 0; i < 4; ++i)
        comp += double(offsetForm(comps_[i])) / std::max(1, offsetForm(baseComps_[i]));
    comp /= 4.0;
    const double exposure =
        double(coarse_) * periodMs_ * double(1 << std::min<int>(gain_, 3)) * (1.0 + fine_ / 256.0);
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

    // The meter: light level in units where 90 means that full exposure at
    // the fastest rate just reaches the target; and the exposure error.
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
        // With flicker control the exposure is one less than a whole
        // number of light periods.
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
        // Grey world: steer red and blue gains until the mean chroma is neutral.
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
    if (options_.script && options_.script->replacesUpload())
        return;

    Image422 &image = captureImage_;
    image.resize(sensorWidth(), sensorHeight());
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
    params.cameraValues = {static_cast<uint8_t>(sensorFrame_ & 0xFF), clampByte(measuredLuma_), gain_,
                           static_cast<uint8_t>(coarse_ & 0xFF), static_cast<uint8_t>(coarse_ >> 8)};

    upload_.bytes = encoder_.encode(image, params);
    if (faults_.corrupt.fire(rng_))
        corruptFrame(upload_.bytes);
    upload_.sent = 0;
    upload_.startMs = ms + 1;
    upload_.active = true;
    ++counters_.framesCaptured;

    if (observer_)
        observer_(CapturedFrame{ms, sensorFrame_, upload_.bytes, &encoder_.reference()});
}

void Camera::corruptFrame(std::vector<uint8_t> &bytes)
{
    // Find the line record to damage: the chosen one, or the middle one.
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
    case Corruption::kLineLength:
        if (!lines.empty()) {
            const auto tooLong = static_cast<uint16_t>((roi_[1] - roi_[0]) * 16 + 2);
            bytes[line] = static_cast<uint8_t>(tooLong & 0xFF);
            bytes[line + 1] = static_cast<uint8_t>(tooLong >> 8);
        }
        break;
    case Corruption::kEndOfLine:
        if (!lines.empty()) {
            const size_t length = bytes[line] | bytes[line + 1] << 8;
            bytes[line + 2 + length - 1] = 0x00;
        }
        break;
    case Corruption::kEndOfFrame:
        std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(end), bytes.end(), 0x00);
        break;
    case Corruption::kMagic:
        bytes.insert(bytes.begin(), static_cast<size_t>(faults_.magicOffset), 0x00);
        break;
    }
}

} // namespace zm4::emu
