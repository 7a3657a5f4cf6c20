// Loading, saving and resetting the settings record.

#include "settings/settings_record.h"

#include "driver/device_extension.h"
#include "settings/registry.h"

// The registry value of index, or its default (written back) when the value
// cannot be read or lies outside minimum..maximum (compared unsigned).
static void mGetValueOrDefault(ULONG index, ULONG *field, ULONG minimum, ULONG maximum)
{
    if (!NT_SUCCESS(Registry_Read(index, field))) {
        Registry_Default(index, field);
        return;
    }
    if (*field < minimum || *field > maximum)
        Registry_Default(index, field);
}

// Narrow fields load through a full word; their ranges fit their widths, so the
// narrowing after the range check loses nothing.
static void mGetValueOrDefault(ULONG index, USHORT *field, ULONG minimum, ULONG maximum)
{
    ULONG value = *field;
    mGetValueOrDefault(index, &value, minimum, maximum);
    *field = static_cast<USHORT>(value);
}

static void mGetValueOrDefault(ULONG index, UCHAR *field, ULONG minimum, ULONG maximum)
{
    ULONG value = *field;
    mGetValueOrDefault(index, &value, minimum, maximum);
    *field = static_cast<UCHAR>(value);
}

// Always 1: a matrix that cannot be stored is not an error worth reporting.
static ULONG mSaveColourSet(DEVICE_EXTENSION *deviceExtension)
{
    ULONG useRegMatrix = 0;
    if (!NT_SUCCESS(Registry_Read(REG_USE_REG_MATRIX, &useRegMatrix)) || useRegMatrix == 0)
        return 1;

    const SETTINGS_RECORD &settings = deviceExtension->settings;
    const ULONG rows[3] = {settings.matrixRow1, settings.matrixRow2, settings.matrixRow3};
    UCHAR matrix[REG_MATRIX_BYTES];
    for (ULONG row = 0; row < 3; ++row) {
        matrix[row * 3 + 0] = static_cast<UCHAR>(rows[row] >> 16);
        matrix[row * 3 + 1] = static_cast<UCHAR>(rows[row] >> 8);
        matrix[row * 3 + 2] = static_cast<UCHAR>(rows[row]);
    }
    Registry_WriteMatrix(matrix);
    return 1;
}

void PropMan_Load(DEVICE_EXTENSION *deviceExtension)
{
    SETTINGS_RECORD &s = deviceExtension->settings;
    mGetValueOrDefault(REG_BRIGHTNESS, &s.brightness, 0, 10000);
    mGetValueOrDefault(REG_CONTRAST, &s.contrast, 0, 10000);
    mGetValueOrDefault(REG_SATURATION, &s.saturation, 0, 10000);
    mGetValueOrDefault(REG_VID_CONF, &s.compressionMode, 0, 1);
    mGetValueOrDefault(REG_CONF_VALUE, &s.confValue, 1, 10);
    mGetValueOrDefault(REG_CAP_VALUE, &s.capValue, 1, 10);
    mGetValueOrDefault(REG_FRAMERATE, &s.frameRate, 1, 5);
    mGetValueOrDefault(REG_BACKLIT, &s.backlight, 0, 1);
    mGetValueOrDefault(REG_FLICKER, &s.flicker, 0, 1);
    mGetValueOrDefault(REG_FLICKER_MAINS, &s.mains, 0, 1);
    mGetValueOrDefault(REG_AUTO_FR, &s.autoFrameRate, 0, 1);
    mGetValueOrDefault(REG_COMP_R, &s.baseCompR, 0, 255);
    mGetValueOrDefault(REG_COMP_G1, &s.baseCompG1, 0, 255);
    mGetValueOrDefault(REG_COMP_G2, &s.baseCompG2, 0, 255);
    mGetValueOrDefault(REG_COMP_B, &s.baseCompB, 0, 255);
    mGetValueOrDefault(REG_MICROSCOPE, &s.microscope, 0, 1);
    mGetValueOrDefault(REG_NO_DATA_VALUE, &s.noDataValue, 0, 255);
    mGetValueOrDefault(REG_EXP_COARSE, &s.expCoarse, 0, 302);
    mGetValueOrDefault(REG_EXP_FINE, &s.expFine, 0, 255);
    mGetValueOrDefault(REG_EXP_GAIN, &s.expGain, 0, 3);
    mGetValueOrDefault(REG_EXP_MODE, &s.exposureMode, 0, 3);
    mGetValueOrDefault(REG_ACB_GAIN_R, &s.acbRed, 0, 212);
    mGetValueOrDefault(REG_ACB_GAIN_G, &s.acbGreen, 0, 212);
    mGetValueOrDefault(REG_ACB_GAIN_B, &s.acbBlue, 0, 212);
    mGetValueOrDefault(REG_ACB_MODE, &s.acbMode, 0, 3);

    // The caches are refilled from the camera on first need; the matrix rows
    // come from the colour set loaded at camera start.
    s.firmwareVersion = 0;
    s.sensorVersion = 0;
    s.matrixRow1 = 0;
    s.matrixRow2 = 0;
    s.matrixRow3 = 0;
    s.gainCeiling = 2;
}

void PropMan_Save(DEVICE_EXTENSION *deviceExtension)
{
    const SETTINGS_RECORD &s = deviceExtension->settings;
    // Failed writes are ignored: the next save tries again.
    Registry_Write(REG_BRIGHTNESS, s.brightness);
    Registry_Write(REG_CONTRAST, s.contrast);
    Registry_Write(REG_SATURATION, s.saturation);
    Registry_Write(REG_VID_CONF, s.compressionMode);
    Registry_Write(REG_CONF_VALUE, s.confValue);
    Registry_Write(REG_CAP_VALUE, s.capValue);
    Registry_Write(REG_FRAMERATE, s.frameRate);
    Registry_Write(REG_BACKLIT, s.backlight);
    Registry_Write(REG_FLICKER, s.flicker);
    Registry_Write(REG_FLICKER_MAINS, s.mains);
    Registry_Write(REG_AUTO_FR, s.autoFrameRate);
    Registry_Write(REG_EXP_MODE, s.exposureMode);
    Registry_Write(REG_EXP_COARSE, s.expCoarse);
    Registry_Write(REG_EXP_FINE, s.expFine);
    Registry_Write(REG_EXP_GAIN, s.expGain);
    Registry_Write(REG_ACB_MODE, s.acbMode);
    Registry_Write(REG_ACB_GAIN_R, s.acbRed);
    Registry_Write(REG_ACB_GAIN_G, s.acbGreen);
    Registry_Write(REG_ACB_GAIN_B, s.acbBlue);
    Registry_Write(REG_COMP_R, s.baseCompR);
    Registry_Write(REG_COMP_G1, s.baseCompG1);
    Registry_Write(REG_COMP_G2, s.baseCompG2);
    Registry_Write(REG_COMP_B, s.baseCompB);
    mSaveColourSet(deviceExtension);
}

void PropMan_ResetSessionProperties(DEVICE_EXTENSION *deviceExtension)
{
    SETTINGS_RECORD &s = deviceExtension->settings;
    s.gpioValue = 0;
    s.serialMode = 0;
    s.roiTopOffset = 0;
    s.roiLeftOffset = 0;
}
