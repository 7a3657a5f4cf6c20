// Isochronous transfer: keeps the camera's video pipe busy with a fixed number
// of requests while a stream runs, cuts the packet stream into raw frames in
// three preallocated buffers, and recovers from stalls with a crisis work item.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/usb/usb.h"

struct DEVICE_EXTENSION;
struct EXTNS_WORKER;

// Warning codes handed to frame assembly.
constexpr ULONG TRANSFER_WARNING_FAILED_REQUEST = 0;
constexpr ULONG TRANSFER_WARNING_FAILED_PACKET = 1;
constexpr ULONG TRANSFER_WARNING_OVERFLOW = 2;
constexpr ULONG TRANSFER_WARNING_NO_BUFFER = 3;
constexpr ULONG TRANSFER_WARNING_CRISIS = 4;

// Frame buffers allocated at each start.
constexpr ULONG TRANSFER_FRAME_BUFFERS = 3;
// A stream is stalled once this long passes without a good packet (driver ms).
constexpr ULONG TRANSFER_STALL_MS = 200;
// Crises in a row without a good packet before the transfer gives up.
constexpr ULONG TRANSFER_MAX_CRISES = 10;

// (2 x width + 3) x height + 324: every line at its longest plus the header,
// the end-of-frame marker and a margin.
constexpr ULONG Transfer_FrameBufferSize(ULONG width, ULONG height)
{
    return (2 * width + 3) * height + 324;
}

NTSTATUS Transfer_Initialise(DEVICE_EXTENSION *device);
void Transfer_Terminate(DEVICE_EXTENSION *device);
// width x height: the image the camera sends. 0, the bandwidth selection's
// failure, or STATUS_IO_DEVICE_ERROR when a request could not be submitted.
NTSTATUS Transfer_Start(DEVICE_EXTENSION *device, ULONG width, ULONG height);
NTSTATUS Transfer_Stop(DEVICE_EXTENSION *device);
// Completion of one isochronous request, at dispatch level; the IRPs are the
// driver's own, so always STATUS_MORE_PROCESSING_REQUIRED.
NTSTATUS Transfer_USBCallback(IRP *irp, PVOID context);
// Frame assembly gives a raw frame buffer back for filling.
void Transfer_ReturnBuffer(DEVICE_EXTENSION *device, PVOID buffer, ULONG size);
// Every 100 ms with the driver time; never blocks.
void Transfer_WatchdogTimer(DEVICE_EXTENSION *device, ULONG now);
// The recovery work item (through Entry_TransferCrisis).
void Transfer_Crisis(EXTNS_WORKER *worker);
