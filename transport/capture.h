// Capture control: decides when the camera is asked for the next frame. One
// grab outstanding at a time, continuous or on-demand by how quickly frames
// are taken, a grab repeated after 500 ms without its frame, and the automatic
// frame rate every 2 s.
#pragma once

#include "platform/kernel/kernel.h"

struct DEVICE_EXTENSION;
struct EXTNS_WORKER;

constexpr ULONG CAPTURE_RETRY_MS = 500;
constexpr ULONG CAPTURE_AUTO_FR_MS = 2000;

NTSTATUS Capture_Initialise(DEVICE_EXTENSION *device);
NTSTATUS Capture_Terminate(DEVICE_EXTENSION *device);
// width x height: the camera image.
NTSTATUS Capture_Start(DEVICE_EXTENSION *device, ULONG width, ULONG height);
NTSTATUS Capture_Stop(DEVICE_EXTENSION *device);
// fullFrame points at frame assembly's full-frame flag, which camera control
// may set. The three frame-time operations run under the frame excluder.
NTSTATUS Capture_FrameRequested(DEVICE_EXTENSION *device, ULONG *fullFrame);
NTSTATUS Capture_FrameUploadComplete(DEVICE_EXTENSION *device, ULONG *fullFrame, ULONG upscale,
                                     ULONG willDecode, ULONG *nextGrabIssued);
NTSTATUS Capture_FrameProcessComplete(DEVICE_EXTENSION *device, ULONG delivered, ULONG requestsWaiting,
                                      ULONG nextGrabIssued);
// Every 100 ms with the driver time; never blocks.
void Capture_WatchdogTimer(DEVICE_EXTENSION *device, ULONG now);
void Capture_RetryThread(EXTNS_WORKER *worker);
void Capture_AutoFRThread(EXTNS_WORKER *worker);
