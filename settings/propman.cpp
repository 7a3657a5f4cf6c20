// The property manager: one get and one set handler per property of the two
// property sets, the push of every setting at camera start, the read-back at
// camera stop, and the colour matrix load.

#include "settings/propman.h"

#include "camera/camera.h"
#include "driver/device_extension.h"
#include "link/usbif.h"
#include "settings/registry.h"

// Set handlers bound values from above only: a larger value becomes the maximum,
// a negative one passes unchanged (and is replaced by its default at the next
// load from the registry).
static ULONG mLimit(LONG value, LONG maximum)
{
    return static_cast<ULONG>(value > maximum ? maximum : value);
}

static void mAnswer(KSPROPERTY_VIDEOPROCAMP_S *property, ULONG value, ULONG flags, ULONG caps)
{
    property->Value = static_cast<LONG>(value);
    property->Flags = flags;
    property->Capabilities = caps;
}

static bool mFlag(const KSPROPERTY_VIDEOPROCAMP_S *property, ULONG bit)
{
    return (property->Flags & bit) != 0;
}

// ---- Video-processing set ------------------------------------------------------------

static void mSendColourParams(DEVICE_EXTENSION *device)
{
    const SETTINGS_RECORD &s = device->settings;
    Camera_SetColourParams(device, ReadNoFence(&s.brightness), ReadNoFence(&s.contrast),
                           ReadNoFence(&s.saturation));
}

NTSTATUS PropMan_GetBrightness(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    mAnswer(property, ReadNoFence(&device->settings.brightness), PROPMAN_FLAG_MANUAL, PROPMAN_FLAG_MANUAL);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetBrightness(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    WriteNoFence(&device->settings.brightness, mLimit(property->Value, 10000));
    mSendColourParams(device);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetContrast(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    mAnswer(property, ReadNoFence(&device->settings.contrast), PROPMAN_FLAG_MANUAL, PROPMAN_FLAG_MANUAL);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetContrast(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    WriteNoFence(&device->settings.contrast, mLimit(property->Value, 10000));
    mSendColourParams(device);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetSaturation(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    mAnswer(property, ReadNoFence(&device->settings.saturation), PROPMAN_FLAG_MANUAL, PROPMAN_FLAG_MANUAL);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetSaturation(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    WriteNoFence(&device->settings.saturation, mLimit(property->Value, 10000));
    mSendColourParams(device);
    return STATUS_SUCCESS;
}

// ---- Compression, frame rate, backlight, flicker ------------------------------------------

static void mSendCompression(DEVICE_EXTENSION *device)
{
    const SETTINGS_RECORD &s = device->settings;
    Camera_SetCompression(device, ReadNoFence(&s.compressionMode), ReadNoFence(&s.confValue),
                          ReadNoFence(&s.capValue));
}

NTSTATUS PropMan_GetCompressionConf(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    const SETTINGS_RECORD &s = device->settings;
    mAnswer(property, ReadNoFence(&s.confValue), ReadNoFence(&s.compressionMode) == 1 ? PROPMAN_FLAG_ON : 0,
            PROPMAN_FLAG_ON);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetCompressionConf(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    SETTINGS_RECORD &s = device->settings;
    WriteNoFence(&s.compressionMode, mFlag(property, PROPMAN_FLAG_ON) ? 1 : 0);
    WriteNoFence(&s.confValue, mLimit(property->Value, 10));
    mSendCompression(device);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetCompressionCap(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    const SETTINGS_RECORD &s = device->settings;
    mAnswer(property, ReadNoFence(&s.capValue), ReadNoFence(&s.compressionMode) == 0 ? PROPMAN_FLAG_ON : 0,
            PROPMAN_FLAG_ON);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetCompressionCap(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    SETTINGS_RECORD &s = device->settings;
    WriteNoFence(&s.compressionMode, mFlag(property, PROPMAN_FLAG_ON) ? 0 : 1);
    WriteNoFence(&s.capValue, mLimit(property->Value, 10));
    mSendCompression(device);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetFrameRate(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    SETTINGS_RECORD &s = device->settings;
    // The camera reports only while it runs; otherwise the stored values stand.
    Camera_GetSpeed(device, &s.frameRate, &s.autoFrameRate);
    mAnswer(property, ReadNoFence(&s.frameRate),
            ReadNoFence(&s.autoFrameRate) ? PROPMAN_FLAG_AUTO : PROPMAN_FLAG_MANUAL,
            PROPMAN_FLAG_AUTO | PROPMAN_FLAG_MANUAL);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetFrameRate(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    SETTINGS_RECORD &s = device->settings;
    WriteNoFence(&s.frameRate, mLimit(property->Value, 5));
    WriteNoFence(&s.autoFrameRate, mFlag(property, PROPMAN_FLAG_AUTO) ? 1 : 0);
    Camera_SetSpeed(device, ReadNoFence(&s.frameRate), ReadNoFence(&s.autoFrameRate));
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetBacklit(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    mAnswer(property, 0, ReadNoFence(&device->settings.backlight) ? PROPMAN_FLAG_ON : 0, PROPMAN_FLAG_ON);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetBacklit(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    // Only the on bit by itself turns it on.
    WriteNoFence(&device->settings.backlight, property->Flags == PROPMAN_FLAG_ON ? 1 : 0);
    Camera_SetBacklit(device, ReadNoFence(&device->settings.backlight));
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetFlicker(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    const SETTINGS_RECORD &s = device->settings;
    mAnswer(property, ReadNoFence(&s.mains), ReadNoFence(&s.flicker) ? PROPMAN_FLAG_ON : 0, PROPMAN_FLAG_ON);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetFlicker(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    SETTINGS_RECORD &s = device->settings;
    WriteNoFence(&s.flicker, property->Flags == PROPMAN_FLAG_ON ? 1 : 0);
    WriteNoFence(&s.mains, mLimit(property->Value, 1));
    Camera_SetFlicker(device, ReadNoFence(&s.flicker), ReadNoFence(&s.mains));
    return STATUS_SUCCESS;
}

// ---- Versions and bandwidth (read only) ------------------------------------------------------

NTSTATUS PropMan_GetSensor(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    SETTINGS_RECORD &s = device->settings;
    if (ReadNoFence(&s.sensorVersion) == 0)
        Camera_GetSensorVersion(device, &s.sensorVersion);
    mAnswer(property, ReadNoFence(&s.sensorVersion), PROPMAN_FLAG_READ_ONLY, PROPMAN_FLAG_READ_ONLY);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetFirmWare(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    SETTINGS_RECORD &s = device->settings;
    if (ReadNoFence(&s.firmwareVersion) == 0)
        Camera_GetFwVersion(device, &s.firmwareVersion);
    mAnswer(property, ReadNoFence(&s.firmwareVersion), PROPMAN_FLAG_READ_ONLY, PROPMAN_FLAG_READ_ONLY);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetBandWidth(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    ULONG configured = 0;
    if (!NT_SUCCESS(Registry_Read(REG_BANDWIDTH, &configured)) || configured < 1 || configured > 3)
        Registry_Default(REG_BANDWIDTH, &configured);

    ULONG setting = 0;
    USBIF_GetBandwidth(device, &setting);
    if (setting == 0) {
        // Idle: find what the device would accept by selecting it, then go back
        // to the zero-bandwidth setting.
        ULONG selected = 0;
        if (!NT_SUCCESS(USBIF_SetBandwidth(device, configured, &selected)))
            selected = 0;
        ULONG idle = 0;
        USBIF_SetBandwidth(device, 0, &idle);
        setting = selected;
    }
    mAnswer(property, setting, PROPMAN_FLAG_READ_ONLY, PROPMAN_FLAG_READ_ONLY);
    return STATUS_SUCCESS;
}

// ---- Push button ----------------------------------------------------------------------------

NTSTATUS PropMan_GetPushButton(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    ULONG pressed = Camera_ButtonStateGet(device) != 0 ? 1 : 0;
    mAnswer(property, pressed, Camera_ButtonCheckGet(device) != 0 ? PROPMAN_FLAG_ON : 0, PROPMAN_FLAG_ON);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetPushButton(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    bool on = mFlag(property, PROPMAN_FLAG_ON);
    if (on)
        Camera_ButtonStateSet(device, static_cast<ULONG>(property->Value));
    Camera_ButtonCheckSet(device, on ? 1 : 0);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetPushButtonCurrentState(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    ULONG down = Camera_ButtonCurrentStateGet(device) != 0 ? 1 : 0;
    ULONG flags = PROPMAN_FLAG_READ_ONLY | (Camera_ButtonCheckGet(device) != 0 ? PROPMAN_FLAG_ON : 0);
    mAnswer(property, down, flags, PROPMAN_FLAG_READ_ONLY | PROPMAN_FLAG_ON);
    return STATUS_SUCCESS;
}

// ---- Region of interest ------------------------------------------------------------------------

// The window's edges as camera control holds them: top-left when enabled, and
// bottom-right from the image size.
struct PROPMAN_ROI {
    ULONG enabled, top, left, bottom, right;
};

static PROPMAN_ROI mGetRoi(DEVICE_EXTENSION *device)
{
    PROPMAN_ROI roi = {};
    Camera_GetROI(device, &roi.enabled, &roi.top, &roi.left, &roi.bottom, &roi.right);
    return roi;
}

static void mAnswerRoi(KSPROPERTY_VIDEOPROCAMP_S *property, ULONG enabled, ULONG value, ULONG extraFlags,
                       ULONG caps)
{
    mAnswer(property, enabled ? value : 0, extraFlags | (enabled ? PROPMAN_FLAG_ON : 0), caps);
}

// After storing the changed offset: with the apply bit the window goes to camera
// control, and a window switched off leaves no left offset behind.
static void mApplyRoi(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    SETTINGS_RECORD &s = device->settings;
    if (!mFlag(property, PROPMAN_FLAG_APPLY))
        return;
    ULONG enable = mFlag(property, PROPMAN_FLAG_ON) ? 1 : 0;
    Camera_SetROI(device, enable, ReadNoFence(&s.roiTopOffset), ReadNoFence(&s.roiLeftOffset));
    if (!enable)
        WriteNoFence(&s.roiLeftOffset, 0);
}

NTSTATUS PropMan_GetPanTiltOffLeft(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    PROPMAN_ROI roi = mGetRoi(device);
    mAnswerRoi(property, roi.enabled, roi.left, 0, PROPMAN_FLAG_ON | PROPMAN_FLAG_APPLY);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetPanTiltOffLeft(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    WriteNoFence(&device->settings.roiLeftOffset, static_cast<ULONG>(property->Value));
    mApplyRoi(property, device);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetPanTiltOffTop(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    PROPMAN_ROI roi = mGetRoi(device);
    mAnswerRoi(property, roi.enabled, roi.top, 0, PROPMAN_FLAG_ON | PROPMAN_FLAG_APPLY);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetPanTiltOffTop(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    WriteNoFence(&device->settings.roiTopOffset, static_cast<ULONG>(property->Value));
    mApplyRoi(property, device);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetPanTiltOffRight(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    PROPMAN_ROI roi = mGetRoi(device);
    mAnswerRoi(property, roi.enabled, roi.right, PROPMAN_FLAG_READ_ONLY,
               PROPMAN_FLAG_READ_ONLY | PROPMAN_FLAG_ON);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetPanTiltOffBottom(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    PROPMAN_ROI roi = mGetRoi(device);
    mAnswerRoi(property, roi.enabled, roi.bottom, PROPMAN_FLAG_READ_ONLY,
               PROPMAN_FLAG_READ_ONLY | PROPMAN_FLAG_ON);
    return STATUS_SUCCESS;
}

// ---- Exposure and colour balance ------------------------------------------------------------------

static const ULONG mCapsModeAndValue = PROPMAN_FLAG_MANUAL | PROPMAN_FLAG_ON | PROPMAN_FLAG_APPLY;

static void mAnswerExposure(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device, ULONG value)
{
    ULONG flags = ReadNoFence(&device->settings.exposureMode) == CAMERA_MODE_AUTO ? PROPMAN_FLAG_ON : 0;
    mAnswer(property, value, flags, mCapsModeAndValue);
}

static void mAnswerAcb(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device, ULONG value)
{
    ULONG flags = ReadNoFence(&device->settings.acbMode) == CAMERA_MODE_AUTO ? PROPMAN_FLAG_ON : 0;
    mAnswer(property, value, flags, mCapsModeAndValue);
}

// The set pattern shared by exposure and colour balance: the on bit switches
// automatic control on; a manual value is stored and, with the apply bit, sent
// with mode 1; no bit at all fixes the current values.
template <class Field, class Send>
static void mSetModeAndValue(KSPROPERTY_VIDEOPROCAMP_S *property, ULONG *mode, Field *field, LONG maximum,
                             Send send)
{
    if (mFlag(property, PROPMAN_FLAG_ON)) {
        WriteNoFence(mode, CAMERA_MODE_AUTO);
        send(CAMERA_MODE_AUTO, true);
    } else if (mFlag(property, PROPMAN_FLAG_MANUAL)) {
        WriteNoFence(field, mLimit(property->Value, maximum));
        if (mFlag(property, PROPMAN_FLAG_APPLY))
            send(CAMERA_MODE_APPLY, false);
    } else {
        WriteNoFence(mode, CAMERA_MODE_FIXED);
        send(CAMERA_MODE_FIXED, true);
    }
}

template <class Field>
static void mSetExposureField(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device, Field *field,
                              LONG maximum)
{
    SETTINGS_RECORD &s = device->settings;
    mSetModeAndValue(property, &s.exposureMode, field, maximum, [&](ULONG mode, bool modeOnly) {
        if (modeOnly)
            Camera_SetExposure(device, mode, 0, 0, 0);
        else
            Camera_SetExposure(device, mode, ReadNoFence(&s.expCoarse), ReadNoFence(&s.expFine),
                               ReadNoFence(&s.expGain));
    });
}

static void mSetAcbField(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device, UCHAR *field)
{
    SETTINGS_RECORD &s = device->settings;
    mSetModeAndValue(property, &s.acbMode, field, 212, [&](ULONG mode, bool modeOnly) {
        if (modeOnly)
            Camera_SetACB(device, mode, 0, 0, 0);
        else
            Camera_SetACB(device, mode, ReadNoFence(&s.acbRed), ReadNoFence(&s.acbGreen),
                          ReadNoFence(&s.acbBlue));
    });
}

NTSTATUS PropMan_GetExpCoarse(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    Camera_GetExposure(device, &device->settings.expCoarse, nullptr, nullptr);
    mAnswerExposure(property, device, ReadNoFence(&device->settings.expCoarse));
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetExpCoarse(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    mSetExposureField(property, device, &device->settings.expCoarse, 302);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetExpFine(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    Camera_GetExposure(device, nullptr, &device->settings.expFine, nullptr);
    mAnswerExposure(property, device, ReadNoFence(&device->settings.expFine));
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetExpFine(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    mSetExposureField(property, device, &device->settings.expFine, 255);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetExpGain(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    Camera_GetExposure(device, nullptr, nullptr, &device->settings.expGain);
    mAnswerExposure(property, device, ReadNoFence(&device->settings.expGain));
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetExpGain(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    mSetExposureField(property, device, &device->settings.expGain, 3);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetACBRed(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    Camera_GetACB(device, &device->settings.acbRed, nullptr, nullptr);
    mAnswerAcb(property, device, ReadNoFence(&device->settings.acbRed));
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetACBRed(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    mSetAcbField(property, device, &device->settings.acbRed);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetACBGreen(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    Camera_GetACB(device, nullptr, &device->settings.acbGreen, nullptr);
    mAnswerAcb(property, device, ReadNoFence(&device->settings.acbGreen));
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetACBGreen(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    mSetAcbField(property, device, &device->settings.acbGreen);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetACBBlue(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    Camera_GetACB(device, nullptr, nullptr, &device->settings.acbBlue);
    mAnswerAcb(property, device, ReadNoFence(&device->settings.acbBlue));
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetACBBlue(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    mSetAcbField(property, device, &device->settings.acbBlue);
    return STATUS_SUCCESS;
}

// ---- General-purpose port and serial port ---------------------------------------------------------

NTSTATUS PropMan_GetGPIO(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    Camera_GetGPIO(device, &device->settings.gpioValue);
    mAnswer(property, ReadNoFence(&device->settings.gpioValue), PROPMAN_FLAG_MANUAL, PROPMAN_FLAG_MANUAL);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetGPIO(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    WriteNoFence(&device->settings.gpioValue, static_cast<ULONG>(property->Value));
    Camera_SetGPIO(device, ReadNoFence(&device->settings.gpioValue));
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetSerial(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    bool mode = ReadNoFence(&device->settings.serialMode) != 0;
    UCHAR byte = 0;
    Camera_SerialRead(device, mode ? 1 : 0, &byte);
    mAnswer(property, byte, mode ? PROPMAN_FLAG_SERIAL_MODE : 0, 0);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetSerial(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    // One action per request: the first flag found, in this order.
    if (mFlag(property, PROPMAN_FLAG_SERIAL_START))
        Camera_SerialStart(device);
    else if (mFlag(property, PROPMAN_FLAG_SERIAL_STOP))
        Camera_SerialStop(device);
    else if (mFlag(property, PROPMAN_FLAG_SERIAL_MODE))
        WriteNoFence(&device->settings.serialMode, static_cast<UCHAR>(property->Value));
    else if (mFlag(property, PROPMAN_FLAG_SERIAL_WRITE))
        Camera_SerialWrite(device, static_cast<ULONG>(property->Value) & 0xFF);
    return STATUS_SUCCESS;
}

// ---- Base compensations, colour matrix, gain ceiling -------------------------------------------------

static void mSendBaseComps(DEVICE_EXTENSION *device)
{
    const SETTINGS_RECORD &s = device->settings;
    Camera_SetBaseComps(device, ReadNoFence(&s.baseCompR) & 0xFF, ReadNoFence(&s.baseCompG1) & 0xFF,
                        ReadNoFence(&s.baseCompG2) & 0xFF, ReadNoFence(&s.baseCompB) & 0xFF);
}

static NTSTATUS mGetValueOnly(KSPROPERTY_VIDEOPROCAMP_S *property, ULONG value)
{
    property->Value = static_cast<LONG>(value);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetBaseCompR(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    return mGetValueOnly(property, ReadNoFence(&device->settings.baseCompR));
}

NTSTATUS PropMan_SetBaseCompR(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    WriteNoFence(&device->settings.baseCompR, static_cast<ULONG>(property->Value));
    mSendBaseComps(device);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetBaseCompG1(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    return mGetValueOnly(property, ReadNoFence(&device->settings.baseCompG1));
}

NTSTATUS PropMan_SetBaseCompG1(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    WriteNoFence(&device->settings.baseCompG1, static_cast<ULONG>(property->Value));
    mSendBaseComps(device);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetBaseCompG2(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    return mGetValueOnly(property, ReadNoFence(&device->settings.baseCompG2));
}

NTSTATUS PropMan_SetBaseCompG2(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    WriteNoFence(&device->settings.baseCompG2, static_cast<ULONG>(property->Value));
    mSendBaseComps(device);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetBaseCompB(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    return mGetValueOnly(property, ReadNoFence(&device->settings.baseCompB));
}

NTSTATUS PropMan_SetBaseCompB(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    WriteNoFence(&device->settings.baseCompB, static_cast<ULONG>(property->Value));
    mSendBaseComps(device);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetMatrixRow1(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    return mGetValueOnly(property, ReadNoFence(&device->settings.matrixRow1));
}

// Rows 1 and 2 are only stored: the matrix goes to the camera whole, when row 3
// arrives.
NTSTATUS PropMan_SetMatrixRow1(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    WriteNoFence(&device->settings.matrixRow1, static_cast<ULONG>(property->Value));
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetMatrixRow2(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    return mGetValueOnly(property, ReadNoFence(&device->settings.matrixRow2));
}

NTSTATUS PropMan_SetMatrixRow2(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    WriteNoFence(&device->settings.matrixRow2, static_cast<ULONG>(property->Value));
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetMatrixRow3(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    return mGetValueOnly(property, ReadNoFence(&device->settings.matrixRow3));
}

NTSTATUS PropMan_SetMatrixRow3(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    SETTINGS_RECORD &s = device->settings;
    WriteNoFence(&s.matrixRow3, static_cast<ULONG>(property->Value));
    Camera_SetMatrix(device, ReadNoFence(&s.matrixRow1), ReadNoFence(&s.matrixRow2),
                     ReadNoFence(&s.matrixRow3));
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_GetGainCeiling(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    mAnswer(property, ReadNoFence(&device->settings.gainCeiling), PROPMAN_FLAG_READ_ONLY,
            PROPMAN_FLAG_READ_ONLY);
    return STATUS_SUCCESS;
}

NTSTATUS PropMan_SetGainCeiling(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device)
{
    WriteNoFence(&device->settings.gainCeiling, static_cast<ULONG>(property->Value));
    Camera_SetGainCeiling(device, ReadNoFence(&device->settings.gainCeiling) & 0xFF);
    return STATUS_SUCCESS;
}

// ---- Handler tables ----------------------------------------------------------------------------------

const PROPMAN_HANDLERS PropMan_VideoProcAmpHandlers[PROPMAN_VPA_IDS] = {
    {PropMan_GetBrightness, PropMan_SetBrightness},
    {PropMan_GetContrast, PropMan_SetContrast},
    {nullptr, nullptr}, // hue
    {PropMan_GetSaturation, PropMan_SetSaturation},
};

const PROPMAN_HANDLERS PropMan_LumPropHandlers[PROPMAN_LUM_IDS] = {
    {nullptr, nullptr},
    {nullptr, nullptr},
    {nullptr, nullptr},
    {PropMan_GetCompressionConf, PropMan_SetCompressionConf},
    {PropMan_GetCompressionCap, PropMan_SetCompressionCap},
    {PropMan_GetFrameRate, PropMan_SetFrameRate},
    {PropMan_GetBacklit, PropMan_SetBacklit},
    {PropMan_GetFlicker, PropMan_SetFlicker},
    {PropMan_GetSensor, nullptr},
    {PropMan_GetFirmWare, nullptr},
    {PropMan_GetBandWidth, nullptr},
    {PropMan_GetPushButton, PropMan_SetPushButton},
    {PropMan_GetPanTiltOffLeft, PropMan_SetPanTiltOffLeft},
    {PropMan_GetPanTiltOffTop, PropMan_SetPanTiltOffTop},
    {PropMan_GetPanTiltOffRight, nullptr},
    {PropMan_GetPanTiltOffBottom, nullptr},
    {PropMan_GetExpCoarse, PropMan_SetExpCoarse},
    {PropMan_GetExpFine, PropMan_SetExpFine},
    {PropMan_GetExpGain, PropMan_SetExpGain},
    {PropMan_GetACBRed, PropMan_SetACBRed},
    {PropMan_GetACBGreen, PropMan_SetACBGreen},
    {PropMan_GetACBBlue, PropMan_SetACBBlue},
    {PropMan_GetGPIO, PropMan_SetGPIO},
    {PropMan_GetSerial, PropMan_SetSerial},
    {PropMan_GetBaseCompR, PropMan_SetBaseCompR},
    {PropMan_GetBaseCompG1, PropMan_SetBaseCompG1},
    {PropMan_GetBaseCompG2, PropMan_SetBaseCompG2},
    {PropMan_GetBaseCompB, PropMan_SetBaseCompB},
    {PropMan_GetMatrixRow1, PropMan_SetMatrixRow1},
    {PropMan_GetMatrixRow2, PropMan_SetMatrixRow2},
    {PropMan_GetMatrixRow3, PropMan_SetMatrixRow3},
    {PropMan_GetGainCeiling, PropMan_SetGainCeiling},
    {PropMan_GetPushButtonCurrentState, nullptr},
};

// ---- Lifecycle -----------------------------------------------------------------------------------------

void PropMan_Initialise(DEVICE_EXTENSION *device)
{
    PropMan_Load(device);
}

void PropMan_Terminate(DEVICE_EXTENSION *device)
{
    PropMan_Save(device);
}

// The colour matrix for this camera: from the registry when "UseRegMatrix" says
// so, else the sensor's default. When neither can be had the rows are left as
// they are rather than filled with undefined coefficients.
static ULONG mLoadColourSet(DEVICE_EXTENSION *device)
{
    SETTINGS_RECORD &s = device->settings;
    UCHAR b[9] = {};
    ULONG useRegMatrix = 0;
    if (NT_SUCCESS(Registry_Read(REG_USE_REG_MATRIX, &useRegMatrix)) && useRegMatrix != 0) {
        if (!NT_SUCCESS(Registry_ReadMatrix(b)))
            return 0;
    } else {
        if (ReadNoFence(&s.sensorVersion) == 0)
            Camera_GetSensorVersion(device, &s.sensorVersion);
        if (ReadNoFence(&s.sensorVersion) == 0)
            return 0;
        Camera_GetSensorMatrix(device, ReadNoFence(&s.sensorVersion), b);
    }
    WriteNoFence(&s.matrixRow1, b[0] * 65536u + b[1] * 256u + b[2]);
    WriteNoFence(&s.matrixRow2, b[3] * 65536u + b[4] * 256u + b[5]);
    WriteNoFence(&s.matrixRow3, b[6] * 65536u + b[7] * 256u + b[8]);
    return 1;
}

void PropMan_WriteAllSettings(DEVICE_EXTENSION *device)
{
    SETTINGS_RECORD &s = device->settings;
    Camera_GetFwVersion(device, &s.firmwareVersion);
    Camera_GetSensorVersion(device, &s.sensorVersion);
    mLoadColourSet(device);
    Camera_SetColourParams(device, ReadNoFence(&s.brightness), ReadNoFence(&s.contrast),
                           ReadNoFence(&s.saturation));
    Camera_SetCompression(device, ReadNoFence(&s.compressionMode), ReadNoFence(&s.confValue),
                          ReadNoFence(&s.capValue));
    Camera_SetSpeed(device, ReadNoFence(&s.frameRate), ReadNoFence(&s.autoFrameRate));
    Camera_SetBacklit(device, ReadNoFence(&s.backlight));
    Camera_SetFlicker(device, ReadNoFence(&s.flicker), ReadNoFence(&s.mains));
    Camera_SetMatrix(device, ReadNoFence(&s.matrixRow1), ReadNoFence(&s.matrixRow2),
                     ReadNoFence(&s.matrixRow3));
    Camera_SetACB(device, ReadNoFence(&s.acbMode), ReadNoFence(&s.acbRed), ReadNoFence(&s.acbGreen),
                  ReadNoFence(&s.acbBlue));
    Camera_SetACB(device, CAMERA_MODE_APPLY, ReadNoFence(&s.acbRed), ReadNoFence(&s.acbGreen),
                  ReadNoFence(&s.acbBlue));
    Camera_SetExposure(device, ReadNoFence(&s.exposureMode), ReadNoFence(&s.expCoarse),
                       ReadNoFence(&s.expFine), ReadNoFence(&s.expGain));
    Camera_SetBaseComps(device, ReadNoFence(&s.baseCompR) & 0xFF, ReadNoFence(&s.baseCompG1) & 0xFF,
                        ReadNoFence(&s.baseCompG2) & 0xFF, ReadNoFence(&s.baseCompB) & 0xFF);
    Camera_SetExposure(device, CAMERA_MODE_APPLY, ReadNoFence(&s.expCoarse), ReadNoFence(&s.expFine),
                       ReadNoFence(&s.expGain));
}

void Propman_ReadVolatileSettings(DEVICE_EXTENSION *device)
{
    SETTINGS_RECORD &s = device->settings;
    Camera_GetExposure(device, &s.expCoarse, &s.expFine, &s.expGain);
    Camera_GetACB(device, &s.acbRed, &s.acbGreen, &s.acbBlue);
}
