// The video capture stream as the port library sees it: stream information,
// open and close, the state machine that starts and stops the frame pipeline,
// format proposal and change, and the read requests that wait in a per-stream
// pending queue until frame assembly offers a decoded frame.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/port/stream_class.h"

struct DEVICE_EXTENSION;
struct EXTNS_WORKER;

// Per open instance: replaces the port's HwStreamExtension from open to close.
// The record keeps the size of its 32-bit layout (44 bytes); the words after
// the three fields are unused.
struct STREAM_EXTENSION {
    HW_STREAM_OBJECT *streamObject; // back pointer
    LONG state;                     // KSSTATE; read by frame delivery on other threads (interlocked)
    HANDLE masterClock;             // from SRB_INDICATE_MASTER_CLOCK; kept, not used
    ULONG unused[8];
};

// Device initialise and uninitialise.
NTSTATUS Stream_Initialise(DEVICE_EXTENSION *device);
void Stream_Terminate(DEVICE_EXTENSION *device);

// Bytes of what SRB_GET_STREAM_INFO fills: the header and one stream
// information per stream.
ULONG Stream_DescriptorSize();

// Device requests.
void Stream_GetInfo(HW_STREAM_REQUEST_BLOCK *srb);
void Stream_InitialiseComplete(HW_STREAM_REQUEST_BLOCK *srb);
void Stream_Open(HW_STREAM_REQUEST_BLOCK *srb);
void Stream_Close(HW_STREAM_REQUEST_BLOCK *srb);

// Stream control requests.
void Stream_SetState(HW_STREAM_REQUEST_BLOCK *srb);
void Stream_GetState(HW_STREAM_REQUEST_BLOCK *srb);
void Stream_SetClock(HW_STREAM_REQUEST_BLOCK *srb);
void Stream_ProposeDataFormat(HW_STREAM_REQUEST_BLOCK *srb);
void Stream_SetDataFormat(HW_STREAM_REQUEST_BLOCK *srb);

// Stream data request SRB_READ_DATA.
void Stream_ReadFrame(HW_STREAM_REQUEST_BLOCK *srb);
// Cancel of a pending read: unlinked, completed with STATUS_TIMEOUT. queued: 1
// when the caller already unlinked it from an arrival queue. A read found in no
// queue is left to the path handling it.
void Stream_CancelFrameRequest(HW_STREAM_REQUEST_BLOCK *srb, ULONG queued);

// Frame assembly offers a decoded frame (or, from the filler worker, none):
// the oldest read of each running stream gets it. 1 when the frame was used,
// 0 when no read took it, so that frame assembly can hold on to it.
ULONG Stream_FrameAvailable(DEVICE_EXTENSION *device, PVOID frame, ULONG length);
// 1 when some stream not in STOP has a read waiting; also marks the time.
ULONG Stream_RequestsQueued(DEVICE_EXTENSION *device);

// Every 100 ms from the timer, at dispatch level: the frame watchdogs, then a
// filler frame when no frame has come for 2.5 s while the pipeline runs.
void Stream_WatchdogTimer(DEVICE_EXTENSION *device, ULONG driverTime);
