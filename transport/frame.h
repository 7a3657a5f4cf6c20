// Frame assembly: the video transport's face towards the stream. Turns each raw
// camera frame from the transfer into a decoded (and, above 352 x 288, doubled)
// frame for waiting reads, keeps the last image for compressed frames, and
// tells capture control when frames were uploaded and processed.
#pragma once

#include "platform/kernel/kernel.h"

struct DEVICE_EXTENSION;
struct EXTNS_WORKER;

// The largest camera image; larger outputs are decoded at half size and doubled.
constexpr ULONG FRAME_CAMERA_MAX_WIDTH = 352;
constexpr ULONG FRAME_CAMERA_MAX_HEIGHT = 288;

NTSTATUS Frame_Initialise(DEVICE_EXTENSION *device);
NTSTATUS Frame_Terminate(DEVICE_EXTENSION *device);
// formatIndex of the video stream; width x height of the output image.
NTSTATUS Frame_Start(DEVICE_EXTENSION *device, ULONG formatIndex, ULONG width, ULONG height);
NTSTATUS Frame_Stop(DEVICE_EXTENSION *device);
// A read request was queued: 1 if the work item that tells capture control
// could be queued, else 0.
ULONG Frame_Request(DEVICE_EXTENSION *device);
void Frame_RequestThread(EXTNS_WORKER *worker);
// 1 if a held frame of exactly size bytes was copied into destination; never
// waits more than 1 ms.
ULONG Frame_BufferAvailable(DEVICE_EXTENSION *device, PVOID destination, ULONG size);
// From the transfer's completion routine (dispatch level): one complete raw
// frame in buffer, whose capacity is size.
void Frame_DataAvailable(DEVICE_EXTENSION *device, PVOID buffer, ULONG size);
void Frame_DataAvailableThread(EXTNS_WORKER *worker);
// Warning codes 0 to 4 of the transfer; dispatch level.
void Frame_DataErrorWarning(DEVICE_EXTENSION *device, ULONG warning);
// Every 100 ms with the driver time; never blocks.
void Frame_WatchdogTimer(DEVICE_EXTENSION *device, ULONG now);
