// Frame pacing for paced clients: decides, each time a decoded frame is ready
// and a paced read waits, whether to deliver the frame now or hold it, so the
// client gets frames close to its interval without drifting.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/port/stream_class.h"

struct DEVICE_EXTENSION;

// Forgets the pacing state (stream initialise, every change to RUN); the
// second argument is unused and passed as 0.
// The accurate clock: milliseconds of the system clock (the quotient of the
// 100-ns system time, truncated to its low 32 bits, compared unsigned). Frame
// pacing and capture control's grab and delivery times both run on it.
ULONG mGetMSAccurateTime();

void StreamTime_VfWStreamReset(DEVICE_EXTENSION *device, ULONG unused);
// 1: deliver the frame to this read now; 0: hold it.
ULONG StreamTime_VfWStreamTiming(DEVICE_EXTENSION *device, HW_STREAM_REQUEST_BLOCK *srb);
// 1 for a read from a paced client (a record with a non-zero interval word).
ULONG StreamTime_StreamMode(DEVICE_EXTENSION *device, HW_STREAM_REQUEST_BLOCK *srb);
// Marks the paced client's record once a frame went to this read.
void StreamTime_VfWStreamFrameDone(DEVICE_EXTENSION *device, HW_STREAM_REQUEST_BLOCK *srb);
