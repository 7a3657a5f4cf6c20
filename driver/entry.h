// Driver entry and request dispatch: registration, the three request queues and
// their drainers, the completion routines, the 100-ms timer with driver time,
// and the trampolines through which workers and USB completions reach their
// modules.
#pragma once

#include "platform/kernel/kernel.h"

struct DEVICE_EXTENSION;

// Driver time: the timer's tick count x 100, a 32-bit millisecond clock that
// advances in 100-ms steps from 0 at device initialise.
ULONG Entry_GetDriverTime(DEVICE_EXTENSION *device);
