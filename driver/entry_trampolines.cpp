// Entry trampolines: the worker routines and the USB completion routine that
// the kernel calls back, each handing its worker record (or IRP) on to the
// module that does the work.
#include "driver/entry.h"

#include "camera/camera.h"
#include "driver/device.h"
#include "driver/extns.h"
#include "driver/stream.h"

// The video transport's
// trampolines (Entry_USBCallback, Entry_TransferCrisis, Entry_FrameDataAvailable,
// Entry_FrameRequest, Entry_CaptureRetry, Entry_CaptureAutoFR) are in
// entry_transport.cpp.

void Entry_CameraBackground(PVOID parameter)
{
    Camera_BackgroundThread(static_cast<EXTNS_WORKER *>(parameter));
}

void Entry_DeviceTenSeconds(PVOID parameter)
{
    Device_TenSecondsThread(static_cast<EXTNS_WORKER *>(parameter));
}

void Entry_StreamEmptyFrame(PVOID parameter)
{
    PVOID context;
    ULONG_PTR value1;
    ULONG_PTR value2;
    Extns_Worker_Destroy(static_cast<EXTNS_WORKER *>(parameter), &context, &value1, &value2);
    Stream_FrameAvailable(static_cast<DEVICE_EXTENSION *>(context), nullptr, static_cast<ULONG>(value2));
}
