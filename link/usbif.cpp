// The USB interface: every request goes to the camera's physical device object
// as an internal device-control IRP carrying one URB. Synchronous requests
// wait at most one second; the isochronous requests complete through the
// caller's completion routine.
#include "link/usbif.h"

#include <cstddef>
#include <cstring>

#include "driver/device_extension.h"
#include "driver/extns.h"

// The wait of a synchronous request, in 100-ns units (relative): one second.
static constexpr LONGLONG USBIF_SYNC_TIMEOUT = -10000000;
// Every pipe's transfer size limit at selection.
static constexpr ULONG USBIF_MAX_TRANSFER_SIZE = 0x10000;
// The first read of the configuration descriptor: its fixed part.
static constexpr ULONG USBIF_CONFIG_HEADER_BYTES = 9;
// Alternate settings are numbered by a byte.
static constexpr ULONG USBIF_MAX_ALTERNATE = 255;
// The most packets one isochronous request may carry.
static constexpr ULONG USBIF_MAX_ISO_PACKETS = 1024;

static PVOID mAllocate(size_t bytes)
{
    return ExAllocatePoolWithTag(NonPagedPool, bytes, EXTNS_POOL_TAG);
}

// The device-halted flag is set by any synchronous request, and pipe requests
// run outside the request lock: it is written and read interlocked.
static LONG volatile *mHaltedFlag(DEVICE_EXTENSION *device)
{
    return reinterpret_cast<LONG volatile *>(&device->usbDeviceHalted);
}

// Completion of a synchronous request: reports into the caller's status block
// and signals its event, and keeps the IRP from being freed by the I/O
// manager. The caller frees it after its wait, so a cancel after a time-out
// always reaches this request and never an IRP that has already gone (or
// another request that has since been given the same memory).
static NTSTATUS mSyncCompletion(DEVICE_OBJECT *, IRP *irp, PVOID context)
{
    *irp->UserIosb = irp->IoStatus;
    KeSetEvent(static_cast<KEVENT *>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one URB and waits for it. The event lives in pool and the status block
// on this stack; both must stay valid until the bus completes the IRP. When the
// wait ends without completion the IRP is cancelled and its completion awaited
// (the bus completes a cancelled request at once), so nothing the bus still
// references is released early. Such a request reports STATUS_UNSUCCESSFUL,
// and its USBD status (cancelled) is not taken as a halted endpoint: the
// endpoint did not halt, the host gave up on it.
static NTSTATUS mServiceURB(DEVICE_EXTENSION *device, URB *urb)
{
    auto *event = static_cast<KEVENT *>(mAllocate(sizeof(KEVENT)));
    if (event == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeEvent(event, NotificationEvent, FALSE);

    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = STATUS_UNSUCCESSFUL;
    ioStatus.Information = 0;

    IRP *irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, device->usbPhysicalDeviceObject,
                                             nullptr, 0, nullptr, 0, TRUE, event, &ioStatus);
    if (irp == nullptr) {
        ExFreePool(event);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, mSyncCompletion, event, TRUE, TRUE, TRUE);

    ULONG timedOut = 0;
    NTSTATUS status = IofCallDriver(device->usbPhysicalDeviceObject, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = USBIF_SYNC_TIMEOUT;
        status = KeWaitForSingleObject(event, Suspended, KernelMode, FALSE, &timeout);
        if (status != STATUS_SUCCESS) {
            timedOut = 1;
            IoCancelIrp(irp);
            KeWaitForSingleObject(event, Suspended, KernelMode, FALSE, nullptr);
        }
    }
    IoFreeIrp(irp);

    NTSTATUS result;
    if (timedOut) {
        result = STATUS_UNSUCCESSFUL;
    } else {
        if ((!NT_SUCCESS(status) || !NT_SUCCESS(ioStatus.Status)) && USBD_HALTED(urb->UrbHeader.UsbdStatus))
            InterlockedExchange(mHaltedFlag(device), 1);
        result = !NT_SUCCESS(status) ? status : ioStatus.Status;
    }
    ExFreePool(event);
    return result;
}

static void mBuildDescriptorRequest(URB *urb, PVOID buffer, ULONG length)
{
    std::memset(static_cast<void *>(urb), 0, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
    urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    urb->UrbControlDescriptorRequest.DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    urb->UrbControlDescriptorRequest.Index = 0;
    urb->UrbControlDescriptorRequest.LanguageId = 0;
    urb->UrbControlDescriptorRequest.TransferBuffer = buffer;
    urb->UrbControlDescriptorRequest.TransferBufferLength = length;
}

static NTSTATUS mGetConfigurationDescriptor(DEVICE_EXTENSION *device,
                                            USB_CONFIGURATION_DESCRIPTOR **descriptor)
{
    *descriptor = nullptr;
    auto *urb = static_cast<URB *>(mAllocate(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)));
    auto *buffer = static_cast<UCHAR *>(mAllocate(USBIF_CONFIG_HEADER_BYTES));
    if (urb == nullptr || buffer == nullptr) {
        if (urb != nullptr)
            ExFreePool(urb);
        if (buffer != nullptr)
            ExFreePool(buffer);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(buffer, 0, USBIF_CONFIG_HEADER_BYTES);
    ULONG size = USBIF_CONFIG_HEADER_BYTES;
    mBuildDescriptorRequest(urb, buffer, size);
    NTSTATUS status = mServiceURB(device, urb);

    ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
    if (NT_SUCCESS(status) && received > 0 &&
        reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR *>(buffer)->wTotalLength > 4) {
        size = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR *>(buffer)->wTotalLength;
        ExFreePool(buffer);
        buffer = static_cast<UCHAR *>(mAllocate(size));
        if (buffer == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            std::memset(buffer, 0, size);
            mBuildDescriptorRequest(urb, buffer, size);
            status = mServiceURB(device, urb);
            received = urb->UrbControlDescriptorRequest.TransferBufferLength;
        }
    }
    ExFreePool(urb);

    if (!NT_SUCCESS(status)) {
        if (buffer != nullptr)
            ExFreePool(buffer);
        return status;
    }
    // The descriptor is walked by its own wTotalLength later: never let that
    // reach past the bytes that actually arrived.
    auto *config = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR *>(buffer);
    ULONG valid = received < size ? received : size;
    if (config->wTotalLength > valid)
        config->wTotalLength = static_cast<USHORT>(valid);
    *descriptor = config;
    return status;
}

NTSTATUS USBIF_Initialise(DEVICE_EXTENSION *device)
{
    Extns_Excluder_Initialise(&device->usbRequestLock);
    HostVerifierNameLock(&device->usbRequestLock.event, "USB request lock");
    device->usbPhysicalDeviceObject = device->PhysicalDeviceObject;
    device->usbAlternateSetting = 0;

    NTSTATUS status = mGetConfigurationDescriptor(device, &device->usbConfigDescriptor);
    if (NT_SUCCESS(status)) {
        ULONG selected = 0;
        status = USBIF_SetBandwidth(device, 0, &selected);
    }
    InterlockedExchange(mHaltedFlag(device), 0);
    return status;
}

void USBIF_Terminate(DEVICE_EXTENSION *device)
{
    if (device->usbConfigDescriptor != nullptr) {
        ExFreePool(device->usbConfigDescriptor);
        device->usbConfigDescriptor = nullptr;
    }
    if (device->usbInterfaceInfo != nullptr) {
        ExFreePool(device->usbInterfaceInfo);
        device->usbInterfaceInfo = nullptr;
    }
}

// The video interface for an alternate setting: interface 1, else interface 0.
static USB_INTERFACE_DESCRIPTOR *mFindVideoInterface(USB_CONFIGURATION_DESCRIPTOR *config, LONG alternate)
{
    USB_INTERFACE_DESCRIPTOR *interface =
        USBD_ParseConfigurationDescriptorEx(config, config, 1, alternate, -1, -1, -1);
    if (interface == nullptr)
        interface = USBD_ParseConfigurationDescriptorEx(config, config, 0, alternate, -1, -1, -1);
    return interface;
}

// The bus fills the interface information from the device's own descriptors:
// its pipes must lie inside its Length, and its Length inside the URB, before
// it is copied or pipe 0 is read.
static ULONG mInterfaceInfoFits(const URB *urb, const USBD_INTERFACE_INFORMATION *info)
{
    const size_t offset = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    if (urb->UrbHeader.Length < offset)
        return 0;
    const size_t room = urb->UrbHeader.Length - offset;
    const size_t needed = offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
                          static_cast<size_t>(info->NumberOfPipes) * sizeof(USBD_PIPE_INFORMATION);
    return info->Length >= needed && info->Length <= room;
}

NTSTATUS USBIF_SetBandwidth(DEVICE_EXTENSION *device, ULONG requested, ULONG *selected)
{
    if (selected == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (device->usbConfigDescriptor == nullptr)
        return STATUS_UNSUCCESSFUL;
    Extns_Excluder_Acquire(&device->usbRequestLock, "USBIF_SetBandWidth");

    ULONG alt = requested > USBIF_MAX_ALTERNATE ? USBIF_MAX_ALTERNATE : requested;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    URB *urb = nullptr;
    for (;;) {
        USB_INTERFACE_DESCRIPTOR *interface =
            mFindVideoInterface(device->usbConfigDescriptor, static_cast<LONG>(alt));
        if (interface == nullptr) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            USBD_INTERFACE_LIST_ENTRY list[2];
            list[0].InterfaceDescriptor = interface;
            list[0].Interface = nullptr;
            list[1].InterfaceDescriptor = nullptr;
            list[1].Interface = nullptr;
            urb = USBD_CreateConfigurationRequestEx(device->usbConfigDescriptor, list);
            if (urb == nullptr) {
                Extns_Excluder_Release(&device->usbRequestLock);
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            USBD_INTERFACE_INFORMATION *info = list[0].Interface;
            for (ULONG i = 0; i < info->NumberOfPipes; ++i)
                info->Pipes[i].MaximumTransferSize = USBIF_MAX_TRANSFER_SIZE;
            status = mServiceURB(device, urb);
            if (NT_SUCCESS(status) && !mInterfaceInfoFits(urb, info))
                status = STATUS_UNSUCCESSFUL;
            if (NT_SUCCESS(status))
                break;
            ExFreePool(urb);
            urb = nullptr;
        }
        if (alt == 0)
            break;
        --alt;
    }

    if (NT_SUCCESS(status)) {
        USBD_INTERFACE_INFORMATION *info = &urb->UrbSelectConfiguration.Interface;
        *selected = alt;
        device->usbAlternateSetting = alt;
        device->usbConfigHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        if (device->usbInterfaceInfo != nullptr) {
            ExFreePool(device->usbInterfaceInfo);
            device->usbInterfaceInfo = nullptr;
        }
        auto *copy = static_cast<USBD_INTERFACE_INFORMATION *>(mAllocate(info->Length));
        if (copy == nullptr) {
            ExFreePool(urb);
            Extns_Excluder_Release(&device->usbRequestLock);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memcpy(copy, info, info->Length);
        device->usbInterfaceInfo = copy;
        ExFreePool(urb);
    } else if (device->usbInterfaceInfo != nullptr) {
        ExFreePool(device->usbInterfaceInfo);
        device->usbInterfaceInfo = nullptr;
    }
    Extns_Excluder_Release(&device->usbRequestLock);

    if (NT_SUCCESS(status) && requested != 0 && alt == 0)
        return STATUS_UNSUCCESSFUL;
    return status;
}

NTSTATUS USBIF_GetBandwidth(DEVICE_EXTENSION *device, ULONG *setting)
{
    if (setting == nullptr)
        return STATUS_INVALID_PARAMETER;
    *setting = device->usbAlternateSetting;
    return STATUS_SUCCESS;
}

NTSTATUS USBIF_VendorDeviceRequest(DEVICE_EXTENSION *device, ULONG direction, UCHAR request, USHORT value,
                                   USHORT index, PVOID buffer, ULONG length)
{
    Extns_Excluder_Acquire(&device->usbRequestLock, "USBIF_VendorDeviceRequest");
    auto *urb = static_cast<URB *>(mAllocate(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)));
    if (urb == nullptr) {
        Extns_Excluder_Release(&device->usbRequestLock);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(static_cast<void *>(urb), 0, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    urb->UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
    urb->UrbHeader.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    auto &vendor = urb->UrbControlVendorClassRequest;
    vendor.TransferFlags = direction != 0 ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : 0;
    vendor.TransferBufferLength = length;
    vendor.TransferBuffer = buffer;
    vendor.TransferBufferMDL = nullptr;
    vendor.UrbLink = nullptr;
    vendor.RequestTypeReservedBits = 0;
    vendor.Request = request;
    vendor.Value = value;
    vendor.Index = index;

    NTSTATUS status = mServiceURB(device, urb);
    ExFreePool(urb);
    Extns_Excluder_Release(&device->usbRequestLock);
    return status;
}

// Pipe 0 of the stored selection, or null when there is none.
static USBD_PIPE_INFORMATION *mIsoPipe(DEVICE_EXTENSION *device)
{
    USBD_INTERFACE_INFORMATION *info = device->usbInterfaceInfo;
    if (info == nullptr || info->NumberOfPipes == 0)
        return nullptr;
    return &info->Pipes[0];
}

static ULONG mInitialiseIsoUrb(URB *urb, ULONG packets, USBD_PIPE_INFORMATION *pipe, PVOID buffer)
{
    const size_t size = GET_ISO_URB_SIZE(packets);
    std::memset(static_cast<void *>(urb), 0, size);
    auto &iso = urb->UrbIsochronousTransfer;
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.Hdr.Length = static_cast<USHORT>(size);
    iso.PipeHandle = pipe->PipeHandle;
    iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;
    iso.TransferBuffer = buffer;
    iso.TransferBufferMDL = nullptr;
    iso.TransferBufferLength = pipe->MaximumPacketSize * packets;
    iso.StartFrame = 0;
    iso.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i)
        iso.IsoPacket[i].Offset = i * pipe->MaximumPacketSize;
    return 0;
}

NTSTATUS USBIF_SubmitISORequest(DEVICE_EXTENSION *device, ULONG packets, PIO_COMPLETION_ROUTINE routine,
                                EXTNS_CONTEXT *context, IRP *irp, URB *urb)
{
    USBD_PIPE_INFORMATION *pipe = mIsoPipe(device);
    if (pipe == nullptr || pipe->MaximumPacketSize == 0)
        return STATUS_UNSUCCESSFUL;
    if (packets == 0 || packets > USBIF_MAX_ISO_PACKETS || (irp != nullptr && urb == nullptr))
        return STATUS_INVALID_PARAMETER;

    ULONG created = 0;
    PVOID buffer = nullptr;
    if (irp == nullptr) {
        irp = IoAllocateIrp(device->usbPhysicalDeviceObject->StackSize, FALSE);
        urb = static_cast<URB *>(mAllocate(GET_ISO_URB_SIZE(packets)));
        buffer = mAllocate(static_cast<size_t>(packets) * pipe->MaximumPacketSize);
        if (irp == nullptr || urb == nullptr || buffer == nullptr) {
            if (irp != nullptr)
                IoFreeIrp(irp);
            if (urb != nullptr)
                ExFreePool(urb);
            if (buffer != nullptr)
                ExFreePool(buffer);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        created = 1;
    } else {
        // The URB and its buffer were sized for the first submission: a
        // resubmission may not ask for more (a larger packet size after a new
        // selection needs new requests).
        auto &old = urb->UrbIsochronousTransfer;
        if (packets > old.NumberOfPackets || pipe->MaximumPacketSize * packets > old.TransferBufferLength)
            return STATUS_INVALID_PARAMETER;
        buffer = old.TransferBuffer;
    }

    if (context != nullptr) {
        Extns_Context_Write(context, reinterpret_cast<ULONG_PTR>(device), reinterpret_cast<ULONG_PTR>(urb));
    } else {
        Extns_Context_Create(&context, reinterpret_cast<ULONG_PTR>(device), reinterpret_cast<ULONG_PTR>(urb));
        if (context == nullptr) {
            if (created) {
                IoFreeIrp(irp);
                ExFreePool(urb);
                ExFreePool(buffer);
            }
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }

    mInitialiseIsoUrb(urb, packets, pipe, buffer);

    IO_STACK_LOCATION *next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
    return IofCallDriver(device->usbPhysicalDeviceObject, irp);
}

static NTSTATUS mPipeRequest(DEVICE_EXTENSION *device, USHORT function)
{
    USBD_PIPE_INFORMATION *pipe = mIsoPipe(device);
    if (pipe == nullptr)
        return STATUS_UNSUCCESSFUL;
    auto *urb = static_cast<URB *>(mAllocate(sizeof(_URB_PIPE_REQUEST)));
    if (urb == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(static_cast<void *>(urb), 0, sizeof(_URB_PIPE_REQUEST));
    urb->UrbHeader.Function = function;
    urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb->UrbPipeRequest.PipeHandle = pipe->PipeHandle;
    NTSTATUS status = mServiceURB(device, urb);
    ExFreePool(urb);
    return status;
}

NTSTATUS USBIF_IsoPipeAbort(DEVICE_EXTENSION *device)
{
    return mPipeRequest(device, URB_FUNCTION_ABORT_PIPE);
}

NTSTATUS USBIF_IsoPipeReset(DEVICE_EXTENSION *device)
{
    return mPipeRequest(device, URB_FUNCTION_RESET_PIPE);
}

ULONG USBIF_HasDeviceHalted(DEVICE_EXTENSION *device)
{
    return static_cast<ULONG>(InterlockedCompareExchange(mHaltedFlag(device), 0, 0));
}
