// Capture control. The camera sends a frame only when told to grab one; this
// module keeps exactly one grab outstanding. Continuous mode grabs again as
// soon as a frame is uploaded; on-demand mode grabs only when a read wants a
// frame. The mode follows how quickly frames are taken. The frame-time
// operations run in frame work items under the frame excluder; the watchdog
// (timer, dispatch level) and the retry and automatic frame rate work items run
// beside them, so every flag here is read and written with interlocked
// operations.

#include "transport/capture.h"

#include "camera/camera.h"
#include "driver/device_extension.h"
#include "driver/entry.h"
#include "driver/extns.h"
#include "driver/stream_time.h"

// Mode thresholds in ms between deliveries: (fast, slow) with compression on
// and off. A delivery within fast of the previous one makes the capture
// continuous; a gap of slow or more makes it on-demand.
constexpr ULONG kFastCompressed = 500;
constexpr ULONG kSlowCompressed = 1000;
constexpr ULONG kFastUncompressed = 400;
constexpr ULONG kSlowUncompressed = 600;

static ULONG mGet(ULONG *word)
{
    return static_cast<ULONG>(InterlockedCompareExchange(reinterpret_cast<LONG volatile *>(word), 0, 0));
}

static void mSet(ULONG *word, ULONG value)
{
    InterlockedExchange(reinterpret_cast<LONG volatile *>(word), static_cast<LONG>(value));
}

static void mGrabIssued(DEVICE_EXTENSION *device)
{
    mSet(&device->captureGrabOutstanding, 1);
    mSet(&device->captureGrabTime, mGetMSAccurateTime());
}

// Camera control applies its pending changes and sends the grab command.
static NTSTATUS mGrab(DEVICE_EXTENSION *device)
{
    NTSTATUS status = Camera_Capture(device) != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    mGrabIssued(device);
    return status;
}

NTSTATUS Capture_Initialise(DEVICE_EXTENSION *device)
{
    mSet(&device->captureGrabOutstanding, 0);
    mSet(&device->captureRetrying, 0);
    return Camera_Initialise(device) != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS Capture_Terminate(DEVICE_EXTENSION *device)
{
    Camera_Terminate(device);
    mSet(&device->captureGrabOutstanding, 0);
    return STATUS_SUCCESS;
}

NTSTATUS Capture_Start(DEVICE_EXTENSION *device, ULONG width, ULONG height)
{
    mSet(&device->captureRetrying, 0);
    mSet(&device->captureOnDemand, 0);
    NTSTATUS status = Camera_Start(device, width, height) != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status)) {
        ULONG fullFrame = 1; // the first frame is uncompressed
        Camera_Update(device, &fullFrame);
        Camera_Capture(device);
    }
    // Outstanding even after a failed start, so that the retry takes over.
    mGrabIssued(device);
    mSet(&device->captureNextAutoFRTime, Entry_GetDriverTime(device) + CAPTURE_AUTO_FR_MS);
    return status;
}

NTSTATUS Capture_Stop(DEVICE_EXTENSION *device)
{
    Camera_Stop(device);
    mSet(&device->captureGrabOutstanding, 0);
    return STATUS_SUCCESS;
}

NTSTATUS Capture_FrameRequested(DEVICE_EXTENSION *device, ULONG *fullFrame)
{
    if (mGet(&device->captureOnDemand) == 0 || mGet(&device->captureGrabOutstanding) != 0)
        return STATUS_SUCCESS;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (Camera_Update(device, fullFrame) != 0)
        status = Camera_Capture(device) != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    // Outstanding either way: a failed update is repeated by the retry.
    mGrabIssued(device);
    return status;
}

NTSTATUS Capture_FrameUploadComplete(DEVICE_EXTENSION *device, ULONG *fullFrame, ULONG upscale,
                                     ULONG willDecode, ULONG *nextGrabIssued)
{
    const ULONG retrying = mGet(&device->captureRetrying);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (!retrying && Camera_Update(device, fullFrame) != 0)
        status = STATUS_SUCCESS;
    if (upscale)
        mSet(&device->captureOnDemand, 1); // doubled streams always run on demand
    if (mGet(&device->captureRetryHappened) != 0) {
        mSet(&device->captureRetryHappened, 0);
        *fullFrame = 1;
    }

    const ULONG grabNow = !willDecode || mGet(&device->captureOnDemand) == 0 ||
                          (Camera_CompressionEnabled(device) != 0 && *fullFrame != 0);
    if (!retrying && grabNow) {
        if (NT_SUCCESS(status))
            status = Camera_Capture(device) != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
        *nextGrabIssued = 1;
        mGrabIssued(device);
    } else {
        *nextGrabIssued = 0;
        mSet(&device->captureGrabOutstanding, 0);
    }
    return status;
}

NTSTATUS Capture_FrameProcessComplete(DEVICE_EXTENSION *device, ULONG delivered, ULONG requestsWaiting,
                                      ULONG nextGrabIssued)
{
    const ULONG now = mGetMSAccurateTime();
    ULONG grabNow = 0;
    const ULONG onDemand = mGet(&device->captureOnDemand);
    if (mGet(&device->captureGrabOutstanding) == 0 && !nextGrabIssued)
        grabNow = onDemand ? requestsWaiting : 1;

    const ULONG elapsed = now - device->captureLastDeliveryTime;
    const ULONG compressed = Camera_CompressionEnabled(device) != 0;
    const ULONG fast = compressed ? kFastCompressed : kFastUncompressed;
    const ULONG slow = compressed ? kSlowCompressed : kSlowUncompressed;
    if (onDemand && delivered) {
        if (elapsed <= fast) {
            mSet(&device->captureOnDemand, 0);
            grabNow = 1;
        }
    } else if (elapsed >= slow) {
        mSet(&device->captureOnDemand, 1);
    }
    if (delivered)
        device->captureLastDeliveryTime = now;

    if (mGet(&device->captureRetrying) == 0 && grabNow)
        return mGrab(device);
    return STATUS_SUCCESS;
}

void Capture_WatchdogTimer(DEVICE_EXTENSION *device, ULONG now)
{
    if (mGet(&device->captureRetrying) != 0)
        return;
    Camera_WatchdogTimer(device, now);
    // The retry is queued once per 500 ms without a frame: the grab time moves
    // on when it is queued, so a retry still waiting in the work queue is not
    // queued a second time on the next tick.
    const ULONG accurate = mGetMSAccurateTime();
    if (mGet(&device->captureGrabOutstanding) != 0 &&
        accurate > mGet(&device->captureGrabTime) + CAPTURE_RETRY_MS) {
        mSet(&device->captureGrabTime, accurate);
        Extns_Worker_Create(device, 0, 0, Entry_CaptureRetry);
    }
    if (now > mGet(&device->captureNextAutoFRTime)) {
        Extns_Worker_Create(device, 0, 0, Entry_CaptureAutoFR);
        mSet(&device->captureNextAutoFRTime, now + CAPTURE_AUTO_FR_MS);
    }
}

void Capture_RetryThread(EXTNS_WORKER *worker)
{
    PVOID context = nullptr;
    ULONG_PTR unused1 = 0;
    ULONG_PTR unused2 = 0;
    Extns_Worker_Destroy(worker, &context, &unused1, &unused2);
    auto *device = static_cast<DEVICE_EXTENSION *>(context);
    // The retrying flag is the retry's own guard against running twice at once.
    if (InterlockedCompareExchange(reinterpret_cast<LONG volatile *>(&device->captureRetrying), 1, 0) != 0)
        return;
    mSet(&device->captureRetryHappened, 1);
    Camera_Capture(device);
    mSet(&device->captureGrabOutstanding, 1);
    mSet(&device->captureRetrying, 0);
    mSet(&device->captureGrabTime, mGetMSAccurateTime());
}

void Capture_AutoFRThread(EXTNS_WORKER *worker)
{
    PVOID context = nullptr;
    ULONG_PTR unused1 = 0;
    ULONG_PTR unused2 = 0;
    Extns_Worker_Destroy(worker, &context, &unused1, &unused2);
    auto *device = static_cast<DEVICE_EXTENSION *>(context);
    if (ReadNoFence(&device->camera.started) != 0)
        Camera_AutoFrameRate(device);
}
