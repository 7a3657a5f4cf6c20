// The device object: the device-level requests (initialise, uninitialise, power
// state, property requests routed by set and id to the property manager) and the device watchdog, whose
// only job is a one-time maintenance action ten seconds after start.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/port/stream_class.h"

struct DEVICE_EXTENSION;
struct EXTNS_WORKER;

// SRB_INITIALIZE_DEVICE: settings loaded, stream, frame pipeline and camera
// brought up, the 100-ms timer started. SRB_UNINITIALIZE_DEVICE: the timer
// stopped, pending reads ended, everything torn down, settings saved.
void Device_Initialise(HW_STREAM_REQUEST_BLOCK *srb);
void Device_UnInitialise(HW_STREAM_REQUEST_BLOCK *srb);

// SRB_CHANGE_POWER_STATE: refused with STATUS_NOT_IMPLEMENTED.
void Device_ChangePowerState(HW_STREAM_REQUEST_BLOCK *srb);

// SRB_GET_DEVICE_PROPERTY and SRB_SET_DEVICE_PROPERTY: a request for an
// answered id with a whole 40-byte buffer reaches its handler and answers 40
// bytes; an unanswered id of either set answers STATUS_NOT_IMPLEMENTED with 0
// bytes; another set or a shorter buffer answers success with 0 bytes.
void Device_GetProperty(HW_STREAM_REQUEST_BLOCK *srb);
void Device_SetProperty(HW_STREAM_REQUEST_BLOCK *srb);

// Every timer tick, with the driver time in ms: at exactly 10,000 a worker runs
// the ten-second action. Only creates a worker: callable at dispatch level.
void Device_WatchdogTimer(DEVICE_EXTENSION *device, ULONG driverTime);

// The ten-second action: with "PUEnumFix" non-zero the camera's hardware
// enumeration key is deleted.
void Device_TenSecondsThread(EXTNS_WORKER *worker);
