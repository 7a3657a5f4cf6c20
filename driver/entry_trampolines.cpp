// Entry trampolines: the worker routines and the USB completion routine that
// the kernel calls back, each handing its worker record (or IRP) on to the
// module that does the work.
#include "driver/entry.h"

#include "camera/camera.h"
#include "driver/device.h"

// Entry_StreamEmptyFrame (Extns_Worker_Destroy, then Stream_FrameAvailable with no
// frame) joins this file with the video stream object. The video transport's
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
