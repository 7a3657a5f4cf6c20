// The camera record and the capture run: initialise, start, stop, the update
// and grab around every frame, the frame-rate setting, the version queries, the
// status check and the choice of sensor format and window.

#include "camera/camera.h"

#include "camera/camera_private.h"
#include "link/zirc.h"
#include "link/zirclink.h"
#include "settings/propman.h"
#include "settings/registry.h"

// The sensor clock of each frame-rate index: clock divisor, second argument of
// the sensor command and the resulting frame period.
struct CAMERA_FRAME_RATE {
    ULONG divisor;
    ULONG mode;
    ULONG periodMs;
};

static const CAMERA_FRAME_RATE mFrameRates[CAMERA_FRAME_RATE_MAX + 1] = {
    {0, 1, 33}, // not an index: programs the sensor like index 1
    {0, 1, 33}, {0, 0, 40}, {1, 1, 66}, {1, 0, 80}, {2, 1, 132},
};

static const ULONG mStartSettleMs = 50;
static const ULONG mSensorQuerySettleMs = 100;

ULONG mFramePeriod(ULONG index)
{
    if (index < CAMERA_FRAME_RATE_MIN || index > CAMERA_FRAME_RATE_MAX)
        return 132;
    return mFrameRates[index].periodMs;
}

void mSensorClock(ULONG index, ULONG *divisor, ULONG *mode)
{
    if (index < CAMERA_FRAME_RATE_MIN || index > CAMERA_FRAME_RATE_MAX)
        index = 0;
    *divisor = mFrameRates[index].divisor;
    *mode = mFrameRates[index].mode;
}

// A registry value that falls back to its table default when it cannot be read.
static ULONG mReadSetting(ULONG index)
{
    ULONG value = 0;
    Registry_GetDefault(index, &value);
    Registry_Read(index, &value);
    return value;
}

// Waits by polling a deadline, letting time pass at each turn: the camera needs
// the time after a power change before it takes the next commands. Nothing
// but the clock ends the wait, so the first pause covers the whole duration
// and only the turns after it (the deadline counts as passed once the time is
// strictly later) go by the millisecond: the wait ends when 1-ms turns alone
// would end it, in one sleep instead of one per millisecond.
static void mPolledWait(ULONG milliseconds)
{
    LARGE_INTEGER deadline;
    LARGE_INTEGER pause;
    pause.QuadPart = -10000LL * milliseconds; // relative
    Extns_TimeOut_Set(&deadline, milliseconds);
    while (!Extns_TimeOut_TimedOut(&deadline)) {
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        pause.QuadPart = -10000; // 1 ms
    }
}

ULONG CamSup_CheckStatus(DEVICE_EXTENSION *device)
{
    if (device->statusCheck == 0)
        return 1;
    UCHAR error = 0;
    if (!ZIRC_GetCameraStatus(device, nullptr, nullptr, nullptr, nullptr, &error, nullptr, nullptr, nullptr))
        return 0;
    if (error == 0)
        return 1;
    // Clearing exactly the reported bits leaves any raised since untouched.
    ZIRC_ModifyCameraStatus(device, 4, static_cast<UCHAR>(~error), 0);
    return 0;
}

ULONG CamSup_SetImageRoiAndSize(DEVICE_EXTENSION *device, ULONG width, ULONG height, ULONG *left, ULONG *top,
                                ULONG window)
{
    ULONG format = 1;
    ULONG sensorWidth = 352;
    ULONG sensorHeight = 288;
    if (width <= 176 && height <= 144 && window == 0) {
        format = 0;
        sensorWidth = 176;
        sensorHeight = 144;
    }
    // The camera never sends more than its sensor: a larger request is cut to it
    // so that the window arithmetic cannot wrap.
    if (width > sensorWidth)
        width = sensorWidth;
    if (height > sensorHeight)
        height = sensorHeight;

    ULONG x;
    ULONG y;
    if (window != 0) {
        x = *left & ~7u;
        y = *top & ~3u;
    } else {
        x = ((sensorWidth - width) / 2) & ~7u;
        y = ((sensorHeight - height) / 2) & ~3u;
        *left = x;
        *top = y;
    }
    if (x > sensorWidth - width)
        x = sensorWidth - width;
    if (y > sensorHeight - height)
        y = sensorHeight - height;

    ULONG result = 1;
    result &= mCommand(device, [&] { return ZIRC_SetFormat(device, format, 1, 0); });
    result &= mCommand(device,
                       [&] { return ZIRC_SetROI(device, x / 8, (x + width) / 8, y / 4, (y + height) / 4); });
    return result;
}

ULONG Camera_Initialise(DEVICE_EXTENSION *device)
{
    CAMERA_RECORD &c = device->camera;
    c.exposureModeNow = CAMERA_MODE_AUTO;
    c.acbModeNow = CAMERA_MODE_AUTO;
    c.compDecimation = 0;
    c.compTarget1 = c.compTarget2 = c.compTarget3 = 0;
    c.roiEnabled = 0;
    c.imageWidth = c.imageHeight = 0;
    c.roiLeft = c.roiTop = 0;
    WriteNoFence(&c.frameRate, 1);
    c.previousFrameRate = 1;
    c.flickerMains = 1;
    c.flickerOn = 0;
    c.compressionChanged = c.roiChanged = 0;
    WriteNoFence(&c.frameRateStep, 0);
    WriteNoFence(&c.brightnessStep, 0);
    WriteNoFence(&c.backlitStep, 0);
    WriteNoFence(&c.compressionOn, 1);
    WriteNoFence(&c.started, 0);
    WriteNoFence(&c.buttonCheck, 0);
    WriteNoFence(&c.buttonDown, 0);
    WriteNoFence(&c.buttonPressed, 0);
    c.portsValid = 0;

    c.flickerMax = mReadSetting(REG_FLICKER_MAX);
    c.flickerExp = mReadSetting(REG_FLICKER_EXP);
    c.cameraBrightness = 50;
    c.brightnessTarget = 50;
    c.useOldBrightness = mReadSetting(REG_USE_OLD_BRIGHTNESS);

    Extns_Excluder_Initialise(&c.cameraLock);
    HostVerifierNameLock(&c.cameraLock.event, "camera lock");
    ZIRCLink_Initialise(device);
    Extns_Excluder_Acquire(&c.cameraLock, "Camera_Initialise");

    // Cameras whose version reply carries 1 in byte 2 do not report status.
    UCHAR b0 = 0, b1 = 0, b2 = 0, b3 = 0;
    ULONG answered = ZIRC_GetVersion(device, &b0, &b1, &b2, &b3);
    device->statusCheck = (answered != 0 && b2 != 1) ? 1 : 0;
    Registry_Write(REG_ZIRC_CAMERA, device->statusCheck);

    Extns_Excluder_Release(&c.cameraLock);
    return 1;
}

void Camera_Terminate(DEVICE_EXTENSION *device)
{
    // Nothing to undo: the record lives in the device extension and the lock is
    // an event without resources.
    (void)device;
}

ULONG Camera_Start(DEVICE_EXTENSION *device, ULONG width, ULONG height)
{
    CAMERA_RECORD &c = device->camera;
    ULONG result = 1;
    Extns_Excluder_Acquire(&c.cameraLock, "Camera_Start");

    // Compression counts as on so that the first update really switches it off.
    WriteNoFence(&c.compressionOn, 1);
    ZIRCLink_Start(device);

    result &= mCommand(device, [&] { return ZIRC_GotoHiPower(device); });
    mPolledWait(mStartSettleMs);

    c.imageWidth = width;
    c.imageHeight = height;
    c.roiEnabled = 0;
    result &= CamSup_SetImageRoiAndSize(device, width, height, &c.roiLeft, &c.roiTop, 0);

    c.flickerMains = 1;
    c.flickerOn = 0;
    c.darkCount = c.darkerCount = c.brightCount = c.brighterCount = 0;

    result &= mCommand(device, [&] { return ZIRC_SetVLOffset(device, 20, 24, 26, 26); });
    result &= mCommand(device, [&] { return ZIRC_SetCompressionParams(device, 3, 9, 1, 3, 2, 5, 3, 2); });
    result &= mCommand(device, [&] { return ZIRC_SetGrabMode(device, 1); });

    ULONG savedIndex = mReadSetting(REG_AUTO_FR_SAVE);

    WriteNoFence(&c.frameRate, 1);
    c.previousFrameRate = 1;
    WriteNoFence(&c.started, 1);
    WriteNoFence(&c.frameRateStep, 0);
    WriteNoFence(&c.brightnessStep, 0);
    WriteNoFence(&c.backlitStep, 0);
    c.frameRateDue = c.brightnessDue = c.backlitDue = 0xFFFFFFFF;
    c.startTime = Entry_GetDriverTime(device);

    ULONG apCor = mReadSetting(REG_AP_COR);
    ULONG gamCor = mReadSetting(REG_GAM_COR);
    ULONG offset = mReadSetting(REG_OFFSET);
    c.portsValid = 0;
    c.apCor = static_cast<USHORT>(apCor);
    c.gamCor = static_cast<USHORT>(gamCor);
    c.vlOffset = static_cast<USHORT>(offset);

    if (c.apCor != 0xFFFF) {
        ULONG v = c.apCor & 0xFF;
        result &= mCommand(device, [&] { return ZIRC_SetApcor(device, v, v, v, v); });
    }
    if (c.gamCor != 0xFFFF) {
        ULONG v = c.gamCor & 0xFF;
        result &= mCommand(device, [&] { return ZIRC_WriteVPReg(device, 20, 0, v); });
    }
    if (c.vlOffset != 0xFFFF) {
        ULONG v = c.vlOffset & 0xFF;
        result &= mCommand(device, [&] { return ZIRC_SetVLOffset(device, v, v, v, v); });
    }

    // The setters called back by the property manager take the lock themselves.
    Extns_Excluder_Release(&c.cameraLock);
    PropMan_Load(device);
    PropMan_WriteAllSettings(device);

    // The automatic frame rate resumes where the last run left it. Taken under
    // the lock because the background step may already be running.
    Extns_Excluder_Acquire(&c.cameraLock, "Camera_Start");
    if (ReadNoFence(&c.autoFrameRate) == 1) {
        WriteNoFence(&c.frameRate, savedIndex);
        c.previousFrameRate = 1;
        if (savedIndex != 1)
            WriteNoFence(&c.frameRateStep, 1);
    }
    Extns_Excluder_Release(&c.cameraLock);
    return result;
}

ULONG Camera_Stop(DEVICE_EXTENSION *device)
{
    CAMERA_RECORD &c = device->camera;
    ULONG result = 1;
    Extns_Excluder_Acquire(&c.cameraLock, "Camera_Stop");

    WriteNoFence(&c.frameRateStep, 0);
    WriteNoFence(&c.brightnessStep, 0);
    WriteNoFence(&c.backlitStep, 0);

    UCHAR red = 0, green = 0, blue = 0;
    ULONG read = mCommand(device, [&] { return ZIRC_GetColourBalance(device, &red, &green, &blue); });
    result &= read;
    // A gain the camera could not report is recorded as 256, outside any gain.
    Registry_Write(REG_ACB_GAIN_R, read ? red : 256);
    Registry_Write(REG_ACB_GAIN_G, read ? green : 256);
    Registry_Write(REG_ACB_GAIN_B, read ? blue : 256);
    Registry_Write(REG_AUTO_FR_SAVE, ReadNoFence(&c.frameRate));

    Extns_Excluder_Release(&c.cameraLock);
    Propman_ReadVolatileSettings(device);
    PropMan_Save(device);
    Extns_Excluder_Acquire(&c.cameraLock, "Camera_Stop");

    result &= mCommand(device, [&] { return ZIRC_WriteVPReg(device, 57, 0, 9); });
    result &= mCommand(device, [&] { return ZIRC_GotoLoPower(device); });

    c.portsValid = 0;
    WriteNoFence(&c.started, 0);
    Extns_Excluder_Release(&c.cameraLock);
    return result;
}

// Reads the ports, latches a button press and answers a held button with a
// pulse on port 3, which the camera's button logic expects.
static ULONG mPollPorts(DEVICE_EXTENSION *device)
{
    CAMERA_RECORD &c = device->camera;
    ULONG result = mCommand(
        device, [&] { return ZIRC_ReadMCPorts(device, &c.ports[0], &c.ports[1], &c.ports[2], &c.ports[3]); });
    if (ReadNoFence(&c.buttonCheck) != 0) {
        if ((c.ports[1] & 0x02) == 0) {
            WriteNoFence(&c.buttonDown, 1);
            WriteNoFence(&c.buttonPressed, 1);
        } else {
            WriteNoFence(&c.buttonDown, 0);
        }
        if (ReadNoFence(&c.buttonDown) == 1) {
            result &= mCommand(device, [&] { return ZIRC_WriteMCPort(device, 3, 0xDF, 0xDF); });
            result &= mCommand(device, [&] { return ZIRC_WriteMCPort(device, 3, 0xFF, 0xFF); });
        }
    }
    c.portsReadTime = Entry_GetDriverTime(device);
    return result;
}

ULONG Camera_Update(DEVICE_EXTENSION *device, ULONG *fullFrame)
{
    CAMERA_RECORD &c = device->camera;
    ULONG result = 1;
    if (!mLockStarted(device, "Camera_Update"))
        return 0;

    if (ReadNoFence(&c.buttonCheck) != 0 || c.portsValid != 0)
        result &= mPollPorts(device);

    if (mRunSequenceStep(device, &result)) {
        // No frame while the sensor clock changes.
        Extns_Excluder_Release(&c.cameraLock);
        return 0;
    }

    if (c.roiChanged != 0) {
        *fullFrame = 1;
        result &= CamSup_SetImageRoiAndSize(device, c.imageWidth, c.imageHeight, &c.roiLeft, &c.roiTop,
                                            c.roiEnabled);
        c.roiChanged = 0;
    }

    // A changed window or compression setting costs one uncompressed frame
    // before compression comes back with the new settings.
    if (*fullFrame == 1) {
        result &= CamSup_DisableCompression(device, &c.compressionOn);
    } else if (c.compressionChanged != 0) {
        result &= CamSup_DisableCompression(device, &c.compressionOn);
        *fullFrame = 1;
    } else {
        result &= CamSup_EnableCompression(device, &c.compressionOn, c.compTarget1, c.compTarget2,
                                           c.compTarget3, c.compDecimation);
    }

    c.compressionChanged = 0;
    Extns_Excluder_Release(&c.cameraLock);
    return result;
}

ULONG Camera_Capture(DEVICE_EXTENSION *device)
{
    CAMERA_RECORD &c = device->camera;
    ULONG result = 1;
    if (!mLockStarted(device, "Camera_Capture"))
        return 0;
    if (mRunSequenceStep(device, &result)) {
        Extns_Excluder_Release(&c.cameraLock);
        return 0;
    }
    ULONG grabbed = ZIRC_GrabFrame(device, 0);
    if (grabbed == 0)
        grabbed = ZIRC_GrabFrame(device, 0);
    if (grabbed == 0)
        result = 0;
    Extns_Excluder_Release(&c.cameraLock);
    return result;
}

void Camera_WatchdogTimer(DEVICE_EXTENSION *device, ULONG time)
{
    // Called at dispatch level: only reads single words and queues a worker.
    // Backlight steps advance with frame requests alone.
    (void)time;
    const CAMERA_RECORD &c = device->camera;
    if (ReadNoFence(&c.started) != 0 &&
        (ReadNoFence(&c.frameRateStep) != 0 || ReadNoFence(&c.brightnessStep) != 0))
        Extns_Worker_Create(device, 0, 0, Entry_CameraBackground);
}

ULONG Camera_SetSpeed(DEVICE_EXTENSION *device, ULONG index, ULONG automatic)
{
    CAMERA_RECORD &c = device->camera;
    Extns_Excluder_Acquire(&c.cameraLock, "Camera_SetSpeed");
    if (ReadNoFence(&c.started) != 0) {
        WriteNoFence(&c.autoFrameRate, automatic);
        if (automatic == 0 && index != ReadNoFence(&c.frameRate)) {
            c.previousFrameRate = ReadNoFence(&c.frameRate);
            WriteNoFence(&c.frameRate, index);
            WriteNoFence(&c.frameRateStep, 1);
        }
    }
    Extns_Excluder_Release(&c.cameraLock);
    return 1;
}

ULONG Camera_GetSpeed(DEVICE_EXTENSION *device, ULONG *index, ULONG *automatic)
{
    const CAMERA_RECORD &c = device->camera;
    if (ReadNoFence(&c.started) != 0) {
        WriteNoFence(index, ReadNoFence(&c.frameRate));
        WriteNoFence(automatic, ReadNoFence(&c.autoFrameRate));
    }
    return 1;
}

ULONG Camera_GetFwVersion(DEVICE_EXTENSION *device, ULONG *version)
{
    CAMERA_RECORD &c = device->camera;
    Extns_Excluder_Acquire(&c.cameraLock, "Camera_GetFwVersion");
    UCHAR b0 = 0, b1 = 0, b2 = 0, b3 = 0;
    ULONG result = mCommand(device, [&] { return ZIRC_GetVersion(device, &b0, &b1, &b2, &b3); });
    WriteNoFence(version, result ? ((static_cast<ULONG>(b0) << 8) | b1) : 0);
    Extns_Excluder_Release(&c.cameraLock);
    return result;
}

// The sensor type from the low nibble of VP version byte 2.
static ULONG mCameraGetSensorVersion(DEVICE_EXTENSION *device, ULONG *code)
{
    UCHAR b0 = 0, b1 = 0, b2 = 0, b3 = 0;
    ULONG result = mCommand(device, [&] { return ZIRC_GetVPVersion(device, &b0, &b1, &b2, &b3); });
    if (!result) {
        WriteNoFence(code, 0);
        return 0;
    }
    ULONG v = b2 & 0x0F;
    if (v == 4)
        WriteNoFence(code, CAMERA_SENSOR_612);
    else if (v >= 5 && v <= 14)
        WriteNoFence(code, CAMERA_SENSOR_613);
    else
        WriteNoFence(code, CAMERA_SENSOR_611);
    return result;
}

ULONG Camera_GetSensorVersion(DEVICE_EXTENSION *device, ULONG *code)
{
    CAMERA_RECORD &c = device->camera;
    Extns_Excluder_Acquire(&c.cameraLock, "Camera_GetSensorVersion");
    // The video processor answers only in high power: wake it for the query.
    if (ReadNoFence(&c.started) == 0) {
        if (!ZIRC_GotoHiPower(device))
            ZIRC_GotoHiPower(device);
        CamSup_CheckStatus(device);
        mPolledWait(mSensorQuerySettleMs);
    }
    ULONG result = mCameraGetSensorVersion(device, code);
    if (ReadNoFence(&c.started) == 0)
        result &= mCommand(device, [&] { return ZIRC_GotoLoPower(device); });
    Extns_Excluder_Release(&c.cameraLock);
    return result;
}
