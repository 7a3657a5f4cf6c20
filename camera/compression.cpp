// Compression control: the application's compression values turned into the
// camera's three compression targets, and the switching of compression in the
// camera, which camera control's update decides around every frame.

#include "camera/camera.h"

#include "camera/camera_private.h"
#include "link/zirc.h"

// The strongest capture compression the camera handles well.
static const ULONG mCaptureTargetMax = 28;
// The value that asks for decimation on a full-size image.
static const ULONG mDecimationValue = 10;

ULONG Camera_SetCompression(DEVICE_EXTENSION *device, ULONG conference, ULONG confValue, ULONG capValue)
{
    CAMERA_RECORD &c = device->camera;
    if (!mLockStarted(device, "Camera_SetCompression"))
        return 0;

    // Value 1 means no compression; the other targets are kept as they were.
    if (conference != 0) {
        if (confValue == 1) {
            WriteNoFence(&c.compTarget2, 0);
        } else {
            c.compTarget1 = 1;
            WriteNoFence(&c.compTarget2, 12);
            c.compTarget3 = confValue < 4 ? 2 * confValue : (confValue - 1) * (confValue - 1);
        }
    } else {
        if (capValue == 1) {
            WriteNoFence(&c.compTarget2, 0);
        } else {
            c.compTarget3 = 64;
            c.compTarget1 = 1;
            ULONG target = capValue == 2 ? 6 : 4 * capValue;
            WriteNoFence(&c.compTarget2, target > mCaptureTargetMax ? mCaptureTargetMax : target);
        }
    }

    ULONG inForce = conference != 0 ? confValue : capValue;
    c.compDecimation = (inForce == mDecimationValue && c.imageWidth > 176 && c.imageHeight > 144) ? 1 : 0;
    c.compressionChanged = 1;
    Extns_Excluder_Release(&c.cameraLock);
    return 1;
}

ULONG Camera_CompressionEnabled(DEVICE_EXTENSION *device)
{
    // Capture control asks without the camera lock, which property sets hold.
    return ReadNoFence(&device->camera.compTarget2) != 0 ? 1 : 0;
}

ULONG CamSup_EnableCompression(DEVICE_EXTENSION *device, ULONG *compressionOn, ULONG target1, ULONG target2,
                               ULONG target3, ULONG decimation)
{
    if (ReadNoFence(compressionOn) != 0)
        return 1;
    ULONG result = 1;
    if (target2 != 0) {
        result &=
            mCommand(device, [&] { return ZIRC_SetCompressionTarget(device, target1, target2, target3); });
        result &= mCommand(device, [&] { return ZIRC_SetCompression(device, 1, decimation); });
        // On only when the camera took both: otherwise the next update retries.
        if (result)
            WriteNoFence(compressionOn, 1);
    } else {
        result &= mCommand(device, [&] { return CamSup_DisableCompression(device, compressionOn); });
    }
    return result;
}

ULONG CamSup_DisableCompression(DEVICE_EXTENSION *device, ULONG *compressionOn)
{
    if (ReadNoFence(compressionOn) == 0)
        return 1;
    ULONG result = mCommand(device, [&] { return ZIRC_SetCompression(device, 0, 0); });
    if (result)
        WriteNoFence(compressionOn, 0);
    return result;
}
