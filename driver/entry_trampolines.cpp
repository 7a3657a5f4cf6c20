// Entry trampolines: the worker routines and the USB completion routine that
// the kernel calls back, each handing its worker record (or IRP) on to the
// module that does the work.
#include "driver/entry.h"

#include "camera/camera.h"
#include "driver/device.h"

// Each trampoline joins this file with the module it calls: Entry_FrameDataAvailable
// (Frame_DataAvailableThread), Entry_FrameRequest (Frame_RequestThread) and
// Entry_StreamEmptyFrame (Extns_Worker_Destroy, then Stream_FrameAvailable with no
// frame) with frame assembly and the video stream object; Entry_TransferCrisis
// (Transfer_Crisis) and Entry_USBCallback (Transfer_USBCallback, the device object
// ignored) with the isochronous transfer; Entry_CaptureRetry and Entry_CaptureAutoFR
// (Capture_RetryThread, Capture_AutoFRThread) with capture control.

void Entry_CameraBackground(PVOID parameter)
{
    Camera_BackgroundThread(static_cast<EXTNS_WORKER *>(parameter));
}

void Entry_DeviceTenSeconds(PVOID parameter)
{
    Device_TenSecondsThread(static_cast<EXTNS_WORKER *>(parameter));
}
