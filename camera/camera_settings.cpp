// One operation per camera setting: colour parameters, window, flicker,
// backlight, exposure, colour balance, gain ceiling, base compensations, colour
// matrix, general-purpose port, push button and serial port.

#include "camera/camera.h"

#include "camera/camera_private.h"
#include "link/zirc.h"
#include "settings/registry.h"

// Cached port bytes are reused for this long while frames flow.
static const ULONG mPortsCacheMs = 400;

static void mUnlock(DEVICE_EXTENSION *device)
{
    Extns_Excluder_Release(&device->camera.cameraLock);
}

ULONG Camera_SetColourParams(DEVICE_EXTENSION *device, ULONG brightness, ULONG contrast, ULONG saturation)
{
    if (!mLockStarted(device, "Camera_SetColourParams"))
        return 0;
    CAMERA_RECORD &c = device->camera;
    ULONG result = 1;

    // Without direct control the brightness sequence moves the camera; the
    // saturation falls towards half as the brightness falls to 0.
    ULONG s = saturation;
    if (c.useOldBrightness != 0) {
        c.cameraBrightness = brightness / 100;
    } else {
        c.brightnessTarget = brightness / 100;
        if (brightness < 5000)
            s = ((brightness / 2) + 2500) * saturation / 5000;
    }

    if (contrast > 1200) {
        ULONG contrastByte = (contrast / 100 - 12) & 0xFF;
        result &= mCommand(
            device, [&] { return ZIRC_SetColourParams(device, c.cameraBrightness, contrastByte, s / 100); });
    } else {
        // Low contrasts go to VP register 20 instead of the contrast control.
        result &=
            mCommand(device, [&] { return ZIRC_SetColourParams(device, c.cameraBrightness, 0, s / 100); });
        ZIRC_WriteVPReg(device, 20, 0, 12 - ((contrast / 100 + 4) >> 3));
    }

    if (c.gamCor != 0xFFFF) {
        ULONG v = c.gamCor & 0xFF;
        result &= mCommand(device, [&] { return ZIRC_WriteVPReg(device, 20, 0, v); });
    }

    if (c.useOldBrightness != 0) {
        if (c.flickerOn != 0) {
            ULONG adjusted =
                CamSup_FlickerAdjustBrightness(device, c.flickerOn, c.cameraBrightness, c.flickerExp,
                                               c.flickerMax, ReadNoFence(&c.frameRate), c.flickerMains);
            if (adjusted == 0)
                adjusted =
                    CamSup_FlickerAdjustBrightness(device, c.flickerOn, c.cameraBrightness, c.flickerExp,
                                                   c.flickerMax, ReadNoFence(&c.frameRate), c.flickerMains);
            if (!CamSup_CheckStatus(device)) {
                mUnlock(device);
                return 0;
            }
            if (adjusted == 0)
                result = 0;
        }
    } else {
        WriteNoFence(&c.brightnessStep, 1);
    }
    mUnlock(device);
    return result;
}

ULONG Camera_SetROI(DEVICE_EXTENSION *device, ULONG window, ULONG top, ULONG left)
{
    CAMERA_RECORD &c = device->camera;
    Extns_Excluder_Acquire(&c.cameraLock, "Camera_SetROI");
    if (window != 0) {
        if (!(c.roiEnabled == 1 && c.roiTop == top && c.roiLeft == left)) {
            c.roiTop = top;
            c.roiLeft = left;
            c.roiEnabled = 1;
            c.roiChanged = 1;
        }
    } else if (c.roiEnabled != 0) {
        c.roiEnabled = 0;
        c.roiTop = 0;
        c.roiLeft = 0;
        c.roiChanged = 1;
    }
    mUnlock(device);
    return 1;
}

ULONG Camera_GetROI(DEVICE_EXTENSION *device, ULONG *window, ULONG *top, ULONG *left, ULONG *bottom,
                    ULONG *right)
{
    CAMERA_RECORD &c = device->camera;
    Extns_Excluder_Acquire(&c.cameraLock, "Camera_GetROI");
    *window = c.roiEnabled;
    *top = c.roiTop;
    *left = c.roiLeft;
    if (bottom != nullptr)
        *bottom = c.imageHeight + c.roiTop;
    if (right != nullptr)
        *right = c.imageWidth + c.roiLeft;
    mUnlock(device);
    return 1;
}

ULONG Camera_SetFlicker(DEVICE_EXTENSION *device, ULONG flicker, ULONG mains)
{
    if (!mLockStarted(device, "Camera_SetFlicker"))
        return 0;
    CAMERA_RECORD &c = device->camera;
    ULONG result = 1;
    c.flickerMains = mains;
    c.flickerOn = flicker;
    // During a frame-rate change the sequence applies flicker itself.
    if (ReadNoFence(&c.frameRateStep) == 0) {
        result &= mCommand(device, [&] {
            return CamSup_Flicker(device, c.flickerOn, c.flickerMains, ReadNoFence(&c.frameRate),
                                  ReadNoFence(&c.frameRate), c.cameraBrightness, c.flickerExp, c.flickerMax,
                                  0xFFFF, 0xFF, 0xFF);
        });
    }
    mUnlock(device);
    return result;
}

ULONG Camera_SetBacklit(DEVICE_EXTENSION *device, ULONG backlit)
{
    if (!mLockStarted(device, "Camera_SetBacklit"))
        return 0;
    CAMERA_RECORD &c = device->camera;
    ULONG result = 1;
    if (c.useOldBrightness != 0) {
        // Direct control: the camera's own backlight mode, 1 on and 2 off.
        ULONG mode = backlit ? 1 : 2;
        result =
            mCommand(device, [&] { return ZIRC_SetExposure(device, 0, 0, 0, mode, 0, 0, 0, 0, 0, 0, 0, 0); });
    } else {
        WriteNoFence(&c.backlitStep, 1);
    }
    mUnlock(device);
    return result;
}

ULONG Camera_GetACB(DEVICE_EXTENSION *device, UCHAR *red, UCHAR *green, UCHAR *blue)
{
    if (!mLockStarted(device, "Camera_GetACB"))
        return 0;
    UCHAR r = 0, g = 0, b = 0;
    ULONG result = mCommand(device, [&] { return ZIRC_GetColourBalance(device, &r, &g, &b); });
    if (result) {
        if (red != nullptr)
            WriteNoFence(red, r);
        if (green != nullptr)
            WriteNoFence(green, g);
        if (blue != nullptr)
            WriteNoFence(blue, b);
    }
    mUnlock(device);
    return result;
}

ULONG Camera_SetACB(DEVICE_EXTENSION *device, ULONG mode, ULONG red, ULONG green, ULONG blue)
{
    if (!mLockStarted(device, "Camera_SetACB"))
        return 0;
    ULONG result = mCommand(device, [&] { return ZIRC_SetColourBalance(device, mode, red, green, blue); });
    device->camera.acbModeNow = mode;
    mUnlock(device);
    return result;
}

ULONG Camera_GetExposure(DEVICE_EXTENSION *device, USHORT *coarse, UCHAR *fine, UCHAR *gain)
{
    if (!mLockStarted(device, "Camera_GetExposure"))
        return 0;
    ULONG result = 1;
    if (device->camera.flickerOn != 0) {
        // The exposure that normal mode would use, not the flicker-bound one.
        CamSup_GetExpFromFlicker(device, coarse, fine, gain);
    } else {
        UCHAR g = 0, f = 0, lo = 0, hi = 0;
        result = mCommand(device, [&] {
            return ZIRC_GetExposure(device, &g, &f, &lo, &hi, nullptr, nullptr, nullptr, nullptr);
        });
        if (result) {
            if (coarse != nullptr)
                WriteNoFence(coarse, static_cast<USHORT>(lo | (hi << 8)));
            if (fine != nullptr)
                WriteNoFence(fine, f);
            if (gain != nullptr)
                WriteNoFence(gain, g);
        }
    }
    mUnlock(device);
    return result;
}

ULONG Camera_SetExposure(DEVICE_EXTENSION *device, ULONG mode, ULONG coarse, ULONG fine, ULONG gain)
{
    if (!mLockStarted(device, "Camera_SetExposure"))
        return 0;
    CAMERA_RECORD &c = device->camera;
    ULONG result = 1;
    if (c.flickerOn != 0) {
        // Under flicker avoidance the exposure is set in whole light periods.
        CamSup_Flicker(device, c.flickerOn, c.flickerMains, ReadNoFence(&c.frameRate),
                       ReadNoFence(&c.frameRate), c.cameraBrightness, c.flickerExp, c.flickerMax, coarse,
                       fine, gain);
    } else {
        result = mCommand(device, [&] {
            return ZIRC_SetExposure(device, 0, mode, 0, 0, gain, fine, coarse & 0xFF, (coarse >> 8) & 0xFF, 0,
                                    0, 0, 0);
        });
        if (mode == CAMERA_MODE_AUTO || mode == CAMERA_MODE_FIXED)
            c.exposureModeNow = mode;
    }
    mUnlock(device);
    return result;
}

ULONG Camera_SetGainCeiling(DEVICE_EXTENSION *device, ULONG ceiling)
{
    if (!mLockStarted(device, "Camera_SetGainCeiling"))
        return 0;
    ULONG result = 0;
    if (ceiling <= 3)
        result = mCommand(
            device, [&] { return ZIRC_SetExposure(device, ceiling + 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0); });
    mUnlock(device);
    return result;
}

// A base compensation held to bytes 210..240 (-46..-16).
static ULONG mClampBaseComp(ULONG comp)
{
    return MAX_COMP(MIN_COMP(comp & 0xFF, 240), 210);
}

ULONG Camera_SetBaseComps(DEVICE_EXTENSION *device, ULONG red, ULONG green1, ULONG green2, ULONG blue)
{
    if (!mLockStarted(device, "Camera_SetBaseComps"))
        return 0;
    CAMERA_RECORD &c = device->camera;
    ULONG result = 1;
    bool newFirmware = ReadNoFence(&device->settings.firmwareVersion) >= CAMERA_FIRMWARE_THRESHOLD;
    if (newFirmware) {
        c.baseCompR = mClampBaseComp(red);
        c.baseCompG1 = mClampBaseComp(green1);
        c.baseCompG2 = mClampBaseComp(green2);
        c.baseCompB = mClampBaseComp(blue);
        result &= mCommand(device, [&] {
            return ZIRC_SetExposure(device, 0, 0, 2, 0, 0, 0, 0, 0, c.baseCompR, c.baseCompG1, c.baseCompG2,
                                    c.baseCompB);
        });
    } else {
        // Older firmware cannot take other bases than the factory values.
        Registry_GetDefault(REG_COMP_R, &c.baseCompR);
        Registry_GetDefault(REG_COMP_G1, &c.baseCompG1);
        Registry_GetDefault(REG_COMP_G2, &c.baseCompG2);
        Registry_GetDefault(REG_COMP_B, &c.baseCompB);
    }

    if (c.flickerOn != 0) {
        if (newFirmware) {
            result &= mCommand(device, [&] {
                return ZIRC_SetExposure(device, 0, 0, 1, 0, 0, 0, 0, 0, c.baseCompR, c.baseCompG1,
                                        c.baseCompG2, c.baseCompB);
            });
        }
    } else {
        result &= mCommand(device, [&] {
            return ZIRC_SetExposure(device, 0, 0, 1, 0, 0, 0, 0, 0, red & 0xFF, green1 & 0xFF, green2 & 0xFF,
                                    blue & 0xFF);
        });
    }
    mUnlock(device);
    return result;
}

ULONG Camera_SetMatrix(DEVICE_EXTENSION *device, ULONG row1, ULONG row2, ULONG row3)
{
    const ULONG rows[3] = {row1, row2, row3};
    UCHAR m[9];
    for (ULONG i = 0; i < 3; ++i) {
        m[i * 3 + 0] = static_cast<UCHAR>(rows[i] >> 16);
        m[i * 3 + 1] = static_cast<UCHAR>(rows[i] >> 8);
        m[i * 3 + 2] = static_cast<UCHAR>(rows[i]);
    }
    if (ReadNoFence(&device->settings.firmwareVersion) < CAMERA_FIRMWARE_THRESHOLD) {
        // Older firmware overflows with larger coefficients.
        for (ULONG i = 0; i < 9; ++i) {
            if (i % 4 == 0) { // m0, m4, m8: the diagonal
                if (m[i] > 96)
                    m[i] = 96;
            } else {
                auto v = static_cast<signed char>(m[i]);
                if (v > 48)
                    v = 48;
                if (v < -48)
                    v = -48;
                m[i] = static_cast<UCHAR>(v);
            }
        }
    }
    Extns_Excluder_Acquire(&device->camera.cameraLock, "Camera_SetMatrix");
    ULONG result = mCommand(device, [&] { return ZIRC_SetSensorMatrix(device, m); });
    mUnlock(device);
    return result;
}

ULONG Camera_GetSensorMatrix(DEVICE_EXTENSION *device, ULONG sensorCode, UCHAR *matrix)
{
    (void)device;
    static const signed char sensor613[9] = {96, -30, -2, -9, 89, -16, -4, -28, 96};
    static const signed char otherSensor[9] = {96, -32, -8, -24, 96, -13, -17, -24, 96};
    const signed char *source = sensorCode == CAMERA_SENSOR_613 ? sensor613 : otherSensor;
    for (ULONG i = 0; i < 9; ++i)
        matrix[i] = static_cast<UCHAR>(source[i]);
    return 1;
}

ULONG Camera_GetGPIO(DEVICE_EXTENSION *device, ULONG *value)
{
    CAMERA_RECORD &c = device->camera;
    Extns_Excluder_Acquire(&c.cameraLock, "Camera_GetGPIO");
    ULONG result = 1;
    ULONG now = Entry_GetDriverTime(device);
    if (!(c.portsValid != 0 && now <= c.portsReadTime + mPortsCacheMs)) {
        result = mCommand(device, [&] {
            return ZIRC_ReadMCPorts(device, &c.ports[0], &c.ports[1], &c.ports[2], &c.ports[3]);
        });
        // Only while frames flow does Camera_Update keep the cache fresh.
        if (InterlockedCompareExchange(reinterpret_cast<LONG volatile *>(&device->xferRunning), 0, 0) != 0)
            c.portsValid = 1;
        c.portsReadTime = now;
    }
    // A failed read leaves the caller's value alone, as every query does: the
    // cached bytes may be older than what the caller holds.
    if (result)
        WriteNoFence(value, (static_cast<ULONG>(c.ports[3]) << 24) | (static_cast<ULONG>(c.ports[2]) << 16) |
                                (static_cast<ULONG>(c.ports[1]) << 8) | c.ports[0]);
    mUnlock(device);
    return result;
}

ULONG Camera_SetGPIO(DEVICE_EXTENSION *device, ULONG value)
{
    Extns_Excluder_Acquire(&device->camera.cameraLock, "Camera_SetGPIO");
    ULONG result = 1;
    // Port 2 drives its pins only once the port direction register says so.
    result &= mCommand(device, [&] { return ZIRC_WriteVCReg(device, 0x90, 0x8F, 0x50); });
    ULONG pins = 0xE0 | ((value >> 16) & 0x1F);
    result &= mCommand(device, [&] { return ZIRC_WriteMCPort(device, 2, 0, pins); });
    mUnlock(device);
    return result;
}

void Camera_ButtonCheckSet(DEVICE_EXTENSION *device, ULONG on)
{
    Extns_Excluder_Acquire(&device->camera.cameraLock, "Camera_ButtonCheckSet");
    if (on != 0) {
        // A pulse on port 3 clears any press the camera latched before.
        mCommand(device, [&] { return ZIRC_WriteMCPort(device, 3, 0xDF, 0xDF); });
        mCommand(device, [&] { return ZIRC_WriteMCPort(device, 3, 0xFF, 0xFF); });
    }
    WriteNoFence(&device->camera.buttonCheck, on);
    mUnlock(device);
}

ULONG Camera_ButtonCheckGet(DEVICE_EXTENSION *device)
{
    return ReadNoFence(&device->camera.buttonCheck);
}

void Camera_ButtonStateSet(DEVICE_EXTENSION *device, ULONG value)
{
    WriteNoFence(&device->camera.buttonPressed, value);
}

ULONG Camera_ButtonStateGet(DEVICE_EXTENSION *device)
{
    if (ReadNoFence(&device->camera.buttonPressed) == 0)
        return 0;
    WriteNoFence(&device->camera.buttonPressed, 0);
    return 1;
}

ULONG Camera_ButtonCurrentStateGet(DEVICE_EXTENSION *device)
{
    return ReadNoFence(&device->camera.buttonDown) != 0 ? 1 : 0;
}

ULONG Camera_SerialStart(DEVICE_EXTENSION *device)
{
    Extns_Excluder_Acquire(&device->camera.cameraLock, "Camera_SerialStart");
    ULONG result = mCommand(device, [&] { return ZIRC_SerialStart(device); });
    mUnlock(device);
    return result;
}

ULONG Camera_SerialStop(DEVICE_EXTENSION *device)
{
    Extns_Excluder_Acquire(&device->camera.cameraLock, "Camera_SerialStop");
    ULONG result = mCommand(device, [&] { return ZIRC_SerialStop(device); });
    mUnlock(device);
    return result;
}

ULONG Camera_SerialWrite(DEVICE_EXTENSION *device, ULONG byte)
{
    Extns_Excluder_Acquire(&device->camera.cameraLock, "Camera_SerialWrite");
    ULONG result = mCommand(device, [&] { return ZIRC_SerialWrite(device, byte & 0xFF); });
    mUnlock(device);
    return result;
}

ULONG Camera_SerialRead(DEVICE_EXTENSION *device, ULONG value, UCHAR *byte)
{
    Extns_Excluder_Acquire(&device->camera.cameraLock, "Camera_SerialRead");
    ULONG result = mCommand(device, [&] { return ZIRC_SerialRead(device, value, byte); });
    mUnlock(device);
    return result;
}
