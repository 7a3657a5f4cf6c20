// The device extension: the one zero-filled record per camera that the port
// library hands to every request and callback. Each group below belongs to one
// subsystem; the groups stay in this order.
#pragma once

#include "platform/kernel/kernel.h"
#include "settings/settings_record.h"

struct DEVICE_EXTENSION {
    // Physical device object: the device object below the driver, to which every
    // USB request goes. Owner: the device object (device initialise).

    // Request queues (device, stream control, stream data), timer running, tick
    // count. Owner: driver entry and request dispatch.
    ULONG timerRunning; // 1 while the timer reschedules itself; 0 asks it to stop
    ULONG tickCount;    // timer callbacks so far; driver time is tickCount x 100

    // Stream state: instance records, pending read queues, running count, open
    // count, format, last frame time. Owner: the video stream object.

    // Frame pacing state. Owner: stream timing.

    // USB interface state. Owner: the USB interface.

    // Message link state. Owner: the message link.

    // Settings record. Owner: the property manager.
    SETTINGS_RECORD settings;

    // Isochronous transfer state. Owner: isochronous transfer.

    // Frame assembly state. Owner: frame assembly.

    // Capture control state. Owner: capture control.

    // Camera control state, including the status-check flag `statusCheck`, which
    // lies directly after the physical device object. Owner: the camera record,
    // settings, exposure, background thread and compression modules.
};
