// Loading, saving and resetting the settings record.

#include "settings/settings_record.h"

#include "driver/device_extension.h"
#include "settings/registry.h"

// The registry value of index, or its default (written back) when the value
// cannot be read or lies outside minimum..maximum (compared unsigned). The
// value is built in a local word and stored once: property requests read the
// field meanwhile. Narrow fields have ranges that fit their widths.
template <class Field> static void mGetValueOrDefault(ULONG index, Field *field, ULONG minimum, ULONG maximum)
{
    ULONG value = ReadNoFence(field);
    if (!NT_SUCCESS(Registry_Read(index, &value)) || value < minimum || value > maximum)
        Registry_Default(index, &value);
    WriteNoFence(field, value);
}

// Always 1: a matrix that cannot be stored is not an error worth reporting.
static ULONG mSaveColourSet(DEVICE_EXTENSION *deviceExtension)
{
    ULONG useRegMatrix = 0;
    if (!NT_SUCCESS(Registry_Read(REG_USE_REG_MATRIX, &useRegMatrix)) || useRegMatrix == 0)
        return 1;

    const SETTINGS_RECORD &settings = deviceExtension->settings;
    const ULONG rows[3] = {ReadNoFence(&settings.matrixRow1), ReadNoFence(&settings.matrixRow2),
                           ReadNoFence(&settings.matrixRow3)};
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
    WriteNoFence(&s.firmwareVersion, 0);
    WriteNoFence(&s.sensorVersion, 0);
    WriteNoFence(&s.matrixRow1, 0);
    WriteNoFence(&s.matrixRow2, 0);
    WriteNoFence(&s.matrixRow3, 0);
    WriteNoFence(&s.gainCeiling, 2);
}

void PropMan_Save(DEVICE_EXTENSION *deviceExtension)
{
    const SETTINGS_RECORD &s = deviceExtension->settings;
    // Failed writes are ignored: the next save tries again.
    Registry_Write(REG_BRIGHTNESS, ReadNoFence(&s.brightness));
    Registry_Write(REG_CONTRAST, ReadNoFence(&s.contrast));
    Registry_Write(REG_SATURATION, ReadNoFence(&s.saturation));
    Registry_Write(REG_VID_CONF, ReadNoFence(&s.compressionMode));
    Registry_Write(REG_CONF_VALUE, ReadNoFence(&s.confValue));
    Registry_Write(REG_CAP_VALUE, ReadNoFence(&s.capValue));
    Registry_Write(REG_FRAMERATE, ReadNoFence(&s.frameRate));
    Registry_Write(REG_BACKLIT, ReadNoFence(&s.backlight));
    Registry_Write(REG_FLICKER, ReadNoFence(&s.flicker));
    Registry_Write(REG_FLICKER_MAINS, ReadNoFence(&s.mains));
    Registry_Write(REG_AUTO_FR, ReadNoFence(&s.autoFrameRate));
    Registry_Write(REG_EXP_MODE, ReadNoFence(&s.exposureMode));
    Registry_Write(REG_EXP_COARSE, ReadNoFence(&s.expCoarse));
    Registry_Write(REG_EXP_FINE, ReadNoFence(&s.expFine));
    Registry_Write(REG_EXP_GAIN, ReadNoFence(&s.expGain));
    Registry_Write(REG_ACB_MODE, ReadNoFence(&s.acbMode));
    Registry_Write(REG_ACB_GAIN_R, ReadNoFence(&s.acbRed));
    Registry_Write(REG_ACB_GAIN_G, ReadNoFence(&s.acbGreen));
    Registry_Write(REG_ACB_GAIN_B, ReadNoFence(&s.acbBlue));
    Registry_Write(REG_COMP_R, ReadNoFence(&s.baseCompR));
    Registry_Write(REG_COMP_G1, ReadNoFence(&s.baseCompG1));
    Registry_Write(REG_COMP_G2, ReadNoFence(&s.baseCompG2));
    Registry_Write(REG_COMP_B, ReadNoFence(&s.baseCompB));
    mSaveColourSet(deviceExtension);
}

void PropMan_ResetSessionProperties(DEVICE_EXTENSION *deviceExtension)
{
    SETTINGS_RECORD &s = deviceExtension->settings;
    WriteNoFence(&s.gpioValue, 0);
    WriteNoFence(&s.serialMode, 0);
    WriteNoFence(&s.roiTopOffset, 0);
    WriteNoFence(&s.roiLeftOffset, 0);
}
