// Isochronous transfer. The completion routine runs at dispatch level for every
// finished request: it only triages packets, copies good ones into the current
// frame buffer and resubmits the same request. Nothing is allocated per packet;
// requests, their buffers and the three frame buffers are made at start (and by
// a crisis) and reused until a completion decides not to resubmit.
//
// Locks: transfer excluder (crisis, stop) -> transfer spin lock (completions)
// -> empty-buffer queue lock. The flags that the timer's watchdog changes
// without the spin lock, and the counters that the crisis and the stop poll,
// are read and written with interlocked operations.

#include "transport/transfer.h"

#include <cstring>

#include "driver/debug.h"
#include "driver/device_extension.h"
#include "driver/entry.h"
#include "driver/extns.h"
#include "link/usbif.h"
#include "settings/registry.h"
#include "transport/frame.h"

// How long the crisis waits for requests to drain, before and after the abort,
// and how long the stop waits.
constexpr ULONG kCrisisDrainMs = 250;
constexpr ULONG kStopDrainMs = 1000;
constexpr ULONG kNoGoodPacketYet = 0xFFFFFFFF;

static ULONG mGet(ULONG *word)
{
    return static_cast<ULONG>(InterlockedCompareExchange(reinterpret_cast<LONG volatile *>(word), 0, 0));
}

static void mSet(ULONG *word, ULONG value)
{
    InterlockedExchange(reinterpret_cast<LONG volatile *>(word), static_cast<LONG>(value));
}

static void mFreeBuffer(PVOID buffer)
{
    if (buffer != nullptr)
        ExFreePool(buffer);
}

// "Bandwidth" as an alternate setting 1 to 3; anything else is replaced by the
// default, which is written back.
static ULONG mConfiguredBandwidth()
{
    ULONG bandwidth = 0;
    Registry_Read(REG_BANDWIDTH, &bandwidth);
    if (bandwidth < 1 || bandwidth > 3)
        Registry_Default(REG_BANDWIDTH, &bandwidth);
    return bandwidth;
}

// Lets the completions of the requests still at the bus run for up to ms.
static ULONG mDrain(DEVICE_EXTENSION *device, ULONG ms)
{
    LARGE_INTEGER deadline;
    Extns_TimeOut_Set(&deadline, ms);
    LARGE_INTEGER pause;
    pause.QuadPart = -10000; // 1 ms
    while (InterlockedCompareExchange(&device->xferRequestsInFlight, 0, 0) != 0) {
        if (Extns_TimeOut_TimedOut(&deadline))
            return 0;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
    return 1;
}

// Submits new requests until "XferIRPs" are out or one fails. The count goes up
// before each submission, so a request that completes before the call returns
// never drives it below what the bus holds. Our bus returns pending for every
// isochronous request that reaches it (even one it refuses completes later), so
// a failed submission never reached it: the USB interface has already freed
// what it allocated, and the count goes back down at once. The spin lock is not
// held across a submission: a bus that completed a request inside the call
// would otherwise run the completion routine into a lock its own processor
// holds.
static NTSTATUS mSubmitNewRequests(DEVICE_EXTENSION *device)
{
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < device->xferRequestsPerStream && NT_SUCCESS(status); ++i) {
        InterlockedIncrement(&device->xferRequestsInFlight);
        status = USBIF_SubmitISORequest(device, device->xferPacketsPerRequest, Entry_USBCallback, nullptr,
                                        nullptr, nullptr);
        if (!NT_SUCCESS(status))
            InterlockedDecrement(&device->xferRequestsInFlight);
    }
    return status;
}

static void mFreeRequest(IRP *irp, URB *urb, EXTNS_CONTEXT *context)
{
    IoFreeIrp(irp);
    mFreeBuffer(urb->UrbIsochronousTransfer.TransferBuffer);
    ExFreePool(urb);
    Extns_Context_Delete(context);
}

// Stops the flow and asks for the crisis work item; a crisis that cannot be
// queued leaves the flow stopped until the stream is restarted.
static void mQueueCrisis(DEVICE_EXTENSION *device)
{
    mSet(&device->xferRunning, 0);
    mSet(&device->xferCrisisPending, 1);
    Extns_Worker_Create(device, 0, 0, Entry_TransferCrisis);
}

static void mProcessPacket(DEVICE_EXTENSION *device, const UCHAR *data, ULONG length)
{
    if (length == 0)
        return;

    if (device->xferCurrentBuffer == nullptr) {
        EXTNS_EMPTY_BUFFER_NODE *node = nullptr;
        ULONG_PTR size = 0;
        Extns_EmptyBufferQueue_Remove(&device->xferEmptyBuffers, &node, &size);
        if (node == nullptr) {
            Frame_DataErrorWarning(device, TRANSFER_WARNING_NO_BUFFER);
            return;
        }
        device->xferCurrentBuffer = reinterpret_cast<UCHAR *>(node);
        device->xferBufferSize = static_cast<ULONG>(size);
        device->xferBufferFill = 0;
    }

    // A frame that would fill the buffer is not a frame of this stream: start
    // again from the buffer's beginning.
    if (device->xferBufferFill + length >= device->xferBufferSize) {
        device->xferBufferFill = 0;
        Frame_DataErrorWarning(device, TRANSFER_WARNING_OVERFLOW);
        return;
    }
    std::memcpy(device->xferCurrentBuffer + device->xferBufferFill, data, length);
    device->xferBufferFill += length;

    // The frame ends in this packet when its own last bytes are the last line's
    // end-of-line marker 0xFD and the end-of-frame 0xFF bytes (or five 0xFF).
    ULONG frameEnd = 0;
    if (length >= 5 && data[length - 1] == 0xFF) {
        for (ULONG back = 2; back <= 5; ++back) {
            const UCHAR byte = data[length - back];
            if (byte == 0xFD) {
                frameEnd = 1;
                break;
            }
            if (byte != 0xFF)
                break;
            if (back == 5)
                frameEnd = 1;
        }
    }
    if (frameEnd) {
        UCHAR *buffer = device->xferCurrentBuffer;
        device->xferCurrentBuffer = nullptr;
        device->xferBufferFill = 0;
        Frame_DataAvailable(device, buffer, device->xferBufferSize);
    }
}

static NTSTATUS mStopEverything(DEVICE_EXTENSION *device)
{
    Extns_Excluder_Acquire(&device->xferExcluder, "Transfer: mStopEverything");
    mSet(&device->xferCrisisPending, 0);
    if (mGet(&device->xferRunning) != 0) {
        // Completions now free their requests instead of resubmitting.
        mSet(&device->xferRunning, 0);
        mDrain(device, kStopDrainMs);
    }

    ULONG selected = 0;
    NTSTATUS status = USBIF_SetBandwidth(device, 0, &selected);

    for (;;) {
        EXTNS_EMPTY_BUFFER_NODE *node = nullptr;
        ULONG_PTR size = 0;
        Extns_EmptyBufferQueue_Remove(&device->xferEmptyBuffers, &node, &size);
        if (node == nullptr)
            break;
        ExFreePool(node);
    }
    // Under the spin lock: a completion that was already past its running test
    // when the flow stopped may still be filling the buffer.
    KIRQL irql = KfAcquireSpinLock(&device->xferSpinLock);
    UCHAR *current = device->xferCurrentBuffer;
    device->xferCurrentBuffer = nullptr;
    device->xferBufferFill = 0;
    KfReleaseSpinLock(&device->xferSpinLock, irql);
    mFreeBuffer(current);

    Extns_Excluder_Release(&device->xferExcluder);
    return status;
}

NTSTATUS Transfer_Initialise(DEVICE_EXTENSION *device)
{
    device->xferRequestsInFlight = 0;
    device->xferRunning = 0;
    device->xferFailedRequests = 0;
    device->xferCompletedRequests = 0;
    device->xferFailedPackets = 0;
    device->xferBufferSize = 0;
    device->xferBufferFill = 0;
    device->xferCurrentBuffer = nullptr;
    device->xferLastGoodPacketTime = kNoGoodPacketYet;
    device->xferEmptyBuffers.head = nullptr;
    KeInitializeSpinLock(&device->xferEmptyBuffers.lock);
    HostVerifierNameLock(&device->xferEmptyBuffers.lock, "empty-buffer queue lock");

    Registry_GetDefault(REG_XFER_PACKETS, &device->xferPacketsPerRequest);
    Registry_Read(REG_XFER_PACKETS, &device->xferPacketsPerRequest);
    Registry_Write(REG_XFER_PACKETS, device->xferPacketsPerRequest);
    Registry_GetDefault(REG_XFER_IRPS, &device->xferRequestsPerStream);
    Registry_Read(REG_XFER_IRPS, &device->xferRequestsPerStream);
    Registry_Write(REG_XFER_IRPS, device->xferRequestsPerStream);

    Extns_Excluder_Initialise(&device->xferExcluder);
    HostVerifierNameLock(&device->xferExcluder.event, "transfer excluder");
    KeInitializeSpinLock(&device->xferSpinLock);
    HostVerifierNameLock(&device->xferSpinLock, "transfer spin lock");
    return USBIF_Initialise(device);
}

void Transfer_Terminate(DEVICE_EXTENSION *device)
{
    mStopEverything(device);
    USBIF_Terminate(device);
}

NTSTATUS Transfer_Start(DEVICE_EXTENSION *device, ULONG width, ULONG height)
{
    ULONG selected = 0;
    NTSTATUS status = USBIF_SetBandwidth(device, mConfiguredBandwidth(), &selected);
    if (!NT_SUCCESS(status))
        return status;

    device->xferRequestsInFlight = 0;
    device->xferFailedRequests = 0;
    device->xferFailedPackets = 0;
    device->xferCompletedRequests = 0;
    device->xferBufferFill = 0;
    device->xferBufferSize = 0;
    device->xferCurrentBuffer = nullptr;
    mSet(&device->xferCrisisPending, 0);
    mSet(&device->xferConsecutiveCrises, 0);

    const ULONG size = Transfer_FrameBufferSize(width, height);
    for (ULONG i = 0; i < TRANSFER_FRAME_BUFFERS; ++i) {
        PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, size, EXTNS_POOL_TAG);
        if (buffer != nullptr)
            Transfer_ReturnBuffer(device, buffer, size);
    }

    mSet(&device->xferRunning, 1);
    mSet(&device->xferLastGoodPacketTime, Entry_GetDriverTime(device));
    status = mSubmitNewRequests(device);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
}

NTSTATUS Transfer_Stop(DEVICE_EXTENSION *device)
{
    return mStopEverything(device);
}

NTSTATUS Transfer_USBCallback(IRP *irp, PVOID context)
{
    auto *block = static_cast<EXTNS_CONTEXT *>(context);
    ULONG_PTR deviceWord = 0;
    ULONG_PTR urbWord = 0;
    Extns_Context_Decode(block, &deviceWord, &urbWord);
    auto *device = reinterpret_cast<DEVICE_EXTENSION *>(deviceWord);
    auto *urb = reinterpret_cast<URB *>(urbWord);

    KIRQL irql = KfAcquireSpinLock(&device->xferSpinLock);
    InterlockedIncrement(&device->xferCompletedRequests);
    InterlockedDecrement(&device->xferRequestsInFlight);

    if (mGet(&device->xferRunning) != 0) {
        if (!NT_SUCCESS(irp->IoStatus.Status)) {
            InterlockedIncrement(&device->xferFailedRequests);
            Frame_DataErrorWarning(device, TRANSFER_WARNING_FAILED_REQUEST);
            // One failed request only arms the crisis; a second one in a row
            // (no good packet in between) sets it off.
            if (mGet(&device->xferCrisisPending) != 0)
                mQueueCrisis(device);
            else
                mSet(&device->xferCrisisPending, 1);
        } else {
            auto &iso = urb->UrbIsochronousTransfer;
            const auto *data = static_cast<const UCHAR *>(iso.TransferBuffer);
            ULONG good = 0;
            for (ULONG i = 0; i < device->xferPacketsPerRequest && i < iso.NumberOfPackets; ++i) {
                const USBD_ISO_PACKET_DESCRIPTOR &packet = iso.IsoPacket[i];
                // A length that runs past the transfer buffer cannot be the bus's.
                const bool inside = packet.Offset <= iso.TransferBufferLength &&
                                    packet.Length <= iso.TransferBufferLength - packet.Offset;
                if (USBD_SUCCESS(packet.Status) && inside) {
                    ++good;
                    mSet(&device->xferCrisisPending, 0);
                    mSet(&device->xferConsecutiveCrises, 0);
                    mSet(&device->xferLastGoodPacketTime, Entry_GetDriverTime(device));
                    mProcessPacket(device, data + packet.Offset, packet.Length);
                } else {
                    InterlockedIncrement(&device->xferFailedPackets);
                    Frame_DataErrorWarning(device, TRANSFER_WARNING_FAILED_PACKET);
                }
            }
            if (good == 0)
                mQueueCrisis(device);
        }
    }

    if (mGet(&device->xferRunning) == 0) {
        mFreeRequest(irp, urb, block);
        KfReleaseSpinLock(&device->xferSpinLock, irql);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    // Resubmitted with the lock released (see mSubmitNewRequests); the request
    // counts as out from before the call.
    InterlockedIncrement(&device->xferRequestsInFlight);
    KfReleaseSpinLock(&device->xferSpinLock, irql);
    NTSTATUS status =
        USBIF_SubmitISORequest(device, device->xferPacketsPerRequest, Entry_USBCallback, block, irp, urb);
    if (!NT_SUCCESS(status)) {
        // Refused before it reached the bus: nobody else will complete it, so
        // its IRP, URB, buffer and context are ours to free.
        InterlockedDecrement(&device->xferRequestsInFlight);
        mFreeRequest(irp, urb, block);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void Transfer_ReturnBuffer(DEVICE_EXTENSION *device, PVOID buffer, ULONG size)
{
    Extns_EmptyBufferQueue_Add(&device->xferEmptyBuffers, static_cast<EXTNS_EMPTY_BUFFER_NODE *>(buffer),
                               size);
}

void Transfer_WatchdogTimer(DEVICE_EXTENSION *device, ULONG now)
{
    if (mGet(&device->xferRunning) != 0 && now > mGet(&device->xferLastGoodPacketTime) + TRANSFER_STALL_MS)
        mQueueCrisis(device);
}

void Transfer_Crisis(EXTNS_WORKER *worker)
{
    PVOID context = nullptr;
    ULONG_PTR unused1 = 0;
    ULONG_PTR unused2 = 0;
    Extns_Worker_Destroy(worker, &context, &unused1, &unused2);
    auto *device = static_cast<DEVICE_EXTENSION *>(context);
    Debug_IncrementCrisisCount();

    Extns_Excluder_Acquire(&device->xferExcluder, "Transfer_Crisis");
    // Compressed frames mean nothing until an uncompressed one rebuilds the image.
    Frame_DataErrorWarning(device, TRANSFER_WARNING_CRISIS);
    if (mGet(&device->xferCrisisPending) == 0) {
        Extns_Excluder_Release(&device->xferExcluder);
        return;
    }
    if (mGet(&device->xferConsecutiveCrises) >= TRANSFER_MAX_CRISES) {
        Extns_Excluder_Release(&device->xferExcluder);
        Debug_ProblemSet(DEBUG_PROBLEM_TRANSFER_GAVE_UP, 1);
        return;
    }
    mSet(&device->xferConsecutiveCrises, mGet(&device->xferConsecutiveCrises) + 1);

    if (!mDrain(device, kCrisisDrainMs)) {
        USBIF_IsoPipeAbort(device);
        mDrain(device, kCrisisDrainMs);
    }

    USBIF_IsoPipeReset(device);
    ULONG selected = 0;
    USBIF_SetBandwidth(device, 0, &selected);
    NTSTATUS status = USBIF_SetBandwidth(device, mConfiguredBandwidth(), &selected);

    mSet(&device->xferLastGoodPacketTime, Entry_GetDriverTime(device));
    mSet(&device->xferCrisisPending, 0);
    mSet(&device->xferRunning, 1);

    // Without requests out the watchdog starts the next crisis 200 ms later.
    if (NT_SUCCESS(status))
        mSubmitNewRequests(device);
    Extns_Excluder_Release(&device->xferExcluder);
}
