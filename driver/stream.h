// The video stream object as frame assembly sees it.
#pragma once

#include "platform/kernel/kernel.h"

struct DEVICE_EXTENSION;

// Offers a decoded frame of size bytes: 1 if a waiting read request took it.
ULONG Stream_FrameAvailable(DEVICE_EXTENSION *device, PVOID image, ULONG size);
// Whether read requests wait for a frame.
ULONG Stream_RequestsQueued(DEVICE_EXTENSION *device);
