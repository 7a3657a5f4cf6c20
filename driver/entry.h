// Driver entry and request dispatch: registration, the three request queues and
// their drainers, the completion routines, the 100-ms timer with driver time,
// and the trampolines through which workers and USB completions reach their
// modules.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/port/stream_class.h"
#include "platform/usb/usb.h"

struct DEVICE_EXTENSION;

// Load: initialises the debug record and registers with the port library.
NTSTATUS DriverEntry(DRIVER_OBJECT *driverObject, UNICODE_STRING *registryPath);

// Stream request entry points, installed in each opened stream object.
void Entry_ReceiveStreamControlSRB(HW_STREAM_REQUEST_BLOCK *srb);
void Entry_ReceiveStreamDataSRB(HW_STREAM_REQUEST_BLOCK *srb);

// Every handler ends its request through one of these: the port takes over the
// status and byte count, then the request block and its link block are freed.
void Entry_CompleteDeviceSRB(HW_STREAM_REQUEST_BLOCK *srb);
void Entry_CompleteStreamSRB(HW_STREAM_REQUEST_BLOCK *srb);

// The 100-ms timer routine (context: the device extension), first scheduled by
// device initialise; it keeps rescheduling itself while timerRunning is 1.
void Entry_TimerCallback(PVOID context);

// Driver time: the timer's tick count x 100, a 32-bit millisecond clock that
// advances in 100-ms steps from 0 at device initialise.
ULONG Entry_GetDriverTime(DEVICE_EXTENSION *device);

// Worker routine of camera control's background step; parameter is the worker
// record, handed on to Camera_BackgroundThread.
void Entry_CameraBackground(PVOID parameter);
// Worker routine of the device watchdog's ten-second action; parameter is the
// worker record, handed on to Device_TenSecondsThread.
void Entry_DeviceTenSeconds(PVOID parameter);

// The video transport's routines. Entry_USBCallback is the completion routine
// of every isochronous request (the device object is ignored); the others are
// worker routines whose parameter, the worker record, goes on unchanged.
NTSTATUS Entry_USBCallback(DEVICE_OBJECT *deviceObject, IRP *irp, PVOID context);
void Entry_TransferCrisis(PVOID parameter);
void Entry_FrameDataAvailable(PVOID parameter);
void Entry_FrameRequest(PVOID parameter);
void Entry_CaptureRetry(PVOID parameter);
void Entry_CaptureAutoFR(PVOID parameter);

// Worker routine of the stream watchdog's filler frame: destroys its worker
// record, then offers the streams no frame.
void Entry_StreamEmptyFrame(PVOID parameter);
