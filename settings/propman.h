// The property manager: answers the property requests of both property sets
// from the settings record, forwards every change to camera control, and pushes
// all settings to the camera at every start and reads them back at every stop.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/port/ks.h"

struct DEVICE_EXTENSION;

// The driver's own property set {A80B8130-7A36-11D2-A935-006097BCBCF1}.
inline constexpr GUID PROPSETID_LUMPROP = {
    0xA80B8130, 0x7A36, 0x11D2, {0xA9, 0x35, 0x00, 0x60, 0x97, 0xBC, 0xBC, 0xF1}};

// Property ids of PROPSETID_VIDCAP_VIDEOPROCAMP that the driver answers.
enum : ULONG {
    PROPMAN_VPA_BRIGHTNESS = 0,
    PROPMAN_VPA_CONTRAST = 1,
    PROPMAN_VPA_SATURATION = 3,
    PROPMAN_VPA_IDS = 4, // ids 0..3; 2 (hue) is not answered
};

// Property ids of PROPSETID_LUMPROP; ids 0 to 2 are not answered.
enum : ULONG {
    PROPMAN_LUM_COMPRESSION_CONF = 3,
    PROPMAN_LUM_COMPRESSION_CAP = 4,
    PROPMAN_LUM_FRAME_RATE = 5,
    PROPMAN_LUM_BACKLIT = 6,
    PROPMAN_LUM_FLICKER = 7,
    PROPMAN_LUM_SENSOR = 8,
    PROPMAN_LUM_FIRMWARE = 9,
    PROPMAN_LUM_BANDWIDTH = 10,
    PROPMAN_LUM_PUSH_BUTTON = 11,
    PROPMAN_LUM_PAN_TILT_OFF_LEFT = 12,
    PROPMAN_LUM_PAN_TILT_OFF_TOP = 13,
    PROPMAN_LUM_PAN_TILT_OFF_RIGHT = 14,
    PROPMAN_LUM_PAN_TILT_OFF_BOTTOM = 15,
    PROPMAN_LUM_EXP_COARSE = 16,
    PROPMAN_LUM_EXP_FINE = 17,
    PROPMAN_LUM_EXP_GAIN = 18,
    PROPMAN_LUM_ACB_RED = 19,
    PROPMAN_LUM_ACB_GREEN = 20,
    PROPMAN_LUM_ACB_BLUE = 21,
    PROPMAN_LUM_GPIO = 22,
    PROPMAN_LUM_SERIAL = 23,
    PROPMAN_LUM_BASE_COMP_R = 24,
    PROPMAN_LUM_BASE_COMP_G1 = 25,
    PROPMAN_LUM_BASE_COMP_G2 = 26,
    PROPMAN_LUM_BASE_COMP_B = 27,
    PROPMAN_LUM_MATRIX_ROW1 = 28,
    PROPMAN_LUM_MATRIX_ROW2 = 29,
    PROPMAN_LUM_MATRIX_ROW3 = 30,
    PROPMAN_LUM_GAIN_CEILING = 31,
    PROPMAN_LUM_PUSH_BUTTON_CURRENT_STATE = 32,
    PROPMAN_LUM_IDS = 33,
};

// Flag bits of the property buffer's Flags and Capabilities.
constexpr ULONG PROPMAN_FLAG_AUTO = 0x01;   // automatic (frame rate)
constexpr ULONG PROPMAN_FLAG_MANUAL = 0x02; // manual value given
constexpr ULONG PROPMAN_FLAG_ON = 0x04;     // on / automatic / enabled, per property
constexpr ULONG PROPMAN_FLAG_APPLY = 0x08;  // apply the value to the camera now
constexpr ULONG PROPMAN_FLAG_READ_ONLY = 0x10;
constexpr ULONG PROPMAN_FLAG_SERIAL_START = 0x20;
constexpr ULONG PROPMAN_FLAG_SERIAL_STOP = 0x40;
constexpr ULONG PROPMAN_FLAG_SERIAL_WRITE = 0x80;
constexpr ULONG PROPMAN_FLAG_SERIAL_MODE = 0x100;

// Every handler takes the caller's 40-byte property buffer and the device
// extension; get handlers write Value (and Flags and Capabilities for most),
// set handlers read Value and Flags. Camera failures still answer success.
using PROPMAN_HANDLER = NTSTATUS (*)(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);

struct PROPMAN_HANDLERS {
    PROPMAN_HANDLER get; // null: not answered
    PROPMAN_HANDLER set; // null: read only or not answered
};

// Handlers by property id; routing answers STATUS_NOT_IMPLEMENTED for a null
// entry or an id past the table.
extern const PROPMAN_HANDLERS PropMan_VideoProcAmpHandlers[PROPMAN_VPA_IDS];
extern const PROPMAN_HANDLERS PropMan_LumPropHandlers[PROPMAN_LUM_IDS];

void PropMan_Initialise(DEVICE_EXTENSION *device);
void PropMan_Terminate(DEVICE_EXTENSION *device);
// Camera start: every setting pushed to the camera in its fixed order.
void PropMan_WriteAllSettings(DEVICE_EXTENSION *device);
// Camera stop: exposure and colour gains read back so that what automatic
// control changed is what gets saved.
void Propman_ReadVolatileSettings(DEVICE_EXTENSION *device);

NTSTATUS PropMan_GetBrightness(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetBrightness(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetContrast(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetContrast(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetSaturation(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetSaturation(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);

NTSTATUS PropMan_GetCompressionConf(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetCompressionConf(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetCompressionCap(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetCompressionCap(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetFrameRate(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetFrameRate(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetBacklit(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetBacklit(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetFlicker(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetFlicker(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetSensor(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetFirmWare(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetBandWidth(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetPushButton(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetPushButton(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetPanTiltOffLeft(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetPanTiltOffLeft(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetPanTiltOffTop(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetPanTiltOffTop(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetPanTiltOffRight(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetPanTiltOffBottom(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetExpCoarse(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetExpCoarse(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetExpFine(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetExpFine(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetExpGain(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetExpGain(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetACBRed(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetACBRed(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetACBGreen(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetACBGreen(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetACBBlue(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetACBBlue(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetGPIO(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetGPIO(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetSerial(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetSerial(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetBaseCompR(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetBaseCompR(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetBaseCompG1(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetBaseCompG1(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetBaseCompG2(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetBaseCompG2(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetBaseCompB(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetBaseCompB(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetMatrixRow1(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetMatrixRow1(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetMatrixRow2(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetMatrixRow2(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetMatrixRow3(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetMatrixRow3(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetGainCeiling(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_SetGainCeiling(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
NTSTATUS PropMan_GetPushButtonCurrentState(KSPROPERTY_VIDEOPROCAMP_S *property, DEVICE_EXTENSION *device);
