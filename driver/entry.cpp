// Driver entry and request dispatch. The port library calls the three entry
// points with its own synchronisation turned off, so each entry point keeps a
// single-drainer queue: whichever thread finds its queue idle processes the
// request and then every request that arrived meanwhile, in arrival order.

#include "driver/entry.h"

#include "driver/debug.h"
#include "driver/device.h"
#include "driver/device_extension.h"
#include "driver/extns.h"
#include "driver/stream.h"
#include "driver/stream_format.h"

constexpr ULONG kTimerPeriodMicroseconds = 100000;
constexpr ULONG kMillisecondsPerTick = 100;

using SrbHandler = void (*)(HW_STREAM_REQUEST_BLOCK *srb);

struct ENTRY_DISPATCH {
    SRB_COMMAND command;
    SrbHandler handler;
};

static DEVICE_EXTENSION *mDevice(HW_STREAM_REQUEST_BLOCK *srb)
{
    return static_cast<DEVICE_EXTENSION *>(srb->HwDeviceExtension);
}

// ---- Completion ---------------------------------------------------------------

// After the notification the port has what it needs; the request block and the
// link block hung on it are the driver's to free.
static void mEntry_FreeRequest(HW_STREAM_REQUEST_BLOCK *srb)
{
    DEVICE_EXTENSION *device = mDevice(srb);
    for (ULONG which = 0; which < 2; ++which) {
        if (srb->SRBExtension == &device->spareLink[which]) {
            srb->SRBExtension = nullptr;
            InterlockedExchange(&device->spareLinkInUse[which], 0);
        }
    }
    if (srb->SRBExtension != nullptr)
        ExFreePool(srb->SRBExtension);
    ExFreePool(srb);
}

void Entry_CompleteDeviceSRB(HW_STREAM_REQUEST_BLOCK *srb)
{
    PVOID device = srb->HwDeviceExtension;
    StreamClassDeviceNotification(ReadyForNextDeviceRequest, device);
    StreamClassDeviceNotification(DeviceRequestComplete, device, srb);
    mEntry_FreeRequest(srb);
}

void Entry_CompleteStreamSRB(HW_STREAM_REQUEST_BLOCK *srb)
{
    PVOID device = srb->HwDeviceExtension;
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
    StreamClassDeviceNotification(ReadyForNextDeviceRequest, device);
    mEntry_FreeRequest(srb);
}

// Refused commands transfer nothing: the byte count shares its word with the
// request's own NumberOfBytesToTransfer, which must not be reported back.
static void mEntry_DeviceNotImplemented(HW_STREAM_REQUEST_BLOCK *srb)
{
    srb->Status = STATUS_NOT_IMPLEMENTED;
    srb->ActualBytesTransferred = 0;
    Entry_CompleteDeviceSRB(srb);
}

static void mEntry_DeviceSuccess(HW_STREAM_REQUEST_BLOCK *srb)
{
    srb->Status = STATUS_SUCCESS;
    Entry_CompleteDeviceSRB(srb);
}

static void mEntry_StreamNotImplemented(HW_STREAM_REQUEST_BLOCK *srb)
{
    srb->Status = STATUS_NOT_IMPLEMENTED;
    srb->ActualBytesTransferred = 0;
    Entry_CompleteStreamSRB(srb);
}

// ---- Dispatch tables ------------------------------------------------------------
// A command missing from its table is answered STATUS_NOT_IMPLEMENTED.

static const ENTRY_DISPATCH kDeviceDispatch[] = {
    {SRB_GET_STREAM_INFO, Stream_GetInfo},
    {SRB_OPEN_STREAM, Stream_Open},
    {SRB_CLOSE_STREAM, Stream_Close},
    {SRB_OPEN_DEVICE_INSTANCE, mEntry_DeviceNotImplemented},
    {SRB_CLOSE_DEVICE_INSTANCE, mEntry_DeviceNotImplemented},
    {SRB_GET_DEVICE_PROPERTY, Device_GetProperty},
    {SRB_SET_DEVICE_PROPERTY, Device_SetProperty},
    {SRB_INITIALIZE_DEVICE, Device_Initialise},
    {SRB_CHANGE_POWER_STATE, Device_ChangePowerState},
    {SRB_UNINITIALIZE_DEVICE, Device_UnInitialise},
    {SRB_UNKNOWN_DEVICE_COMMAND, mEntry_DeviceNotImplemented},
    {SRB_PAGING_OUT_DRIVER, mEntry_DeviceSuccess},
    {SRB_GET_DATA_INTERSECTION, Stream_GetDataIntersection},
    {SRB_INITIALIZATION_COMPLETE, Stream_InitialiseComplete},
};

static const ENTRY_DISPATCH kStreamControlDispatch[] = {
    {SRB_GET_STREAM_STATE, Stream_GetState},      {SRB_SET_STREAM_STATE, Stream_SetState},
    {SRB_INDICATE_MASTER_CLOCK, Stream_SetClock}, {SRB_PROPOSE_DATA_FORMAT, Stream_ProposeDataFormat},
    {SRB_SET_DATA_FORMAT, Stream_SetDataFormat},
};

static const ENTRY_DISPATCH kStreamDataDispatch[] = {
    {SRB_READ_DATA, Stream_ReadFrame},
};

template <size_t N>
static void mEntry_Dispatch(const ENTRY_DISPATCH (&table)[N], SrbHandler fallback,
                            HW_STREAM_REQUEST_BLOCK *srb)
{
    for (const ENTRY_DISPATCH &entry : table) {
        if (entry.command == srb->Command) {
            entry.handler(srb);
            return;
        }
    }
    fallback(srb);
}

static void mEntry_DispatchDevice(HW_STREAM_REQUEST_BLOCK *srb)
{
    mEntry_Dispatch(kDeviceDispatch, mEntry_DeviceNotImplemented, srb);
}

static void mEntry_DispatchStreamControl(HW_STREAM_REQUEST_BLOCK *srb)
{
    mEntry_Dispatch(kStreamControlDispatch, mEntry_StreamNotImplemented, srb);
}

static void mEntry_DispatchStreamData(HW_STREAM_REQUEST_BLOCK *srb)
{
    mEntry_Dispatch(kStreamDataDispatch, mEntry_StreamNotImplemented, srb);
}

// ---- Arrival ----------------------------------------------------------------------

// Closing a stream, changing its state and uninitialising go ahead in the
// application and the port whatever the driver answers: refused, they would
// strand the stream's extension, a running pipeline or the whole device.
static ULONG mEntry_MustProcess(const HW_STREAM_REQUEST_BLOCK *srb)
{
    return srb->Command == SRB_CLOSE_STREAM || srb->Command == SRB_SET_STREAM_STATE ||
                   srb->Command == SRB_UNINITIALIZE_DEVICE
               ? 1
               : 0;
}

// The five arrival steps shared by the three entry points. The queue is found
// before dispatch: once completed, the request block is gone.
static void mEntry_Receive(HW_STREAM_REQUEST_BLOCK *srb, EXTNS_SRB_QUEUE *queue, SrbHandler dispatch,
                           SrbHandler complete, ULONG deviceRequest)
{
    DEVICE_EXTENSION *device = mDevice(srb);
    auto *link = static_cast<PVOID *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PVOID), EXTNS_POOL_TAG));
    const ULONG spare = deviceRequest != 0 ? 0 : 1;
    if (link == nullptr && mEntry_MustProcess(srb) == 1 &&
        InterlockedCompareExchange(&device->spareLinkInUse[spare], 1, 0) == 0)
        link = &device->spareLink[spare];
    if (link == nullptr) {
        // Without its link block the request can be neither queued nor
        // processed in turn: refuse it at once, leaving the port's extension alone.
        srb->SRBExtension = nullptr;
        srb->Status = STATUS_INSUFFICIENT_RESOURCES;
        complete(srb);
        return;
    }
    *link = nullptr;
    srb->SRBExtension = link;

    Extns_SRBQueue_CheckInitialise(queue);
    // A queued device request reads as unsuccessful while it waits. The status is
    // set before queueing: once queued, the drainer may complete it at any moment.
    if (deviceRequest != 0)
        srb->Status = STATUS_UNSUCCESSFUL;
    if (Extns_SRBQueue_AddIfBusy(queue, srb) == 1)
        return;

    while (srb != nullptr) {
        srb->Status = STATUS_SUCCESS;
        dispatch(srb);
        Extns_SRBQueue_Remove(queue, &srb);
    }
}

static void mEntry_ReceiveDeviceSRB(HW_STREAM_REQUEST_BLOCK *srb)
{
    DEVICE_EXTENSION *device = mDevice(srb);
    // The stream queues are readied here too. Check-initialise is not locked, so
    // two stream requests arriving together on a fresh queue could both set it
    // up, one under the other's drain; but stream requests can only come once a
    // device request (stream open) has installed their entry points, and the
    // first device request (initialise) arrives alone.
    Extns_SRBQueue_CheckInitialise(&device->streamControlQueue);
    Extns_SRBQueue_CheckInitialise(&device->streamDataQueue);
    mEntry_Receive(srb, &device->deviceQueue, mEntry_DispatchDevice, Entry_CompleteDeviceSRB, 1);
}

void Entry_ReceiveStreamControlSRB(HW_STREAM_REQUEST_BLOCK *srb)
{
    mEntry_Receive(srb, &mDevice(srb)->streamControlQueue, mEntry_DispatchStreamControl,
                   Entry_CompleteStreamSRB, 0);
}

void Entry_ReceiveStreamDataSRB(HW_STREAM_REQUEST_BLOCK *srb)
{
    mEntry_Receive(srb, &mDevice(srb)->streamDataQueue, mEntry_DispatchStreamData, Entry_CompleteStreamSRB,
                   0);
}

// ---- Cancel and time-out ------------------------------------------------------------

static void mEntry_CancelSRB(HW_STREAM_REQUEST_BLOCK *srb)
{
    DEVICE_EXTENSION *device = mDevice(srb);
    ULONG queued = Extns_SRBQueue_Delete(&device->deviceQueue, srb);
    queued |= Extns_SRBQueue_Delete(&device->streamControlQueue, srb);
    queued |= Extns_SRBQueue_Delete(&device->streamDataQueue, srb);
    Stream_CancelFrameRequest(srb, queued);
}

// No request is ever failed for taking long: it just starts a new period.
static void mEntry_RequestTimeoutHandler(HW_STREAM_REQUEST_BLOCK *srb)
{
    srb->TimeoutCounter = srb->TimeoutOriginal;
}

// ---- Timer and driver time -------------------------------------------------------------

ULONG Entry_GetDriverTime(DEVICE_EXTENSION *device)
{
    // Read atomically: the timer advances the count at dispatch level meanwhile.
    auto tickCount = static_cast<ULONG>(
        InterlockedCompareExchange(reinterpret_cast<LONG volatile *>(&device->tickCount), 0, 0));
    return tickCount * kMillisecondsPerTick;
}

void Entry_TimerCallback(PVOID context)
{
    auto *device = static_cast<DEVICE_EXTENSION *>(context);
    InterlockedIncrement(reinterpret_cast<LONG volatile *>(&device->tickCount));
    // timerRunning 0 is device uninitialise asking the timer to stop: answer
    // with 1 and stay unscheduled.
    if (InterlockedCompareExchange(reinterpret_cast<LONG volatile *>(&device->timerRunning), 1, 0) == 0)
        return;
    // Both watchdogs only compare times and create workers.
    Device_WatchdogTimer(device, Entry_GetDriverTime(device));
    Stream_WatchdogTimer(device, Entry_GetDriverTime(device));
    StreamClassScheduleTimer(nullptr, device, kTimerPeriodMicroseconds, Entry_TimerCallback, device);
}

// ---- Load -----------------------------------------------------------------------------

NTSTATUS DriverEntry(DRIVER_OBJECT *driverObject, UNICODE_STRING *registryPath)
{
    Debug_Init();

    HW_INITIALIZATION_DATA registration = {};
    registration.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
    registration.HwInterrupt = nullptr;
    registration.HwReceivePacket = mEntry_ReceiveDeviceSRB;
    registration.HwCancelPacket = mEntry_CancelSRB;
    registration.HwRequestTimeoutHandler = mEntry_RequestTimeoutHandler;
    registration.DeviceExtensionSize = sizeof(DEVICE_EXTENSION);
    registration.PerRequestExtensionSize = sizeof(PVOID); // the queue link, replaced on arrival
    registration.PerStreamExtensionSize = sizeof(STREAM_EXTENSION);
    registration.FilterInstanceExtensionSize = 0;
    registration.BusMasterDMA = FALSE;
    registration.Dma24BitAddresses = FALSE;
    registration.BufferAlignment = 3; // 4-byte alignment
    registration.TurnOffSynchronization = TRUE;
    registration.DmaBufferSize = 0;
    return StreamClassRegisterAdapter(driverObject, registryPath, &registration);
}
