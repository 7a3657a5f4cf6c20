// Entry trampolines of the video transport: the isochronous completion routine
// and the transport's worker routines, each handing its IRP or worker record
// on to the module that does the work. Kept in their own unit, apart from the
// other trampolines, so that a program that links the driver without the video
// stream (which frame assembly calls) does not pull the transport in.
#include "driver/entry.h"

#include "driver/extns.h"
#include "transport/capture.h"
#include "transport/frame.h"
#include "transport/transfer.h"

NTSTATUS Entry_USBCallback(DEVICE_OBJECT *deviceObject, IRP *irp, PVOID context)
{
    (void)deviceObject;
    return Transfer_USBCallback(irp, context);
}

void Entry_TransferCrisis(PVOID parameter)
{
    Transfer_Crisis(static_cast<EXTNS_WORKER *>(parameter));
}

void Entry_FrameDataAvailable(PVOID parameter)
{
    Frame_DataAvailableThread(static_cast<EXTNS_WORKER *>(parameter));
}

void Entry_FrameRequest(PVOID parameter)
{
    Frame_RequestThread(static_cast<EXTNS_WORKER *>(parameter));
}

void Entry_CaptureRetry(PVOID parameter)
{
    Capture_RetryThread(static_cast<EXTNS_WORKER *>(parameter));
}

void Entry_CaptureAutoFR(PVOID parameter)
{
    Capture_AutoFRThread(static_cast<EXTNS_WORKER *>(parameter));
}
