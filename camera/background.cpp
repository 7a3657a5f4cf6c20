// The timed sequences that change frame rate, brightness and backlight
// compensation one step at a time, the background step that advances them
// between frames, and the automatic frame rate that follows the light.

#include "camera/camera.h"

#include "camera/camera_private.h"
#include "link/zirc.h"

// Brightness and backlight sequences leave the camera alone this long after a
// start, while its automatic control settles.
static const ULONG mStartHoldMs = 350;
// Readings of the same kind in a row before the automatic frame rate acts.
static const UCHAR mAutoTrigger = 3;

// A step is due once the driver time reaches its due time; step 1 always is.
static bool mDue(DEVICE_EXTENSION *device, ULONG step, ULONG due)
{
    return step == 1 || Entry_GetDriverTime(device) >= due;
}

// A step number past the last is not a step: the sequence goes idle.
static bool mResetUnknownStep(ULONG *step)
{
    if (ReadNoFence(step) <= 5)
        return false;
    WriteNoFence(step, 0);
    return true;
}

static bool mInStartHold(DEVICE_EXTENSION *device)
{
    return Entry_GetDriverTime(device) < device->camera.startTime + mStartHoldMs;
}

// Suspends automatic control and compression, each retried once and checked.
static ULONG mSuspend(DEVICE_EXTENSION *device, bool automatic)
{
    ULONG result = 1;
    if (automatic)
        result &= mCommand(device, [&] { return CamSup_DisableAuto(device); });
    result &=
        mCommand(device, [&] { return CamSup_DisableCompression(device, &device->camera.compressionOn); });
    return result;
}

ULONG mFrameRate(DEVICE_EXTENSION *device, ULONG *step)
{
    CAMERA_RECORD &c = device->camera;
    if (mResetUnknownStep(step) || !mDue(device, ReadNoFence(step), c.frameRateDue))
        return 1;
    ULONG now = Entry_GetDriverTime(device);
    ULONG divisor = 0;
    ULONG mode = 1;
    mSensorClock(ReadNoFence(&c.frameRate), &divisor, &mode);
    ULONG period = (mode == 1 ? 33u : 40u) << divisor;
    ULONG result = 1;

    switch (ReadNoFence(step)) {
    case 1: {
        result &= mSuspend(device, true);
        // Let the frames of the old rate drain: 4 periods and a margin.
        ULONG previous = c.previousFrameRate;
        ULONG wait = (previous >= CAMERA_FRAME_RATE_MIN && previous <= CAMERA_FRAME_RATE_MAX)
                         ? 4 * mFramePeriod(previous) + 10
                         : 10;
        WriteNoFence(step, 2);
        c.frameRateDue = now + wait;
        break;
    }
    case 2:
        result &= mCommand(device, [&] { return ZIRC_SetSensorFPS(device, divisor, mode); });
        WriteNoFence(step, 3);
        c.frameRateDue = now + 5 * (period + 2);
        break;
    case 3:
        WriteNoFence(step, 4);
        c.frameRateDue = now;
        break;
    case 4:
        // Carry the exposure over to the new frame period.
        result &= mCommand(device, [&] { return CamSup_EnableAuto(device); });
        result &= mCommand(device, [&] {
            return CamSup_Flicker(device, c.flickerOn, c.flickerMains, c.previousFrameRate,
                                  ReadNoFence(&c.frameRate), c.cameraBrightness, c.flickerExp, c.flickerMax,
                                  0xFFFF, 0xFF, 0xFF);
        });
        c.previousFrameRate = ReadNoFence(&c.frameRate);
        WriteNoFence(step, 5);
        c.frameRateDue = now + period + 10;
        break;
    case 5:
        WriteNoFence(step, 0);
        c.frameRateDue = now;
        break;
    default:
        WriteNoFence(step, 0);
        break;
    }
    return result;
}

// VP register value (two's complement byte) for brightness register k: B x
// factor / 50 - 64, at most 127. Worked in 64 bits: a target from an
// out-of-range brightness must still end at 127, not wrap to a small value.
static ULONG mBrightnessRegister(ULONG b, ULONG factor)
{
    LONGLONG v = static_cast<LONGLONG>(static_cast<ULONGLONG>(b) * factor / 50) - 64;
    if (v > 127)
        v = 127;
    return static_cast<ULONG>(v) & 0xFF;
}

ULONG mBrightness(DEVICE_EXTENSION *device, ULONG *step)
{
    CAMERA_RECORD &c = device->camera;
    if (mResetUnknownStep(step) || mInStartHold(device) || !mDue(device, ReadNoFence(step), c.brightnessDue))
        return 1;
    ULONG now = Entry_GetDriverTime(device);
    ULONG period = mFramePeriod(ReadNoFence(&c.frameRate));
    ULONG result = 1;

    switch (ReadNoFence(step)) {
    case 1:
        result &= mSuspend(device, true);
        WriteNoFence(step, 2);
        c.brightnessDue = now + period + 10;
        break;
    case 2: {
        // The video processor refuses updates while busy (bit 6): try again
        // after a frame. A register the camera did not report counts as busy.
        UCHAR busy = 0x40;
        result &= mCommand(
            device, [&] { return ZIRC_ReadVPRegs(device, 56, 0, 0, 0, &busy, nullptr, nullptr, nullptr); });
        if ((busy & 0x40) == 0) {
            // 0..100 maps to 25..100: the picture never goes fully dark.
            ULONG b = c.brightnessTarget;
            if (b <= 50)
                b = b / 2 + 25;
            ULONG x10 = mBrightnessRegister(b, 66);
            ULONG x11 = mBrightnessRegister(b, 129);
            ULONG x12 = mBrightnessRegister(b, 25);
            result &= mCommand(device, [&] { return ZIRC_WriteVPReg(device, 40, 253, 0); });
            result &= mCommand(device, [&] { return ZIRC_WriteVPReg(device, 10, 0, x10); });
            result &= mCommand(device, [&] { return ZIRC_WriteVPReg(device, 11, 0, x11); });
            result &= mCommand(device, [&] { return ZIRC_WriteVPReg(device, 12, 0, x12); });
            result &= mCommand(device, [&] { return ZIRC_WriteVPReg(device, 63, 0, 255); });
            WriteNoFence(step, 3);
        }
        c.brightnessDue = now + period;
        break;
    }
    case 3: {
        // Bit 1 of register 40: the update was not applied; write it again. An
        // unanswered read is treated the same way.
        UCHAR pending = 0x02;
        result &= mCommand(device, [&] {
            return ZIRC_ReadVPRegs(device, 40, 0, 0, 0, &pending, nullptr, nullptr, nullptr);
        });
        WriteNoFence(step, (pending & 0x02) ? 2 : 4);
        c.brightnessDue = now;
        break;
    }
    case 4:
        result &= mCommand(device, [&] { return CamSup_EnableAuto(device); });
        WriteNoFence(step, 5);
        c.brightnessDue = now;
        break;
    case 5:
        WriteNoFence(step, 0);
        c.brightnessDue = now;
        break;
    default:
        WriteNoFence(step, 0);
        break;
    }
    return result;
}

ULONG mBacklit(DEVICE_EXTENSION *device, ULONG *step)
{
    CAMERA_RECORD &c = device->camera;
    if (mResetUnknownStep(step) || mInStartHold(device) || !mDue(device, ReadNoFence(step), c.backlitDue))
        return 1;
    ULONG now = Entry_GetDriverTime(device);
    ULONG period = mFramePeriod(ReadNoFence(&c.frameRate));
    ULONG result = 1;

    switch (ReadNoFence(step)) {
    case 1: {
        ULONG wait = 2 * period;
        bool automatic = c.exposureModeNow == CAMERA_MODE_AUTO || c.acbModeNow == CAMERA_MODE_AUTO;
        if (automatic)
            wait = 4 * period + 10;
        result &= mSuspend(device, automatic);
        WriteNoFence(step, 2);
        c.backlitDue = now + wait;
        break;
    }
    case 2: {
        ULONG mode = ReadNoFence(&device->settings.backlight) != 0 ? 1 : 2;
        result &=
            mCommand(device, [&] { return ZIRC_SetExposure(device, 0, 0, 0, mode, 0, 0, 0, 0, 0, 0, 0, 0); });
        WriteNoFence(step, 3);
        c.backlitDue = now;
        break;
    }
    case 3:
        WriteNoFence(step, 4);
        c.backlitDue = now + 2 * period;
        break;
    case 4:
        result &= mCommand(device, [&] { return CamSup_EnableAuto(device); });
        WriteNoFence(step, 5);
        c.backlitDue = now;
        break;
    case 5:
        WriteNoFence(step, 0);
        c.backlitDue = now;
        break;
    default:
        WriteNoFence(step, 0);
        break;
    }
    return result;
}

ULONG mRunSequenceStep(DEVICE_EXTENSION *device, ULONG *result)
{
    CAMERA_RECORD &c = device->camera;
    if (ReadNoFence(&c.frameRateStep) != 0) {
        *result &= mCommand(device, [&] { return mFrameRate(device, &c.frameRateStep); });
        // The other sequences start over after any frame-rate step.
        if (ReadNoFence(&c.backlitStep) != 0)
            WriteNoFence(&c.backlitStep, 1);
        if (ReadNoFence(&c.brightnessStep) != 0)
            WriteNoFence(&c.brightnessStep, 1);
        return 1;
    }
    if (ReadNoFence(&c.backlitStep) != 0) {
        *result &= mCommand(device, [&] { return mBacklit(device, &c.backlitStep); });
        if (ReadNoFence(&c.brightnessStep) != 0)
            WriteNoFence(&c.brightnessStep, 1);
    } else if (ReadNoFence(&c.brightnessStep) != 0) {
        *result &= mCommand(device, [&] { return mBrightness(device, &c.brightnessStep); });
    }
    return 0;
}

void Camera_BackgroundThread(EXTNS_WORKER *worker)
{
    PVOID context = nullptr;
    ULONG_PTR unused1 = 0;
    ULONG_PTR unused2 = 0;
    Extns_Worker_Destroy(worker, &context, &unused1, &unused2);
    auto *device = static_cast<DEVICE_EXTENSION *>(context);

    Extns_Excluder_Acquire(&device->camera.cameraLock, "Camera_BackgroundThread");
    ULONG result = 1;
    mRunSequenceStep(device, &result);
    Extns_Excluder_Release(&device->camera.cameraLock);
}

// The next index in the slower or faster direction; the ladder stays within
// one clock family (1, 3, 5 and 2, 4).
static ULONG mSlowerIndex(ULONG index, bool flicker, bool muchDarker)
{
    switch (index) {
    case 1:
        return (!flicker && muchDarker) ? 5 : 3;
    case 2:
        return 4;
    case 3:
        // With flicker avoidance the light periods would not fit index 5.
        return flicker ? 3 : 5;
    default:
        return index;
    }
}

static ULONG mFasterIndex(ULONG index, bool muchBrighter)
{
    switch (index) {
    case 3:
        return 1;
    case 4:
        return 2;
    case 5:
        return muchBrighter ? 1 : 3;
    default:
        return index;
    }
}

static void mClearCounters(CAMERA_RECORD &c)
{
    c.darkCount = c.darkerCount = c.brightCount = c.brighterCount = 0;
}

void Camera_AutoFrameRate(DEVICE_EXTENSION *device)
{
    CAMERA_RECORD &c = device->camera;
    if (ReadNoFence(&c.started) == 0 || ReadNoFence(&c.autoFrameRate) == 0 ||
        ReadNoFence(&c.frameRateStep) != 0)
        return;
    Extns_Excluder_Acquire(&c.cameraLock, "Camera_AutoFrameRate");

    UCHAR coarseLo = 0, coarseHi = 0, r30 = 0, r4 = 0;
    ULONG read = mCommand(device, [&] {
        return ZIRC_GetExposure(device, nullptr, nullptr, &coarseLo, &coarseHi, nullptr, nullptr, nullptr,
                                nullptr);
    });
    read &=
        mCommand(device, [&] { return ZIRC_ReadVPRegs(device, 30, 4, 9, 8, &r30, &r4, nullptr, nullptr); });
    if (!read) {
        mClearCounters(c);
        Extns_Excluder_Release(&c.cameraLock);
        return;
    }
    ULONG coarse = coarseLo | (static_cast<ULONG>(coarseHi) << 8);

    // Light-level thresholds from the camera brightness.
    ULONG k = c.cameraBrightness / 100;
    ULONG hi = (k - 6) & 0xFF;
    ULONG half = hi >> 1;
    ULONG lo = (k - 122) & 0xFF;
    bool flicker = c.flickerOn != 0;

    bool dark = flicker ? (((r4 + 128u) & 0xFF) >= 239 && r30 < hi) : (coarse >= 302 && r30 < hi);
    if (dark) {
        c.brightCount = c.brighterCount = 0;
        if (r30 >= half) {
            ++c.darkCount;
            c.darkerCount = 0;
        } else {
            ++c.darkerCount;
            c.darkCount = 0;
        }
    } else {
        c.darkCount = c.darkerCount = 0;
        ULONG steadyLevel = flicker ? lo : 90;
        if (coarse > 140 && r30 <= steadyLevel) {
            c.brightCount = c.brighterCount = 0;
        } else if (coarse > 70) {
            ++c.brightCount;
            c.brighterCount = 0;
        } else {
            ++c.brighterCount;
            c.brightCount = 0;
        }
    }

    c.previousFrameRate = ReadNoFence(&c.frameRate);
    ULONG index = ReadNoFence(&c.frameRate);
    if (c.darkCount >= mAutoTrigger || c.darkerCount >= mAutoTrigger) {
        index = mSlowerIndex(ReadNoFence(&c.frameRate), flicker, c.darkerCount >= mAutoTrigger);
    } else if (c.brightCount >= mAutoTrigger || c.brighterCount >= mAutoTrigger) {
        index = mFasterIndex(ReadNoFence(&c.frameRate), c.brighterCount >= mAutoTrigger);
    } else {
        Extns_Excluder_Release(&c.cameraLock);
        return;
    }
    if (index != ReadNoFence(&c.frameRate)) {
        WriteNoFence(&c.frameRate, index);
        WriteNoFence(&c.frameRateStep, 1);
    }
    mClearCounters(c);
    Extns_Excluder_Release(&c.cameraLock);
}
