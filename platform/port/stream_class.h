// The stream class port library as a minidriver sees it: the request block, the
// stream object, the registration record, the stream descriptor, and the calls a
// minidriver makes to register, complete requests, schedule its timer and find
// a frame-paced client. Records holding pointers take their host sizes.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/port/ks.h"

// Opaque to the minidriver and to the port: the kernel's driver and device objects.
struct DRIVER_OBJECT;
struct DEVICE_OBJECT;

struct _HW_STREAM_REQUEST_BLOCK;
struct _HW_STREAM_OBJECT;
using HW_STREAM_REQUEST_BLOCK = _HW_STREAM_REQUEST_BLOCK;
using HW_STREAM_OBJECT = _HW_STREAM_OBJECT;

// ---- Request codes -------------------------------------------------------------

enum SRB_COMMAND : ULONG {
    // Stream requests.
    SRB_READ_DATA = 0x00,
    SRB_WRITE_DATA = 0x01,
    SRB_GET_STREAM_STATE = 0x02,
    SRB_SET_STREAM_STATE = 0x03,
    SRB_SET_STREAM_PROPERTY = 0x04,
    SRB_GET_STREAM_PROPERTY = 0x05,
    SRB_OPEN_MASTER_CLOCK = 0x06,
    SRB_INDICATE_MASTER_CLOCK = 0x07,
    SRB_UNKNOWN_STREAM_COMMAND = 0x08,
    SRB_SET_STREAM_RATE = 0x09,
    SRB_PROPOSE_DATA_FORMAT = 0x0A,
    SRB_CLOSE_MASTER_CLOCK = 0x0B,
    SRB_PROPOSE_STREAM_RATE = 0x0C,
    SRB_SET_DATA_FORMAT = 0x0D,
    SRB_GET_STREAM_RATE = 0x0E,
    // Device requests.
    SRB_GET_STREAM_INFO = 0x100,
    SRB_OPEN_STREAM = 0x101,
    SRB_CLOSE_STREAM = 0x102,
    SRB_OPEN_DEVICE_INSTANCE = 0x103,
    SRB_CLOSE_DEVICE_INSTANCE = 0x104,
    SRB_GET_DEVICE_PROPERTY = 0x105,
    SRB_SET_DEVICE_PROPERTY = 0x106,
    SRB_INITIALIZE_DEVICE = 0x107,
    SRB_CHANGE_POWER_STATE = 0x108,
    SRB_UNINITIALIZE_DEVICE = 0x109,
    SRB_UNKNOWN_DEVICE_COMMAND = 0x10A,
    SRB_PAGING_OUT_DRIVER = 0x10B,
    SRB_GET_DATA_INTERSECTION = 0x10C,
    SRB_INITIALIZATION_COMPLETE = 0x10D,
    SRB_SURPRISE_REMOVAL = 0x10E,
};

// ---- Request payloads -------------------------------------------------------------

// The configuration handed over with SRB_INITIALIZE_DEVICE.
struct PORT_CONFIGURATION_INFORMATION {
    ULONG SizeOfThisPacket;
    PVOID HwDeviceExtension;
    DEVICE_OBJECT *ClassDeviceObject;
    DEVICE_OBJECT *PhysicalDeviceObject; // the device below: USB requests go here
    ULONG SystemIoBusNumber;
    ULONG AdapterInterfaceType;
    ULONG BusInterruptLevel;
    ULONG BusInterruptVector;
    ULONG InterruptMode;
    ULONG DmaChannel;
    ULONG NumberOfAccessRanges;
    PVOID AccessRanges;
    ULONG StreamDescriptorSize; // set by the minidriver: bytes of its stream descriptor
    PVOID Irp;
    PVOID InterruptObject;
    PVOID DmaAdapterObject;
    DEVICE_OBJECT *RealPhysicalDeviceObject;
    ULONG Reserved[1];
};

// A property request: the caller's KSPROPERTY and its buffer.
struct STREAM_PROPERTY_DESCRIPTOR {
    KSPROPERTY *Property;
    ULONG PropertySetID; // index of the set in the advertised table
    PVOID PropertyInfo;  // the caller's property buffer
    ULONG PropertyInputSize;
    ULONG PropertyOutputSize;
};

// A data intersection: the caller's data range and where the chosen format goes.
struct STREAM_DATA_INTERSECT_INFO {
    ULONG StreamNumber;
    KSDATARANGE *DataRange; // FormatSize bytes
    PVOID DataFormatBuffer;
    ULONG SizeOfDataFormatBuffer;
};

// What the minidriver says about one of its streams.
struct HW_STREAM_INFORMATION {
    ULONG NumberOfPossibleInstances;
    KSPIN_DATAFLOW DataFlow;
    BOOLEAN DataAccessible;
    ULONG NumberOfFormatArrayEntries;
    const KSDATAFORMAT *const *StreamFormatsArray;
    PVOID ClassReserved[4];
    ULONG NumStreamPropArrayEntries;
    const KSPROPERTY_SET *StreamPropertiesArray;
    ULONG NumStreamEventArrayEntries;
    PVOID StreamEventsArray;
    const GUID *Category;
    const GUID *Name;
    ULONG MediumsCount;
    const KSPIN_MEDIUM *Mediums;
    BOOLEAN BridgeStream;
    ULONG Reserved[2];
};

struct HW_STREAM_HEADER {
    ULONG NumberOfStreams;
    ULONG SizeOfHwStreamInformation;
    ULONG NumDevPropArrayEntries;
    const KSPROPERTY_SET *DevicePropertiesArray;
    ULONG NumDevEventArrayEntries;
    PVOID DeviceEventsArray;
    const KSTOPOLOGY *Topology;
    PVOID DeviceEventRoutine;
    LONG NumDevMethodArrayEntries;
    PVOID DeviceMethodsArray;
};

// The header followed by NumberOfStreams stream informations.
struct HW_STREAM_DESCRIPTOR {
    HW_STREAM_HEADER StreamHeader;
    HW_STREAM_INFORMATION StreamInfo;
};

// ---- Request block and stream object -------------------------------------------------

struct _HW_STREAM_REQUEST_BLOCK {
    ULONG SizeOfThisPacket;
    SRB_COMMAND Command;
    NTSTATUS Status;
    HW_STREAM_OBJECT *StreamObject; // null for device requests
    PVOID HwDeviceExtension;
    PVOID SRBExtension; // the minidriver's per-request block
    union {
        KSSTREAM_HEADER *DataBufferArray;
        HW_STREAM_DESCRIPTOR *StreamBuffer;
        KSSTATE StreamState;
        STREAM_PROPERTY_DESCRIPTOR *PropertyInfo;
        KSDATAFORMAT *OpenFormat;
        PORT_CONFIGURATION_INFORMATION *ConfigInfo;
        HANDLE MasterClockHandle;
        ULONG DeviceState;
        STREAM_DATA_INTERSECT_INFO *IntersectInfo;
    } CommandData;
    ULONG NumberOfBuffers;
    ULONG TimeoutCounter;  // seconds left before the time-out callback
    ULONG TimeoutOriginal; // seconds the request is allowed
    _HW_STREAM_REQUEST_BLOCK *NextSRB;
    PVOID Irp;
    ULONG Flags;
    PVOID HwInstanceExtension;
    union {
        ULONG NumberOfBytesToTransfer;
        ULONG ActualBytesTransferred;
    };
};

using PHW_RECEIVE_DEVICE_SRB = void (*)(HW_STREAM_REQUEST_BLOCK *srb);
using PHW_RECEIVE_STREAM_DATA_SRB = void (*)(HW_STREAM_REQUEST_BLOCK *srb);
using PHW_RECEIVE_STREAM_CONTROL_SRB = void (*)(HW_STREAM_REQUEST_BLOCK *srb);
using PHW_CANCEL_SRB = void (*)(HW_STREAM_REQUEST_BLOCK *srb);
using PHW_REQUEST_TIMEOUT_HANDLER = void (*)(HW_STREAM_REQUEST_BLOCK *srb);
using PHW_INTERRUPT = BOOLEAN (*)(PVOID deviceExtension);
using PHW_TIMER_ROUTINE = void (*)(PVOID context);

struct HW_CLOCK_OBJECT {
    PVOID HwClockFunction;
    ULONG ClockSupportFlags;
    ULONG Reserved[2];
};

struct _HW_STREAM_OBJECT {
    ULONG SizeOfThisPacket;
    ULONG StreamNumber;
    PVOID HwStreamExtension; // the minidriver may replace it with its own block
    PHW_RECEIVE_STREAM_DATA_SRB ReceiveDataPacket;
    PHW_RECEIVE_STREAM_CONTROL_SRB ReceiveControlPacket;
    HW_CLOCK_OBJECT HwClockObject;
    BOOLEAN Dma;
    BOOLEAN Pio;
    PVOID HwDeviceExtension;
    ULONG StreamHeaderMediaSpecific; // bytes after each stream header
    ULONG StreamHeaderWorkspace;
    BOOLEAN Allocator;
    PVOID HwEventRoutine;
    ULONG Reserved[2];
};

// ---- Registration ---------------------------------------------------------------

struct HW_INITIALIZATION_DATA {
    ULONG HwInitializationDataSize;
    PHW_INTERRUPT HwInterrupt;
    PHW_RECEIVE_DEVICE_SRB HwReceivePacket;
    PHW_CANCEL_SRB HwCancelPacket;
    PHW_REQUEST_TIMEOUT_HANDLER HwRequestTimeoutHandler;
    ULONG DeviceExtensionSize;
    ULONG PerRequestExtensionSize;
    ULONG PerStreamExtensionSize;
    ULONG FilterInstanceExtensionSize;
    BOOLEAN BusMasterDMA;
    BOOLEAN Dma24BitAddresses;
    ULONG BufferAlignment;
    BOOLEAN TurnOffSynchronization;
    ULONG DmaBufferSize;
    ULONG NumNameExtensions;
    PVOID NameExtensionArray;
};

// ---- Notifications ----------------------------------------------------------------

enum STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE : ULONG {
    ReadyForNextDeviceRequest = 0,
    DeviceRequestComplete = 1,
    SignalMultipleDeviceEvents = 2,
    SignalDeviceEvent = 3,
    DeleteDeviceEvent = 4,
};

enum STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE : ULONG {
    ReadyForNextStreamDataRequest = 0,
    ReadyForNextStreamControlRequest = 1,
    HardwareStarved = 2,
    StreamRequestComplete = 3,
    SignalMultipleStreamEvents = 4,
    SignalStreamEvent = 5,
    DeleteStreamEvent = 6,
};

// ---- Frame pacing -------------------------------------------------------------------

// The record of a frame-paced client. FrameInterval is the wanted frame
// interval in microseconds: 0 no pacing, STREAM_VFW_DELIVER_NOTHING hold every
// frame; the minidriver marks each frame it delivers with STREAM_VFW_DELIVERED.
struct STREAM_VFW_INFO {
    ULONG Flags;
    ULONG FrameInterval;
    ULONG Reserved[2];
};

constexpr ULONG STREAM_VFW_DELIVER_NOTHING = 0xF0000000;
constexpr ULONG STREAM_VFW_DELIVERED = 0xFF000000;

// ---- Calls into the port library --------------------------------------------------

// Keeps the registration record; the minidriver's load result.
NTSTATUS StreamClassRegisterAdapter(DRIVER_OBJECT *driverObject, UNICODE_STRING *registryPath,
                                    HW_INITIALIZATION_DATA *hwInitializationData);
// ReadyForNextDeviceRequest (srb ignored) or DeviceRequestComplete: the request's
// status and byte count are taken over here; the port never touches it again.
void StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE notificationType,
                                   PVOID hwDeviceExtension, HW_STREAM_REQUEST_BLOCK *srb = nullptr);
// StreamRequestComplete for a stream request; the other types are accepted and ignored.
void StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE notificationType,
                                   HW_STREAM_OBJECT *streamObject, HW_STREAM_REQUEST_BLOCK *srb = nullptr);
// One call of routine(context) at DISPATCH_LEVEL after the interval; one timer per
// device (and per stream object): scheduling again replaces it, 0 us cancels it.
void StreamClassScheduleTimer(HW_STREAM_OBJECT *streamObject, PVOID hwDeviceExtension,
                              ULONG numberOfMicroseconds, PHW_TIMER_ROUTINE timerRoutine, PVOID context);
// The frame-paced client record of a stream request, or null.
STREAM_VFW_INFO *StreamClassGetVfWInfo(HW_STREAM_REQUEST_BLOCK *srb);
