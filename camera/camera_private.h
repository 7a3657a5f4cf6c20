// What the files of camera control share among themselves and nobody else: the
// command rule, the compensation ordering and the sequence step routines.
#pragma once

#include "camera/camera.h"
#include "driver/device_extension.h"
#include "driver/entry.h"

// The command rule: issue the command, issue it once more if the camera did not
// carry it out, then check the camera's status. 1 only when one issue went
// through and the status was clean; the caller goes on with its next step
// either way. Support routines that report 0 are retried the same way.
template <class Send> inline ULONG mCommand(DEVICE_EXTENSION *device, Send send)
{
    ULONG sent = send();
    if (sent == 0)
        sent = send();
    ULONG status = CamSup_CheckStatus(device);
    return (sent != 0 && status != 0) ? 1 : 0;
}

// Takes cameraLock for an operation that needs a capture run: 1 with the lock
// held when the camera is started, else 0 with the lock released again.
inline ULONG mLockStarted(DEVICE_EXTENSION *device, const char *label)
{
    Extns_Excluder_Acquire(&device->camera.cameraLock, label);
    if (ReadNoFence(&device->camera.started) != 0)
        return 1;
    Extns_Excluder_Release(&device->camera.cameraLock);
    return 0;
}

// Compensation bytes are signed: byte b orders as (b + 128) mod 256.
inline ULONG mCompOrder(ULONG comp)
{
    return (comp + 128) & 0xFF;
}
inline ULONG MIN_COMP(ULONG a, ULONG b)
{
    return mCompOrder(a) <= mCompOrder(b) ? a : b;
}
inline ULONG MAX_COMP(ULONG a, ULONG b)
{
    return mCompOrder(a) >= mCompOrder(b) ? a : b;
}

// The frame period in ms of a frame-rate index; 132 (the slowest) for an index
// outside 1..5, which is what the waits use unless a step says otherwise.
ULONG mFramePeriod(ULONG index);

// The sensor clock (divisor, second argument) of a frame-rate index; an index
// outside 1..5 programs the sensor like index 1.
void mSensorClock(ULONG index, ULONG *divisor, ULONG *mode);

// Sequence steps; the caller holds cameraLock. Each returns 1 when it did
// nothing or everything went through.
ULONG mFrameRate(DEVICE_EXTENSION *device, ULONG *step);
ULONG mBrightness(DEVICE_EXTENSION *device, ULONG *step);
ULONG mBacklit(DEVICE_EXTENSION *device, ULONG *step);

// One step of the running sequence with the highest precedence (frame rate,
// then backlight, then brightness), each retried once on 0 and followed by a
// status check; the caller holds cameraLock. *result drops to 0 on failure.
// Returns 1 when the frame-rate sequence ran: no frame may be grabbed then.
ULONG mRunSequenceStep(DEVICE_EXTENSION *device, ULONG *result);
