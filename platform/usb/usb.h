// The USB stack as the driver sees it: device objects, I/O request packets
// and their stack locations, URBs, descriptors, USBD status codes and the
// configuration helpers. The host bus (bus.h) serves the requests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/kernel/kernel.h"

// ---- More status codes ------------------------------------------------------
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = static_cast<NTSTATUS>(0xC0000010);

// ---- Device objects and IRPs ------------------------------------------------
struct DEVICE_OBJECT;
struct IRP;

using PIO_COMPLETION_ROUTINE = NTSTATUS (*)(DEVICE_OBJECT *DeviceObject, IRP *Irp, PVOID Context);
using PDRIVER_CANCEL = void (*)(DEVICE_OBJECT *DeviceObject, IRP *Irp);
using PDRIVER_DISPATCH = NTSTATUS (*)(DEVICE_OBJECT *DeviceObject, IRP *Irp);

struct DEVICE_OBJECT {
    USHORT Type;
    USHORT Size;
    PVOID DeviceExtension; // the owning driver's record (for the camera's PDO: the host bus)
    char StackSize;        // stack locations an IRP sent to this device needs
    // Host: the routine of the driver that owns the device, for every major function.
    PDRIVER_DISPATCH HostDispatch;
};

struct IO_STATUS_BLOCK {
    NTSTATUS Status;
    ULONG_PTR Information;
};

constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;

// Control flags of a stack location: when its completion routine runs.
constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    // The argument words overlay the device-control fields word by word, as in
    // the published layout: Argument1 shares its word with OutputBufferLength.
    union {
        struct {
            alignas(sizeof(PVOID)) ULONG OutputBufferLength;
            alignas(sizeof(PVOID)) ULONG InputBufferLength;
            alignas(sizeof(PVOID)) ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    DEVICE_OBJECT *DeviceObject;
    PVOID FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
};

// An IRP and its stack locations are one pool block; the locations follow the
// header. CurrentLocation counts down from StackCount + 1 as the IRP is passed on.
struct IRP {
    USHORT Type;
    USHORT Size;
    ULONG Flags; // host: IRP_HOST_BUILT for IRPs from IoBuildDeviceIoControlRequest
    IO_STATUS_BLOCK IoStatus;
    BOOLEAN PendingReturned;
    BOOLEAN Cancel;
    char StackCount;
    char CurrentLocation;
    IO_STATUS_BLOCK *UserIosb;
    KEVENT *UserEvent;
    PDRIVER_CANCEL CancelRoutine; // set only through IoSetCancelRoutine
    struct {
        struct {
            IO_STACK_LOCATION *CurrentStackLocation;
        } Overlay;
    } Tail;
};

constexpr ULONG IRP_HOST_BUILT = 0x1;

inline IO_STACK_LOCATION *IoGetCurrentIrpStackLocation(IRP *irp)
{
    return irp->Tail.Overlay.CurrentStackLocation;
}
inline IO_STACK_LOCATION *IoGetNextIrpStackLocation(IRP *irp)
{
    return irp->Tail.Overlay.CurrentStackLocation - 1;
}
inline void IoMarkIrpPending(IRP *irp)
{
    IoGetCurrentIrpStackLocation(irp)->Control |= 0x01;
}

inline void IoSetCompletionRoutine(IRP *irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                                   BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError, BOOLEAN invokeOnCancel)
{
    IO_STACK_LOCATION *next = IoGetNextIrpStackLocation(irp);
    next->CompletionRoutine = routine;
    next->Context = context;
    next->Control = 0;
    if (invokeOnSuccess)
        next->Control |= SL_INVOKE_ON_SUCCESS;
    if (invokeOnError)
        next->Control |= SL_INVOKE_ON_ERROR;
    if (invokeOnCancel)
        next->Control |= SL_INVOKE_ON_CANCEL;
}

// IRPs come from the kernel's pool under this tag ("Irp "), apart from the
// driver's own "Wdm " blocks.
constexpr ULONG IRP_POOL_TAG = 0x20707249;

IRP *IoAllocateIrp(char stackSize, BOOLEAN chargeQuota);
void IoFreeIrp(IRP *irp);
// An IRP whose completion fills *ioStatusBlock, signals *event and frees the IRP.
IRP *IoBuildDeviceIoControlRequest(ULONG ioControlCode, DEVICE_OBJECT *deviceObject, PVOID inputBuffer,
                                   ULONG inputBufferLength, PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internalDeviceIoControl, KEVENT *event,
                                   IO_STATUS_BLOCK *ioStatusBlock);
NTSTATUS IofCallDriver(DEVICE_OBJECT *deviceObject, IRP *irp);
inline NTSTATUS IoCallDriver(DEVICE_OBJECT *deviceObject, IRP *irp)
{
    return IofCallDriver(deviceObject, irp);
}
// Completes the IRP as the I/O manager does: completion routines up the stack
// at DISPATCH_LEVEL, stopping at STATUS_MORE_PROCESSING_REQUIRED.
void IoCompleteRequest(IRP *irp, char priorityBoost);
// TRUE when a cancel routine was called.
BOOLEAN IoCancelIrp(IRP *irp);
// Returns the previous routine.
PDRIVER_CANCEL IoSetCancelRoutine(IRP *irp, PDRIVER_CANCEL routine);

// ---- USB descriptors (wire layout) ------------------------------------------
constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 0x01;
constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 0x02;
constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 0x04;
constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 0x05;

#pragma pack(push, 1)
struct USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
};

struct USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
};

struct USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
};
#pragma pack(pop)

static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);

// ---- USBD status codes ---------------------------------------------------------
// The two top bits: 00 success, 01 pending, 10 error, 11 error with the
// endpoint halted.
using USBD_STATUS = LONG;

constexpr USBD_STATUS USBD_STATUS_SUCCESS = 0x00000000;
constexpr USBD_STATUS USBD_STATUS_PENDING = 0x40000000;
constexpr USBD_STATUS USBD_STATUS_CRC = static_cast<USBD_STATUS>(0xC0000001);
constexpr USBD_STATUS USBD_STATUS_STALL_PID = static_cast<USBD_STATUS>(0xC0000004);
constexpr USBD_STATUS USBD_STATUS_DEV_NOT_RESPONDING = static_cast<USBD_STATUS>(0xC0000005);
constexpr USBD_STATUS USBD_STATUS_NO_MEMORY = static_cast<USBD_STATUS>(0x80000100);
constexpr USBD_STATUS USBD_STATUS_INVALID_URB_FUNCTION = static_cast<USBD_STATUS>(0x80000200);
constexpr USBD_STATUS USBD_STATUS_INVALID_PARAMETER = static_cast<USBD_STATUS>(0x80000300);
constexpr USBD_STATUS USBD_STATUS_ERROR_BUSY = static_cast<USBD_STATUS>(0x80000400);
constexpr USBD_STATUS USBD_STATUS_REQUEST_FAILED = static_cast<USBD_STATUS>(0x80000500);
constexpr USBD_STATUS USBD_STATUS_INVALID_PIPE_HANDLE = static_cast<USBD_STATUS>(0x80000600);
constexpr USBD_STATUS USBD_STATUS_NO_BANDWIDTH = static_cast<USBD_STATUS>(0x80000700);
constexpr USBD_STATUS USBD_STATUS_ISOCH_REQUEST_FAILED = static_cast<USBD_STATUS>(0xC0000B00);
constexpr USBD_STATUS USBD_STATUS_DEVICE_GONE = static_cast<USBD_STATUS>(0xC0007000);
constexpr USBD_STATUS USBD_STATUS_CANCELED = static_cast<USBD_STATUS>(0xC0010000);
constexpr USBD_STATUS USBD_STATUS_ISO_NOT_ACCESSED_BY_HW = static_cast<USBD_STATUS>(0xC0020000);

inline bool USBD_SUCCESS(USBD_STATUS status)
{
    return static_cast<ULONG>(status) >> 30 == 0;
}
inline bool USBD_PENDING(USBD_STATUS status)
{
    return static_cast<ULONG>(status) >> 30 == 1;
}
inline bool USBD_ERROR(USBD_STATUS status)
{
    return status < 0;
}
inline bool USBD_HALTED(USBD_STATUS status)
{
    return static_cast<ULONG>(status) >> 30 == 3;
}

// ---- Interface and pipe information -------------------------------------------------
using USBD_PIPE_HANDLE = PVOID;
using USBD_CONFIGURATION_HANDLE = PVOID;
using USBD_INTERFACE_HANDLE = PVOID;

enum USBD_PIPE_TYPE {
    UsbdPipeTypeControl = 0,
    UsbdPipeTypeIsochronous,
    UsbdPipeTypeBulk,
    UsbdPipeTypeInterrupt
};

struct USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;
    ULONG PipeFlags;
};

// Variable length: Length bytes, NumberOfPipes entries in Pipes.
struct USBD_INTERFACE_INFORMATION {
    USHORT Length;
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
};

// The size of an interface information block with n pipes.
constexpr size_t GET_USBD_INTERFACE_SIZE(size_t n)
{
    return sizeof(USBD_INTERFACE_INFORMATION) + (n == 0 ? 0 : n - 1) * sizeof(USBD_PIPE_INFORMATION);
}

struct USBD_INTERFACE_LIST_ENTRY {
    USB_INTERFACE_DESCRIPTOR *InterfaceDescriptor;
    USBD_INTERFACE_INFORMATION *Interface;
};

// ---- URBs -----------------------------------------------------------------------
// The record sizes here are the host's sizeof values: every URB holds pointers,
// so on this 64-bit host they are larger than the 32-bit figures (80 bytes for
// a control request, 24 for a pipe request, (n + 8) x 12 for an isochronous
// request of n packets). Drivers size URBs with sizeof and GET_ISO_URB_SIZE.
constexpr USHORT URB_FUNCTION_SELECT_CONFIGURATION = 0x0000;
constexpr USHORT URB_FUNCTION_ABORT_PIPE = 0x0002;
constexpr USHORT URB_FUNCTION_ISOCH_TRANSFER = 0x000A;
constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
constexpr USHORT URB_FUNCTION_VENDOR_DEVICE = 0x0017;
constexpr USHORT URB_FUNCTION_RESET_PIPE = 0x001E;

constexpr ULONG USBD_TRANSFER_DIRECTION_OUT = 0;
constexpr ULONG USBD_TRANSFER_DIRECTION_IN = 1;
constexpr ULONG USBD_SHORT_TRANSFER_OK = 2;
constexpr ULONG USBD_START_ISO_TRANSFER_ASAP = 4;

constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB = 0x220003;

struct _URB_HEADER {
    USHORT Length;
    USHORT Function;
    USBD_STATUS UsbdStatus;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

struct _URB_SELECT_CONFIGURATION {
    _URB_HEADER Hdr;
    USB_CONFIGURATION_DESCRIPTOR *ConfigurationDescriptor; // null: unconfigure
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface; // followed by further interfaces
};

struct _URB_PIPE_REQUEST {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength; // in: room; out: bytes received
    PVOID TransferBuffer;
    PVOID TransferBufferMDL;
    union URB *UrbLink;
    _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;
    ULONG TransferBufferLength; // in: data stage length; out: bytes moved
    PVOID TransferBuffer;
    PVOID TransferBufferMDL;
    union URB *UrbLink;
    _URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};

struct USBD_ISO_PACKET_DESCRIPTOR {
    ULONG Offset;       // in: where the packet goes in the transfer buffer
    ULONG Length;       // out: bytes received
    USBD_STATUS Status; // out
};
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12);

struct _URB_ISOCH_TRANSFER {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PVOID TransferBufferMDL;
    union URB *UrbLink;
    _URB_HCD_AREA hca;
    ULONG StartFrame;
    ULONG NumberOfPackets;
    ULONG ErrorCount; // out: packets that failed
    USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};

// The published allocation size of an isochronous URB with n packets (one
// descriptor more than needed, as published).
constexpr size_t GET_ISO_URB_SIZE(size_t n)
{
    return sizeof(_URB_ISOCH_TRANSFER) + n * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
}

union URB {
    _URB_HEADER UrbHeader;
    _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
    _URB_PIPE_REQUEST UrbPipeRequest;
    _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
    _URB_ISOCH_TRANSFER UrbIsochronousTransfer;
};

// ---- Configuration helpers ------------------------------------------------------------
// Select-configuration URBs come from the kernel's pool under this tag ("USBD");
// the driver frees them with ExFreePool.
constexpr ULONG USBD_POOL_TAG = 0x44425355;

// The interface descriptor at or after startPosition, within the descriptor's
// wTotalLength, that matches every argument not -1; null when there is none.
USB_INTERFACE_DESCRIPTOR *
USBD_ParseConfigurationDescriptorEx(USB_CONFIGURATION_DESCRIPTOR *configurationDescriptor,
                                    PVOID startPosition, LONG interfaceNumber, LONG alternateSetting,
                                    LONG interfaceClass, LONG interfaceSubClass, LONG interfaceProtocol);
// A select-configuration URB for the interfaces of the list (ended by an entry
// with a null descriptor), each entry's Interface pointed at its information
// block inside the URB; null when memory is short or the list is bad.
URB *USBD_CreateConfigurationRequestEx(USB_CONFIGURATION_DESCRIPTOR *configurationDescriptor,
                                       USBD_INTERFACE_LIST_ENTRY *interfaceList);
