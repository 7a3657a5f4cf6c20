// The USB interface: the only code that talks to the USB bus driver. It reads
// the configuration descriptor, selects the video interface's alternate
// setting, sends vendor requests, submits isochronous requests on pipe 0 and
// aborts and resets that pipe.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/usb/usb.h"

struct DEVICE_EXTENSION;
struct EXTNS_CONTEXT;

NTSTATUS USBIF_Initialise(DEVICE_EXTENSION *device);
void USBIF_Terminate(DEVICE_EXTENSION *device);
// Selects the highest alternate setting not above requested that the device
// accepts; *selected receives it. A non-zero request that only setting 0
// satisfies returns STATUS_UNSUCCESSFUL.
NTSTATUS USBIF_SetBandwidth(DEVICE_EXTENSION *device, ULONG requested, ULONG *selected);
NTSTATUS USBIF_GetBandwidth(DEVICE_EXTENSION *device, ULONG *setting);
// direction non-zero: device to host. Synchronous, under the request lock.
NTSTATUS USBIF_VendorDeviceRequest(DEVICE_EXTENSION *device, ULONG direction, UCHAR request, USHORT value,
                                   USHORT index, PVOID buffer, ULONG length);
// First submission: irp and urb null (allocated here, with a transfer buffer of
// packets x the pipe's packet size). Resubmission: the same irp and urb. The
// context block (device, URB) is created when context is null, else rewritten.
NTSTATUS USBIF_SubmitISORequest(DEVICE_EXTENSION *device, ULONG packets, PIO_COMPLETION_ROUTINE routine,
                                EXTNS_CONTEXT *context, IRP *irp, URB *urb);
NTSTATUS USBIF_IsoPipeAbort(DEVICE_EXTENSION *device);
NTSTATUS USBIF_IsoPipeReset(DEVICE_EXTENSION *device);
ULONG USBIF_HasDeviceHalted(DEVICE_EXTENSION *device);
