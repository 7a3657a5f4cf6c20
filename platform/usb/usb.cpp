// The I/O manager's IRP routines and the USB configuration helpers, on the
// host pool. IRPs are pool blocks tagged "Irp "; a set of live IRPs lets
// IoCancelIrp tell an IRP that has just completed and gone from one still out.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/kernel/address_map.h"
#include "platform/kernel/kernel_internal.h"
#include "platform/usb/usb.h"

namespace {

// Guards every IRP's CancelRoutine and Cancel fields and the live set, like
// the kernel's cancel spin lock.
std::mutex gCancelMutex;
// Flat: a driver builds an IRP for every control transfer.
zm4::host::detail::AddressMap<bool> gLiveIrps;

IRP *allocateIrp(char stackSize)
{
    if (stackSize < 1)
        return nullptr;
    const size_t bytes = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    auto *irp = static_cast<IRP *>(ExAllocatePoolWithTag(NonPagedPool, bytes, IRP_POOL_TAG));
    if (irp == nullptr)
        return nullptr;
    std::memset(static_cast<void *>(irp), 0, bytes);
    irp->Size = static_cast<USHORT>(bytes);
    irp->Type = 6;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<char>(stackSize + 1);
    auto *locations = reinterpret_cast<IO_STACK_LOCATION *>(irp + 1);
    irp->Tail.Overlay.CurrentStackLocation = locations + stackSize;
    std::lock_guard lock(gCancelMutex);
    gLiveIrps.put(reinterpret_cast<uintptr_t>(irp), true);
    return irp;
}

void releaseIrp(IRP *irp)
{
    {
        std::lock_guard lock(gCancelMutex);
        if (irp->CancelRoutine != nullptr)
            zm4::host::detail::fatal(
                "IoFreeIrp of an IRP that a driver below still holds (its cancel routine is set)");
        bool live = false;
        gLiveIrps.take(reinterpret_cast<uintptr_t>(irp), live);
    }
    ExFreePool(irp);
}

} // namespace

IRP *IoAllocateIrp(char stackSize, BOOLEAN)
{
    return allocateIrp(stackSize);
}

void IoFreeIrp(IRP *irp)
{
    releaseIrp(irp);
}

IRP *IoBuildDeviceIoControlRequest(ULONG ioControlCode, DEVICE_OBJECT *deviceObject, PVOID inputBuffer,
                                   ULONG inputBufferLength, PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internalDeviceIoControl, KEVENT *event,
                                   IO_STATUS_BLOCK *ioStatusBlock)
{
    if (deviceObject == nullptr)
        return nullptr;
    IRP *irp = allocateIrp(deviceObject->StackSize);
    if (irp == nullptr)
        return nullptr;
    irp->Flags = IRP_HOST_BUILT;
    irp->UserEvent = event;
    irp->UserIosb = ioStatusBlock;
    IO_STACK_LOCATION *next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
    next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
    (void)outputBuffer; // no buffered I/O on this host: internal requests carry their own pointers
    return irp;
}

NTSTATUS IofCallDriver(DEVICE_OBJECT *deviceObject, IRP *irp)
{
    if (irp->CurrentLocation <= 1)
        zm4::host::detail::fatal("IofCallDriver: the IRP has no stack location left for the device below");
    --irp->CurrentLocation;
    --irp->Tail.Overlay.CurrentStackLocation;
    IO_STACK_LOCATION *stack = irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = deviceObject;
    if (deviceObject->HostDispatch == nullptr)
        zm4::host::detail::fatal("IofCallDriver to a device object without a driver");
    zm4::host::detail::fuzzDelay();
    return deviceObject->HostDispatch(deviceObject, irp);
}

void IoCompleteRequest(IRP *irp, char)
{
    KIRQL oldIrql = 0;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    const NTSTATUS status = irp->IoStatus.Status;
    bool stopped = false;
    while (irp->CurrentLocation <= irp->StackCount) {
        IO_STACK_LOCATION *stack = irp->Tail.Overlay.CurrentStackLocation;
        ++irp->CurrentLocation;
        ++irp->Tail.Overlay.CurrentStackLocation;
        irp->PendingReturned = (stack->Control & 0x01) != 0;
        const UCHAR wanted = status == STATUS_CANCELLED ? SL_INVOKE_ON_CANCEL
                             : NT_SUCCESS(status)       ? SL_INVOKE_ON_SUCCESS
                                                        : SL_INVOKE_ON_ERROR;
        if (stack->CompletionRoutine != nullptr && (stack->Control & wanted) != 0) {
            DEVICE_OBJECT *device = irp->CurrentLocation <= irp->StackCount
                                        ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                        : nullptr;
            zm4::host::detail::fuzzDelay();
            if (stack->CompletionRoutine(device, irp, stack->Context) == STATUS_MORE_PROCESSING_REQUIRED) {
                stopped = true;
                break;
            }
        }
    }
    if (!stopped && (irp->Flags & IRP_HOST_BUILT) != 0) {
        // The I/O manager's part for an IRP it built: report, signal, free.
        KEVENT *event = irp->UserEvent;
        if (irp->UserIosb != nullptr)
            *irp->UserIosb = irp->IoStatus;
        releaseIrp(irp);
        if (event != nullptr)
            KeSetEvent(event, 0, FALSE);
    }
    KeLowerIrql(oldIrql);
}

BOOLEAN IoCancelIrp(IRP *irp)
{
    PDRIVER_CANCEL routine = nullptr;
    DEVICE_OBJECT *device = nullptr;
    {
        std::lock_guard lock(gCancelMutex);
        if (gLiveIrps.find(reinterpret_cast<uintptr_t>(irp)) == nullptr)
            return FALSE; // already completed and freed by the I/O manager
        irp->Cancel = TRUE;
        routine = irp->CancelRoutine;
        irp->CancelRoutine = nullptr;
        if (routine != nullptr)
            device = irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    }
    if (routine == nullptr)
        return FALSE;
    routine(device, irp);
    return TRUE;
}

PDRIVER_CANCEL IoSetCancelRoutine(IRP *irp, PDRIVER_CANCEL routine)
{
    std::lock_guard lock(gCancelMutex);
    PDRIVER_CANCEL previous = irp->CancelRoutine;
    irp->CancelRoutine = routine;
    return previous;
}

// ---- Configuration helpers ------------------------------------------------------

USB_INTERFACE_DESCRIPTOR *
USBD_ParseConfigurationDescriptorEx(USB_CONFIGURATION_DESCRIPTOR *configurationDescriptor,
                                    PVOID startPosition, LONG interfaceNumber, LONG alternateSetting,
                                    LONG interfaceClass, LONG interfaceSubClass, LONG interfaceProtocol)
{
    if (configurationDescriptor == nullptr)
        return nullptr;
    auto *base = reinterpret_cast<UCHAR *>(configurationDescriptor);
    const size_t total = configurationDescriptor->wTotalLength;
    auto *start = static_cast<UCHAR *>(startPosition);
    if (start < base || start > base + total)
        return nullptr;
    size_t at = static_cast<size_t>(start - base);
    auto matches = [](LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; };
    // Each descriptor begins with its length and type; a length of 0 or one
    // reaching past the total ends the walk.
    while (at + 2 <= total) {
        const UCHAR length = base[at];
        if (length < 2 || at + length > total)
            return nullptr;
        if (base[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto *interface = reinterpret_cast<USB_INTERFACE_DESCRIPTOR *>(base + at);
            if (matches(interfaceNumber, interface->bInterfaceNumber) &&
                matches(alternateSetting, interface->bAlternateSetting) &&
                matches(interfaceClass, interface->bInterfaceClass) &&
                matches(interfaceSubClass, interface->bInterfaceSubClass) &&
                matches(interfaceProtocol, interface->bInterfaceProtocol))
                return interface;
        }
        at += length;
    }
    return nullptr;
}

URB *USBD_CreateConfigurationRequestEx(USB_CONFIGURATION_DESCRIPTOR *configurationDescriptor,
                                       USBD_INTERFACE_LIST_ENTRY *interfaceList)
{
    if (configurationDescriptor == nullptr || interfaceList == nullptr)
        return nullptr;
    size_t size = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    size_t count = 0;
    for (USBD_INTERFACE_LIST_ENTRY *entry = interfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
        ++count;
    }
    if (count == 0 || size > 0xFFFF)
        return nullptr;
    size = std::max(size, sizeof(_URB_SELECT_CONFIGURATION));
    auto *urb = static_cast<URB *>(ExAllocatePoolWithTag(NonPagedPool, size, USBD_POOL_TAG));
    if (urb == nullptr)
        return nullptr;
    std::memset(static_cast<void *>(urb), 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;
    auto *cursor = reinterpret_cast<UCHAR *>(&urb->UrbSelectConfiguration.Interface);
    for (USBD_INTERFACE_LIST_ENTRY *entry = interfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        const USB_INTERFACE_DESCRIPTOR *descriptor = entry->InterfaceDescriptor;
        auto *info = reinterpret_cast<USBD_INTERFACE_INFORMATION *>(cursor);
        const size_t length = GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints);
        info->Length = static_cast<USHORT>(length);
        info->InterfaceNumber = descriptor->bInterfaceNumber;
        info->AlternateSetting = descriptor->bAlternateSetting;
        info->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG i = 0; i < info->NumberOfPipes; ++i)
            info->Pipes[i].MaximumTransferSize = 0x1000; // the stack's default; drivers may raise it
        entry->Interface = info;
        cursor += length;
    }
    return urb;
}
