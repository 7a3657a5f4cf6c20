// The settings record: the user-visible camera settings held in the device
// extension, loaded from the registry with range checks and defaults, saved back,
// and partly cleared at every stream open. Owned by the property manager.
#pragma once

#include "platform/kernel/kernel.h"

struct DEVICE_EXTENSION;

// Fields in the device extension's order. The load range and default of every
// persisted field are those of its registry value. Camera control reads the
// exposure mode, colour balance mode, backlight and gain ceiling directly; the
// video stream reads the no-data fill value.
struct SETTINGS_RECORD {
    ULONG brightness;      // "Brightness"
    ULONG contrast;        // "Contrast"
    ULONG saturation;      // "Saturation"
    ULONG compressionMode; // "VidConf": 1 compress by the conf value, 0 by the cap value
    ULONG confValue;       // "ConfValue"
    ULONG capValue;        // "CapValue"
    ULONG frameRate;       // "Framerate": index 1 to 5
    ULONG backlight;       // "Backlit"
    ULONG flicker;         // "Flicker"
    ULONG mains;           // "FlickerMains"
    ULONG autoFrameRate;   // "AutoFR"
    ULONG roiTopOffset;    // per stream: cleared at open
    ULONG roiLeftOffset;   // per stream: cleared at open
    ULONG exposureMode;    // "ExpMode"
    USHORT expCoarse;      // "ExpCoarse"
    UCHAR expFine;         // "ExpFine"
    UCHAR expGain;         // "ExpGain"
    ULONG acbMode;         // "AcbMode"
    UCHAR acbRed;          // "AcbGainR"
    UCHAR acbGreen;        // "AcbGainG"
    UCHAR acbBlue;         // "AcbGainB"
    ULONG baseCompR;       // "CompR"
    ULONG baseCompG1;      // "CompG1"
    ULONG baseCompG2;      // "CompG2"
    ULONG baseCompB;       // "CompB"
    // Each row packs three matrix coefficients as c1 * 65536 + c2 * 256 + c3.
    ULONG matrixRow1;
    ULONG matrixRow2;
    ULONG matrixRow3;
    ULONG gpioValue;       // per stream: cleared at open
    UCHAR serialMode;      // per stream: cleared at open
    ULONG firmwareVersion; // cache, 0 = not yet read from the camera
    ULONG sensorVersion;   // cache, 0 = not yet read from the camera
    ULONG noDataValue;     // "NoDataValue": fill byte of filler frames (read only)
    ULONG microscope;      // "Microscope" (read only; kept, nothing depends on it)
    ULONG gainCeiling;     // not persisted
};

// Loads every persisted field (missing or out-of-range values become their
// defaults, written back), then clears the caches and matrix rows.
void PropMan_Load(DEVICE_EXTENSION *deviceExtension);
// Writes every persisted, writable field, then the colour matrix if enabled.
void PropMan_Save(DEVICE_EXTENSION *deviceExtension);
// Clears the per-stream fields: GPIO value, serial mode, region offsets.
void PropMan_ResetSessionProperties(DEVICE_EXTENSION *deviceExtension);
