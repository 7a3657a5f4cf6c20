// Camera control: the camera record kept in the device extension, the capture
// run (start, stop, update, grab), every camera setting, exposure and flicker
// support, compression, and the timed sequences run from the background step.
#pragma once

#include "driver/extns.h"
#include "platform/kernel/kernel.h"

struct DEVICE_EXTENSION;

// Frame-rate indexes 1 to 5 select the sensor clock (about 30, 25, 15, 12.5 and
// 7.5 frames per second).
constexpr ULONG CAMERA_FRAME_RATE_MIN = 1;
constexpr ULONG CAMERA_FRAME_RATE_MAX = 5;

// Sensor type codes answered by Camera_GetSensorVersion.
constexpr ULONG CAMERA_SENSOR_611 = 611;
constexpr ULONG CAMERA_SENSOR_612 = 612;
constexpr ULONG CAMERA_SENSOR_613 = 613;

// Firmware below this version gets clamped or default values for the colour
// matrix and the base compensations.
constexpr ULONG CAMERA_FIRMWARE_THRESHOLD = 0x011F;

// Exposure and colour balance modes as commanded.
constexpr ULONG CAMERA_MODE_APPLY = 1;
constexpr ULONG CAMERA_MODE_AUTO = 2;
constexpr ULONG CAMERA_MODE_FIXED = 3;

// The camera record. Times are driver times in milliseconds. Every field below
// cameraLock is guarded by it, except the few single words that the watchdog,
// the speed getter and the button getters read without it.
struct CAMERA_RECORD {
    ULONG roiEnabled; // 1 while the application has set a region of interest
    ULONG imageWidth; // output image size given to Camera_Start
    ULONG imageHeight;
    ULONG roiLeft; // window position on the sensor, pixels and lines
    ULONG roiTop;
    ULONG frameRate;         // current frame-rate index 1..5
    ULONG previousFrameRate; // index in force before the last change
    ULONG autoFrameRate;     // 1 when the automatic frame rate chooses frameRate
    ULONG flickerMains;      // 0 for 50-Hz mains, 1 for 60-Hz
    ULONG flickerOn;
    ULONG compDecimation; // decimation flag sent with compression
    ULONG compTarget1;    // the three compression targets; compTarget2 0 = off
    ULONG compTarget2;
    ULONG compTarget3;
    ULONG compressionChanged; // apply compression settings at the next update
    ULONG roiChanged;         // apply the image window at the next update
    ULONG frameRateStep;      // sequence steps: 0 idle, 1..5
    ULONG frameRateDue;       // and the driver time each step is due
    ULONG brightnessStep;
    ULONG brightnessDue;
    ULONG backlitStep;
    ULONG backlitDue;
    ULONG startTime; // driver time of the last Camera_Start
    ULONG started;   // 1 from Camera_Start to Camera_Stop
    ULONG compressionOn;
    ULONG flickerMax;       // "FlickerMax"
    ULONG flickerExp;       // "FlickerExp"
    ULONG cameraBrightness; // 0..100 as sent to the camera
    ULONG brightnessTarget; // 0..100 that the brightness sequence aims at
    ULONG useOldBrightness; // "UseOldBrightness": direct brightness control
    ULONG buttonCheck;      // push-button polling on
    ULONG buttonDown;       // seen pressed at the last poll
    ULONG buttonPressed;    // latched press, cleared when read
    ULONG portsValid;       // the cached port bytes may be reused
    ULONG portsReadTime;
    UCHAR ports[4];  // the camera's four port bytes as last read
    UCHAR darkCount; // automatic frame rate counters
    UCHAR darkerCount;
    UCHAR brightCount;
    UCHAR brighterCount;
    ULONG exposureModeNow; // last commanded: 2 automatic, 3 fixed
    ULONG acbModeNow;
    ULONG baseCompR; // base colour compensations, one byte each
    ULONG baseCompG1;
    ULONG baseCompG2;
    ULONG baseCompB;
    USHORT apCor; // "ApCor", "GamCor", "Offset"; 0xFFFF = not configured
    USHORT gamCor;
    USHORT vlOffset;
    EXTNS_EXCLUDER cameraLock; // serialises camera control
};

// ---- Record and capture run ------------------------------------------------------
ULONG Camera_Initialise(DEVICE_EXTENSION *device);
void Camera_Terminate(DEVICE_EXTENSION *device);
ULONG Camera_Start(DEVICE_EXTENSION *device, ULONG width, ULONG height);
ULONG Camera_Stop(DEVICE_EXTENSION *device);
// fullFrame (in/out): 1 asks for an uncompressed frame; set to 1 when the next
// frame must be uncompressed.
ULONG Camera_Update(DEVICE_EXTENSION *device, ULONG *fullFrame);
ULONG Camera_Capture(DEVICE_EXTENSION *device);
// Every 100 ms from the capture watchdog; never blocks.
void Camera_WatchdogTimer(DEVICE_EXTENSION *device, ULONG time);
ULONG Camera_SetSpeed(DEVICE_EXTENSION *device, ULONG index, ULONG automatic);
ULONG Camera_GetSpeed(DEVICE_EXTENSION *device, ULONG *index, ULONG *automatic);
ULONG Camera_GetFwVersion(DEVICE_EXTENSION *device, ULONG *version);
ULONG Camera_GetSensorVersion(DEVICE_EXTENSION *device, ULONG *code);
// The status check after a command; the caller holds cameraLock.
ULONG CamSup_CheckStatus(DEVICE_EXTENSION *device);
// Chooses the sensor format and window and sends them; the caller holds
// cameraLock. Without the window flag the image is centred and the chosen
// position is stored back through left and top.
ULONG CamSup_SetImageRoiAndSize(DEVICE_EXTENSION *device, ULONG width, ULONG height, ULONG *left, ULONG *top,
                                ULONG window);

// ---- Settings ----------------------------------------------------------------------
ULONG Camera_SetColourParams(DEVICE_EXTENSION *device, ULONG brightness, ULONG contrast, ULONG saturation);
ULONG Camera_SetROI(DEVICE_EXTENSION *device, ULONG window, ULONG top, ULONG left);
ULONG Camera_GetROI(DEVICE_EXTENSION *device, ULONG *window, ULONG *top, ULONG *left, ULONG *bottom,
                    ULONG *right);
ULONG Camera_SetFlicker(DEVICE_EXTENSION *device, ULONG flicker, ULONG mains);
ULONG Camera_SetBacklit(DEVICE_EXTENSION *device, ULONG backlit);
ULONG Camera_GetACB(DEVICE_EXTENSION *device, UCHAR *red, UCHAR *green, UCHAR *blue);
ULONG Camera_SetACB(DEVICE_EXTENSION *device, ULONG mode, ULONG red, ULONG green, ULONG blue);
ULONG Camera_GetExposure(DEVICE_EXTENSION *device, USHORT *coarse, UCHAR *fine, UCHAR *gain);
ULONG Camera_SetExposure(DEVICE_EXTENSION *device, ULONG mode, ULONG coarse, ULONG fine, ULONG gain);
ULONG Camera_SetGainCeiling(DEVICE_EXTENSION *device, ULONG ceiling);
ULONG Camera_SetBaseComps(DEVICE_EXTENSION *device, ULONG red, ULONG green1, ULONG green2, ULONG blue);
// Rows pack three coefficients each: c1 in bits 16..23, c2 in 8..15, c3 in 0..7.
ULONG Camera_SetMatrix(DEVICE_EXTENSION *device, ULONG row1, ULONG row2, ULONG row3);
ULONG Camera_GetSensorMatrix(DEVICE_EXTENSION *device, ULONG sensorCode, UCHAR *matrix);
ULONG Camera_GetGPIO(DEVICE_EXTENSION *device, ULONG *value);
ULONG Camera_SetGPIO(DEVICE_EXTENSION *device, ULONG value);
void Camera_ButtonCheckSet(DEVICE_EXTENSION *device, ULONG on);
ULONG Camera_ButtonCheckGet(DEVICE_EXTENSION *device);
void Camera_ButtonStateSet(DEVICE_EXTENSION *device, ULONG value);
ULONG Camera_ButtonStateGet(DEVICE_EXTENSION *device);
ULONG Camera_ButtonCurrentStateGet(DEVICE_EXTENSION *device);
ULONG Camera_SerialStart(DEVICE_EXTENSION *device);
ULONG Camera_SerialStop(DEVICE_EXTENSION *device);
ULONG Camera_SerialWrite(DEVICE_EXTENSION *device, ULONG byte);
ULONG Camera_SerialRead(DEVICE_EXTENSION *device, ULONG value, UCHAR *byte);

// ---- Exposure and flicker support (the caller holds cameraLock) ----------------------
ULONG CamSup_DisableAuto(DEVICE_EXTENSION *device);
ULONG CamSup_EnableAuto(DEVICE_EXTENSION *device);
// coarse 0xFFFF, fine 0xFF and gain 0xFF keep the camera's current values.
ULONG CamSup_Flicker(DEVICE_EXTENSION *device, ULONG flicker, ULONG mains, ULONG oldIndex, ULONG newIndex,
                     ULONG brightness, ULONG flickerExp, ULONG flickerMax, ULONG coarse, ULONG fine,
                     ULONG gain);
ULONG CamSup_GetExpFromFlicker(DEVICE_EXTENSION *device, USHORT *coarse, UCHAR *fine, UCHAR *gain);
ULONG CamSup_FlickerAdjustBrightness(DEVICE_EXTENSION *device, ULONG flicker, ULONG brightness,
                                     ULONG flickerExp, ULONG flickerMax, ULONG index, ULONG mains);

// ---- Background step and automatic frame rate -----------------------------------------
// The worker routine behind Entry_CameraBackground; worker is the worker record.
void Camera_BackgroundThread(EXTNS_WORKER *worker);
// About every 2 s while the camera runs: follows the light with the frame rate.
void Camera_AutoFrameRate(DEVICE_EXTENSION *device);

// ---- Compression ------------------------------------------------------------------------
ULONG Camera_SetCompression(DEVICE_EXTENSION *device, ULONG conference, ULONG confValue, ULONG capValue);
ULONG Camera_CompressionEnabled(DEVICE_EXTENSION *device);
ULONG CamSup_EnableCompression(DEVICE_EXTENSION *device, ULONG *compressionOn, ULONG target1, ULONG target2,
                               ULONG target3, ULONG decimation);
ULONG CamSup_DisableCompression(DEVICE_EXTENSION *device, ULONG *compressionOn);
