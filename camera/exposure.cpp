// Exposure support: suspending and restoring the camera's automatic exposure
// and colour balance, and flicker avoidance, which sets the exposure in whole
// periods of the mains light and makes up the rest with the compensations.

#include "camera/camera.h"

#include "camera/camera_private.h"
#include "link/zirc.h"

// Largest coarse exposure the sensor takes.
static const ULONG mCoarseMax = 302;

// Coarse exposure steps in one light period (10 ms at 50 Hz, 8.3 ms at 60 Hz)
// for each frame-rate index 0..5; the row is the mains selector.
static const ULONG mCoarseJumps[2][6] = {
    {92, 92, 76, 46, 38, 23},
    {76, 76, 64, 38, 32, 19},
};

// 0 means no flicker handling for this index or selector.
static ULONG mCalculateCoarseJump(ULONG index, ULONG mains)
{
    if (index > 5 || mains > 1)
        return 0;
    return mCoarseJumps[mains][index];
}

// How far the automatic exposure may overshoot: min(FlickerMax - brightness -
// 59, FlickerExp), where a negative difference wraps and so yields FlickerExp.
static ULONG mCalculateOverExp(ULONG brightness, ULONG flickerExp, ULONG flickerMax)
{
    ULONG room = flickerMax - brightness - 59;
    return room < flickerExp ? room : flickerExp;
}

// Compensation bytes in computations: c' = (c + 128) AND 0xFF.
static ULONG mOffsetForm(ULONG comp)
{
    return (comp + 128) & 0xFF;
}

// The exposure that normal mode gives with the base compensations, from the
// exposure e16 the camera runs with the current ones, and the gain steps that
// bring it into the coarse range. The mean of the four channels is taken.
static void mNormalExposure(DEVICE_EXTENSION *device, ULONG e16, const UCHAR *current, ULONG *exposure,
                            ULONG *gain)
{
    const CAMERA_RECORD &c = device->camera;
    const ULONG base[4] = {c.baseCompR, c.baseCompG1, c.baseCompG2, c.baseCompB};
    ULONG sum = 0;
    for (ULONG i = 0; i < 4; ++i) {
        // A base of byte 128 (offset 0) cannot come from the clamped or default
        // bases; it is divided as 1 rather than faulting.
        ULONG divisor = mOffsetForm(base[i]);
        if (divisor == 0)
            divisor = 1;
        sum += (((mOffsetForm(current[i]) * e16) << 8) / divisor) >> 8;
    }
    ULONG e = (sum & 0xFFFF) >> 2;
    ULONG g = *gain;
    while (e > mCoarseMax && g < ReadNoFence(&device->settings.gainCeiling)) {
        e = (e & 0xFFFF) >> 1;
        ++g;
    }
    *exposure = e;
    *gain = g;
}

ULONG CamSup_DisableAuto(DEVICE_EXTENSION *device)
{
    CAMERA_RECORD &c = device->camera;
    ULONG result = 1;
    if (c.exposureModeNow == CAMERA_MODE_AUTO) {
        result &=
            mCommand(device, [&] { return ZIRC_SetExposure(device, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0); });
        c.exposureModeNow = CAMERA_MODE_FIXED;
    }
    if (c.acbModeNow == CAMERA_MODE_AUTO) {
        result &= mCommand(device, [&] { return ZIRC_SetColourBalance(device, 3, 0, 0, 0); });
        c.acbModeNow = CAMERA_MODE_FIXED;
    }
    return result;
}

ULONG CamSup_EnableAuto(DEVICE_EXTENSION *device)
{
    // Only the modes the user wants automatic come back.
    CAMERA_RECORD &c = device->camera;
    ULONG result = 1;
    if (ReadNoFence(&device->settings.acbMode) == CAMERA_MODE_AUTO && c.acbModeNow == CAMERA_MODE_FIXED) {
        result &= mCommand(device, [&] { return ZIRC_SetColourBalance(device, 2, 0, 0, 0); });
        c.acbModeNow = CAMERA_MODE_AUTO;
    }
    if (ReadNoFence(&device->settings.exposureMode) == CAMERA_MODE_AUTO &&
        c.exposureModeNow == CAMERA_MODE_FIXED) {
        result &=
            mCommand(device, [&] { return ZIRC_SetExposure(device, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0); });
        c.exposureModeNow = CAMERA_MODE_AUTO;
    }
    return result;
}

ULONG CamSup_Flicker(DEVICE_EXTENSION *device, ULONG flicker, ULONG mains, ULONG oldIndex, ULONG newIndex,
                     ULONG brightness, ULONG flickerExp, ULONG flickerMax, ULONG coarse, ULONG fine,
                     ULONG gain)
{
    CAMERA_RECORD &c = device->camera;
    const SETTINGS_RECORD &s = device->settings;
    ULONG result = 1;

    // Should the camera not answer, the computation starts from the stored
    // exposure and the base compensations rather than from nothing.
    UCHAR camGain = ReadNoFence(&s.expGain), camFine = ReadNoFence(&s.expFine);
    UCHAR coarseLo = static_cast<UCHAR>(ReadNoFence(&s.expCoarse)),
          coarseHi = static_cast<UCHAR>(ReadNoFence(&s.expCoarse) >> 8);
    UCHAR current[4] = {static_cast<UCHAR>(c.baseCompR), static_cast<UCHAR>(c.baseCompG1),
                        static_cast<UCHAR>(c.baseCompG2), static_cast<UCHAR>(c.baseCompB)};
    result &= mCommand(device, [&] {
        return ZIRC_GetExposure(device, &camGain, &camFine, &coarseLo, &coarseHi, &current[0], &current[1],
                                &current[2], &current[3]);
    });
    ULONG curCoarse = coarseLo | (static_cast<ULONG>(coarseHi) << 8);
    ULONG curFine = camFine;
    ULONG curGain = camGain;

    if ((coarse & 0xFFFF) != 0xFFFF)
        curCoarse = coarse & 0xFFFF;
    if ((fine & 0xFF) != 0xFF)
        curFine = fine & 0xFF;
    if ((gain & 0xFF) != 0xFF)
        curGain = gain & 0xFF;

    // A gain step doubles the exposure; the shift is bounded so that a wild
    // reply cannot overflow it.
    ULONG e = curCoarse << (curGain < 16 ? curGain : 16);
    if (newIndex == oldIndex + 2)
        e = (e & 0xFFFF) >> 1;
    else if (newIndex == oldIndex + 4)
        e = (e & 0xFFFF) >> 2;
    else if (newIndex + 2 == oldIndex)
        e = e * 2;
    else if (newIndex + 4 == oldIndex)
        e = e * 4;

    if (flicker != 0) {
        result &= mCommand(device, [&] { return ZIRC_SetApcor(device, 24, 24, 22, 20); });
        ULONG jump = mCalculateCoarseJump(newIndex, mains);
        if (jump != 0) {
            // One less than a whole number of light periods, at least one.
            ULONG periods = (e + 1) / jump;
            if (periods < 1)
                periods = 1;
            ULONG c0 = jump * periods - 1;
            // Whole light periods off until the sensor can take it. Counted
            // rather than stepped: a wild exposure from the camera or a caller
            // would otherwise cost millions of turns.
            if (c0 > mCoarseMax) {
                ULONG excess = c0 - mCoarseMax;
                c0 -= (excess / jump + (excess % jump != 0 ? 1 : 0)) * jump;
            }
            // The compensations can make up at most a factor of 2.
            if (e > 2 * c0)
                e = 2 * c0;
            ULONG overExp = mCalculateOverExp(brightness, flickerExp, flickerMax);
            result &= mCommand(device, [&] { return ZIRC_FlickerCtrl(device, 1, jump, overExp & 0xFF); });

            const ULONG base[4] = {c.baseCompR, c.baseCompG1, c.baseCompG2, c.baseCompB};
            ULONG comp[4];
            for (ULONG i = 0; i < 4; ++i) {
                if (e > c0)
                    comp[i] = ((((e * 128 / c0) * mOffsetForm(base[i])) >> 7) + 128) & 0xFF;
                else
                    comp[i] = base[i] & 0xFF;
            }
            result &= mCommand(device, [&] {
                return ZIRC_SetExposure(device, 0, 1, 1, 0, 0, curFine, c0 & 0xFF, (c0 >> 8) & 0xFF, comp[0],
                                        comp[1], comp[2], comp[3]);
            });
        }
    } else {
        ULONG exposure = 0;
        ULONG g = curGain;
        mNormalExposure(device, e & 0xFFFF, current, &exposure, &g);
        result &= mCommand(device, [&] { return ZIRC_SetApcor(device, 24, 22, 36, 52); });
        result &= mCommand(device, [&] { return ZIRC_FlickerCtrl(device, 0, 0, 40); });
        // The compensations go back to the user's values.
        result &= mCommand(device, [&] {
            return ZIRC_SetExposure(device, 0, 1, 1, 0, g, curFine, exposure & 0xFF, (exposure >> 8) & 0xFF,
                                    ReadNoFence(&s.baseCompR) & 0xFF, ReadNoFence(&s.baseCompG1) & 0xFF,
                                    ReadNoFence(&s.baseCompG2) & 0xFF, ReadNoFence(&s.baseCompB) & 0xFF);
        });
    }

    // A configured aperture correction overrides the one chosen above.
    if (c.apCor != 0xFFFF) {
        ULONG v = c.apCor & 0xFF;
        if (!mCommand(device, [&] { return ZIRC_SetApcor(device, v, v, v, v); }))
            return 0;
    }
    return result;
}

ULONG CamSup_GetExpFromFlicker(DEVICE_EXTENSION *device, USHORT *coarse, UCHAR *fine, UCHAR *gain)
{
    UCHAR camGain = 0, camFine = 0, coarseLo = 0, coarseHi = 0;
    UCHAR current[4] = {0, 0, 0, 0};
    ULONG result = mCommand(device, [&] {
        return ZIRC_GetExposure(device, &camGain, &camFine, &coarseLo, &coarseHi, &current[0], &current[1],
                                &current[2], &current[3]);
    });
    if (!result)
        return 0;
    ULONG exposure = 0;
    ULONG g = camGain;
    mNormalExposure(device, coarseLo | (static_cast<ULONG>(coarseHi) << 8), current, &exposure, &g);
    // The outputs are settings fields that property requests read meanwhile.
    if (coarse != nullptr)
        WriteNoFence(coarse, static_cast<USHORT>(exposure));
    if (fine != nullptr)
        WriteNoFence(fine, camFine);
    if (gain != nullptr)
        WriteNoFence(gain, static_cast<UCHAR>(g));
    return 1;
}

ULONG CamSup_FlickerAdjustBrightness(DEVICE_EXTENSION *device, ULONG flicker, ULONG brightness,
                                     ULONG flickerExp, ULONG flickerMax, ULONG index, ULONG mains)
{
    ULONG jump = mCalculateCoarseJump(index, mains);
    if (jump == 0)
        return 0;
    ULONG overExp = mCalculateOverExp(brightness, flickerExp, flickerMax);
    return mCommand(device, [&] { return ZIRC_FlickerCtrl(device, flicker, jump, overExp & 0xFF); });
}
