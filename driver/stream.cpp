// The video stream object. Control requests of a stream are serialised by the
// stream control queue and reads by the stream data queue, but the two run
// alongside each other, frame assembly's worker, the watchdog (dispatch level)
// and the filler worker. What they share: the pending read queues (only ever
// touched through the spin-locked queue operations; a look at the head takes
// it and puts it back), the running count, the instances' states and the last
// frame time (interlocked).

#include "driver/stream.h"

#include <cstring>

#include "driver/debug.h"
#include "driver/device_extension.h"
#include "driver/entry.h"
#include "driver/extns.h"
#include "driver/stream_data.h"
#include "driver/stream_format.h"
#include "driver/stream_time.h"
#include "settings/settings_record.h"
#include "transport/frame.h"

// A read arriving within this many ms of the last frame may take a held
// frame at once instead of waiting for the next one.
constexpr ULONG kDirectReadWindowMs = 200;
// No frame for this long while the pipeline runs: a filler frame.
constexpr ULONG kFillerAfterMs = 2500;
// The fill byte of a frame whose length is not the stream's frame size.
constexpr UCHAR kWrongLengthFill = 0xFA;

static DEVICE_EXTENSION *mDevice(HW_STREAM_REQUEST_BLOCK *srb)
{
    return static_cast<DEVICE_EXTENSION *>(srb->HwDeviceExtension);
}

static STREAM_EXTENSION *mInstance(HW_STREAM_REQUEST_BLOCK *srb)
{
    return static_cast<STREAM_EXTENSION *>(srb->StreamObject->HwStreamExtension);
}

static KSSTATE mState(const STREAM_EXTENSION *instance)
{
    return static_cast<KSSTATE>(
        InterlockedCompareExchange(const_cast<LONG volatile *>(&instance->state), 0, 0));
}

static void mSetLastFrameTime(DEVICE_EXTENSION *device)
{
    InterlockedExchange(reinterpret_cast<LONG volatile *>(&device->lastFrameTime),
                        static_cast<LONG>(Entry_GetDriverTime(device)));
}

static ULONG mLastFrameTime(DEVICE_EXTENSION *device)
{
    return static_cast<ULONG>(
        InterlockedCompareExchange(reinterpret_cast<LONG volatile *>(&device->lastFrameTime), 0, 0));
}

// A stream number the driver offers, on a device whose stream state exists
// (a device whose initialise failed has none).
static ULONG mStreamNumberValid(HW_STREAM_REQUEST_BLOCK *srb)
{
    return srb->StreamObject != nullptr && srb->StreamObject->StreamNumber < StreamData_GetStreamCount() &&
                   mDevice(srb)->streamInstances != nullptr
               ? 1
               : 0;
}

// Bytes of one output frame of the current format.
static ULONG mFrameSize(DEVICE_EXTENSION *device, ULONG stream)
{
    const ULONG bits = StreamData_GetBitsPerPixel(stream, device->streamFormatIndex);
    return static_cast<ULONG>(device->streamWidth) * static_cast<ULONG>(device->streamHeight) * bits / 8;
}

// A read that ends without a frame: STATUS_TIMEOUT, nothing transferred.
static void mCompleteReadNoData(HW_STREAM_REQUEST_BLOCK *srb, NTSTATUS status)
{
    srb->Status = status;
    srb->ActualBytesTransferred = 0;
    Entry_CompleteStreamSRB(srb);
}

static void mEmptyPendingQueue(EXTNS_SRB_QUEUE *queue)
{
    HW_STREAM_REQUEST_BLOCK *srb;
    for (Extns_SRBQueue_Remove(queue, &srb); srb != nullptr; Extns_SRBQueue_Remove(queue, &srb))
        mCompleteReadNoData(srb, STATUS_TIMEOUT);
}

// ---- Device lifetime ---------------------------------------------------------------

static void mFreeStreamState(DEVICE_EXTENSION *device)
{
    const ULONG streams = StreamData_GetStreamCount();
    if (device->streamInstances != nullptr) {
        for (ULONG i = 0; i < streams; ++i) {
            if (device->streamInstances[i] != nullptr) {
                Extns_StreamData_Finish(device->streamInstances[i]);
                ExFreePool(device->streamInstances[i]);
            }
        }
        ExFreePool(device->streamInstances);
        device->streamInstances = nullptr;
    }
    if (device->pendingReadQueues != nullptr) {
        ExFreePool(device->pendingReadQueues);
        device->pendingReadQueues = nullptr;
    }
}

NTSTATUS Stream_Initialise(DEVICE_EXTENSION *device)
{
    const ULONG streams = StreamData_GetStreamCount();
    device->streamInstances = static_cast<EXTNS_STREAM_DATA **>(
        ExAllocatePoolWithTag(NonPagedPool, streams * sizeof(EXTNS_STREAM_DATA *), EXTNS_POOL_TAG));
    device->pendingReadQueues = static_cast<EXTNS_SRB_QUEUE *>(
        ExAllocatePoolWithTag(NonPagedPool, streams * sizeof(EXTNS_SRB_QUEUE), EXTNS_POOL_TAG));
    ULONG ok = device->streamInstances != nullptr && device->pendingReadQueues != nullptr ? 1 : 0;
    if (device->streamInstances != nullptr)
        std::memset(device->streamInstances, 0, streams * sizeof(EXTNS_STREAM_DATA *));
    for (ULONG i = 0; ok == 1 && i < streams; ++i) {
        auto *record = static_cast<EXTNS_STREAM_DATA *>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(EXTNS_STREAM_DATA), EXTNS_POOL_TAG));
        if (record == nullptr) {
            ok = 0;
            break;
        }
        std::memset(record, 0, sizeof(*record));
        device->streamInstances[i] = record;
        if (Extns_StreamData_Init(record, StreamData_GetAllowedInstanceCount(i)) == 0)
            ok = 0;
        std::memset(&device->pendingReadQueues[i], 0, sizeof(EXTNS_SRB_QUEUE));
        Extns_SRBQueue_CheckInitialise(&device->pendingReadQueues[i]);
    }
    device->openCount = 0;
    device->streamHeight = 0;
    device->streamFormatIndex = 0;
    device->runningCount = 0;
    StreamTime_VfWStreamReset(device, 0);
    if (ok == 0) {
        // A device whose initialise failed is never uninitialised: leave
        // nothing allocated behind.
        mFreeStreamState(device);
        return STATUS_IO_DEVICE_ERROR;
    }
    return Frame_Initialise(device);
}

void Stream_Terminate(DEVICE_EXTENSION *device)
{
    Frame_Terminate(device);
    if (device->pendingReadQueues != nullptr) {
        for (ULONG i = 0; i < StreamData_GetStreamCount(); ++i)
            mEmptyPendingQueue(&device->pendingReadQueues[i]);
    }
    mFreeStreamState(device);
}

// ---- Device requests -----------------------------------------------------------------

ULONG Stream_DescriptorSize()
{
    return static_cast<ULONG>(sizeof(HW_STREAM_HEADER) +
                              StreamData_GetStreamCount() * sizeof(HW_STREAM_INFORMATION));
}

void Stream_GetInfo(HW_STREAM_REQUEST_BLOCK *srb)
{
    const ULONG streams = StreamData_GetStreamCount();
    const ULONG needed = Stream_DescriptorSize();
    HW_STREAM_DESCRIPTOR *descriptor = srb->CommandData.StreamBuffer;
    if (descriptor == nullptr || srb->NumberOfBytesToTransfer < needed) {
        srb->Status = STATUS_IO_DEVICE_ERROR;
        Entry_CompleteDeviceSRB(srb);
        return;
    }
    HW_STREAM_HEADER &header = descriptor->StreamHeader;
    header.NumberOfStreams = streams;
    header.SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
    header.NumDevPropArrayEntries = StreamData_GetPropertyTableCount();
    header.DevicePropertiesArray = StreamData_GetPropertyTablePtr();
    header.Topology = StreamData_GetTopologyPtr();
    std::memcpy(&descriptor->StreamInfo, StreamData_GetStreamDataPtr(),
                streams * sizeof(HW_STREAM_INFORMATION));
    Entry_CompleteDeviceSRB(srb);
}

void Stream_InitialiseComplete(HW_STREAM_REQUEST_BLOCK *srb)
{
    srb->Status = STATUS_SUCCESS;
    Entry_CompleteDeviceSRB(srb);
}

// The format's size, as its video info header gives it.
static void mFormatSize(const KSDATAFORMAT *format, LONG *width, LONG *height)
{
    const auto *video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER *>(format);
    *width = video->VideoInfoHeader.bmiHeader.biWidth;
    *height = video->VideoInfoHeader.bmiHeader.biHeight;
}

void Stream_Open(HW_STREAM_REQUEST_BLOCK *srb)
{
    DEVICE_EXTENSION *device = mDevice(srb);
    HW_STREAM_OBJECT *object = srb->StreamObject;
    auto *instance = static_cast<STREAM_EXTENSION *>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(STREAM_EXTENSION), EXTNS_POOL_TAG));
    if (instance == nullptr) {
        // Nothing to hang the open on: refuse it, leaving the port's extension.
        srb->Status = STATUS_INSUFFICIENT_RESOURCES;
        PropMan_ResetSessionProperties(device);
        Entry_CompleteDeviceSRB(srb);
        return;
    }
    std::memset(instance, 0, sizeof(*instance));
    object->HwStreamExtension = instance;
    instance->streamObject = object;

    ULONG index = 0;
    ULONG counted = 0;
    if (mStreamNumberValid(srb) == 0 ||
        StreamFormat_GetFormatIndex(srb->CommandData.OpenFormat, object->StreamNumber, &index) == 0) {
        srb->Status = STATUS_TOO_MANY_NODES;
    } else {
        LONG width;
        LONG height;
        mFormatSize(srb->CommandData.OpenFormat, &width, &height);
        if (device->openCount == 0) {
            device->openCount = 1;
            device->streamWidth = width;
            device->streamHeight = height;
            device->streamFormatIndex = index;
            counted = 1;
        } else if (index == device->streamFormatIndex && width == device->streamWidth &&
                   height == device->streamHeight) {
            device->openCount += 1;
            counted = 1;
        } else {
            srb->Status = STATUS_UNSUCCESSFUL;
        }
    }
    if (srb->Status == STATUS_SUCCESS &&
        Extns_StreamData_AddInstance(device->streamInstances[object->StreamNumber], instance) == 0) {
        srb->Status = STATUS_TOO_MANY_NODES;
        if (counted == 1)
            device->openCount -= 1;
    }
    if (srb->Status == STATUS_SUCCESS) {
        object->ReceiveDataPacket = Entry_ReceiveStreamDataSRB;
        object->ReceiveControlPacket = Entry_ReceiveStreamControlSRB;
        object->Dma = FALSE;
        object->Pio = TRUE;
        object->StreamHeaderMediaSpecific = 64;
        object->StreamHeaderWorkspace = 0;
    } else {
        object->HwStreamExtension = nullptr;
        ExFreePool(instance);
    }
    PropMan_ResetSessionProperties(device);
    Entry_CompleteDeviceSRB(srb);
}

void Stream_Close(HW_STREAM_REQUEST_BLOCK *srb)
{
    DEVICE_EXTENSION *device = mDevice(srb);
    STREAM_EXTENSION *instance = mInstance(srb);
    if (mStreamNumberValid(srb) == 1)
        Extns_StreamData_RemoveInstance(device->streamInstances[srb->StreamObject->StreamNumber], instance);
    else
        srb->Status = STATUS_TOO_MANY_NODES;
    device->openCount -= 1;
    srb->StreamObject->HwStreamExtension = nullptr;
    ExFreePool(instance);
    Entry_CompleteDeviceSRB(srb);
}

// ---- Stream control requests -----------------------------------------------------------

void Stream_SetState(HW_STREAM_REQUEST_BLOCK *srb)
{
    DEVICE_EXTENSION *device = mDevice(srb);
    STREAM_EXTENSION *instance = mInstance(srb);
    const KSSTATE state = srb->CommandData.StreamState;
    const KSSTATE previous =
        static_cast<KSSTATE>(InterlockedExchange(&instance->state, static_cast<LONG>(state)));
    EXTNS_SRB_QUEUE *pending = &device->pendingReadQueues[srb->StreamObject->StreamNumber];

    switch (state) {
    case KSSTATE_STOP:
        // Only STOP from PAUSE ends this instance's run; the last one to stop
        // stops the pipeline.
        if (previous == KSSTATE_PAUSE && InterlockedDecrement(&device->runningCount) == 0)
            srb->Status = Frame_Stop(device);
        mEmptyPendingQueue(pending);
        break;
    case KSSTATE_PAUSE:
        if ((previous == KSSTATE_STOP || previous == KSSTATE_ACQUIRE) &&
            InterlockedIncrement(&device->runningCount) == 1) {
            mSetLastFrameTime(device);
            srb->Status =
                Frame_Start(device, device->streamFormatIndex, device->streamWidth, device->streamHeight);
        }
        break;
    case KSSTATE_RUN:
        StreamTime_VfWStreamReset(device, 0);
        break;
    default:
        break;
    }
    Entry_CompleteStreamSRB(srb);
}

void Stream_GetState(HW_STREAM_REQUEST_BLOCK *srb)
{
    const KSSTATE state = mState(mInstance(srb));
    srb->CommandData.StreamState = state;
    srb->ActualBytesTransferred = sizeof(KSSTATE);
    // A paused capture stream has no data to preview yet.
    srb->Status = state == KSSTATE_PAUSE ? STATUS_NO_DATA_DETECTED : STATUS_SUCCESS;
    Entry_CompleteStreamSRB(srb);
}

void Stream_SetClock(HW_STREAM_REQUEST_BLOCK *srb)
{
    mInstance(srb)->masterClock = srb->CommandData.MasterClockHandle;
    srb->Status = STATUS_SUCCESS;
    Entry_CompleteStreamSRB(srb);
}

// The format index, width and height of a request's format; 0 when the stream
// number is bad or no range accepts the format.
static ULONG mRequestFormat(HW_STREAM_REQUEST_BLOCK *srb, ULONG *index, LONG *width, LONG *height)
{
    if (mStreamNumberValid(srb) == 0 ||
        StreamFormat_GetFormatIndex(srb->CommandData.OpenFormat, srb->StreamObject->StreamNumber, index) == 0)
        return 0;
    mFormatSize(srb->CommandData.OpenFormat, width, height);
    return 1;
}

void Stream_ProposeDataFormat(HW_STREAM_REQUEST_BLOCK *srb)
{
    DEVICE_EXTENSION *device = mDevice(srb);
    ULONG index;
    LONG width;
    LONG height;
    if (mRequestFormat(srb, &index, &width, &height) == 0)
        srb->Status = STATUS_TOO_MANY_NODES;
    else if (device->openCount != 1 && (index != device->streamFormatIndex || width != device->streamWidth ||
                                        height != device->streamHeight))
        srb->Status = STATUS_NO_MATCH;
    Entry_CompleteStreamSRB(srb);
}

void Stream_SetDataFormat(HW_STREAM_REQUEST_BLOCK *srb)
{
    DEVICE_EXTENSION *device = mDevice(srb);
    ULONG index;
    LONG width;
    LONG height;
    if (mState(mInstance(srb)) != KSSTATE_STOP) {
        srb->Status = STATUS_UNSUCCESSFUL;
    } else if (mRequestFormat(srb, &index, &width, &height) == 0) {
        srb->Status = STATUS_TOO_MANY_NODES;
    } else if (device->openCount == 1) {
        device->streamFormatIndex = index;
        device->streamWidth = width;
        device->streamHeight = height;
    } else {
        srb->Status = STATUS_UNSUCCESSFUL;
    }
    Entry_CompleteStreamSRB(srb);
}

// ---- Reads and frames -----------------------------------------------------------------------

void Stream_ReadFrame(HW_STREAM_REQUEST_BLOCK *srb)
{
    DEVICE_EXTENSION *device = mDevice(srb);
    const KSSTATE state = mState(mInstance(srb));
    if (state == KSSTATE_STOP) {
        mCompleteReadNoData(srb, STATUS_SUCCESS);
        return;
    }
    const ULONG stream = srb->StreamObject->StreamNumber;
    KSSTREAM_HEADER *header = srb->CommandData.DataBufferArray;
    const ULONG frameSize = mFrameSize(device, stream);
    // Every delivery writes a whole frame: a buffer that cannot hold one is
    // refused rather than overrun.
    if (header == nullptr || header->Data == nullptr || header->FrameExtent < frameSize) {
        mCompleteReadNoData(srb, STATUS_BUFFER_TOO_SMALL);
        return;
    }
    EXTNS_SRB_QUEUE *pending = &device->pendingReadQueues[stream];

    if (StreamClassGetVfWInfo(srb) == nullptr && state == KSSTATE_RUN) {
        HW_STREAM_REQUEST_BLOCK *head;
        Extns_SRBQueue_Remove(pending, &head);
        if (head != nullptr)
            Extns_SRBQueue_Replace(pending, head);
        if (head == nullptr && mLastFrameTime(device) > Entry_GetDriverTime(device) - kDirectReadWindowMs &&
            Frame_BufferAvailable(device, header->Data, frameSize) != 0) {
            header->DataUsed = frameSize;
            Entry_CompleteStreamSRB(srb);
            return;
        }
    }
    if (Stream_RequestsQueued(device) == 1)
        mSetLastFrameTime(device);
    Extns_SRBQueue_Add(pending, srb);
    Frame_Request(device);
}

void Stream_CancelFrameRequest(HW_STREAM_REQUEST_BLOCK *srb, ULONG queued)
{
    DEVICE_EXTENSION *device = mDevice(srb);
    if (mStreamNumberValid(srb) == 1 && device->pendingReadQueues != nullptr)
        queued |= Extns_SRBQueue_Delete(&device->pendingReadQueues[srb->StreamObject->StreamNumber], srb);
    // A read in no queue is being handled (dispatched, delivered or stopped)
    // and is completed by that path: completing it here too would free it twice.
    if (queued != 0)
        mCompleteReadNoData(srb, STATUS_TIMEOUT);
}

ULONG Stream_FrameAvailable(DEVICE_EXTENSION *device, PVOID frame, ULONG length)
{
    mSetLastFrameTime(device);
    ULONG result = 0;
    // A filler worker queued by the last tick may run after terminate.
    if (device->pendingReadQueues == nullptr)
        return result;
    for (ULONG stream = 0; stream < StreamData_GetStreamCount(); ++stream) {
        EXTNS_SRB_QUEUE *pending = &device->pendingReadQueues[stream];
        HW_STREAM_REQUEST_BLOCK *srb;
        Extns_SRBQueue_Remove(pending, &srb);
        if (srb == nullptr)
            continue;
        if (mState(mInstance(srb)) != KSSTATE_RUN) {
            Extns_SRBQueue_Replace(pending, srb);
            continue;
        }
        const ULONG deliver = StreamTime_VfWStreamTiming(device, srb);
        result = StreamTime_StreamMode(device, srb);
        if (deliver == 0) {
            Extns_SRBQueue_Replace(pending, srb);
            return result;
        }
        KSSTREAM_HEADER *header = srb->CommandData.DataBufferArray;
        const ULONG frameSize = mFrameSize(device, stream);
        if (frame != nullptr && length == frameSize) {
            std::memcpy(header->Data, frame, frameSize);
            result = 1;
        } else if (frame != nullptr) {
            std::memset(header->Data, kWrongLengthFill, frameSize);
        } else {
            srb->Status = STATUS_TIMEOUT;
            std::memset(header->Data, static_cast<UCHAR>(ReadNoFence(&device->settings.noDataValue)),
                        frameSize);
            Debug_ProblemSet(DEBUG_PROBLEM_FILLER_FRAME, 1);
        }
        StreamTime_VfWStreamFrameDone(device, srb);
        header->DataUsed = frameSize;
        Entry_CompleteStreamSRB(srb);
    }
    return result;
}

ULONG Stream_RequestsQueued(DEVICE_EXTENSION *device)
{
    mSetLastFrameTime(device);
    if (device->pendingReadQueues == nullptr)
        return 0;
    for (ULONG stream = 0; stream < StreamData_GetStreamCount(); ++stream) {
        EXTNS_SRB_QUEUE *pending = &device->pendingReadQueues[stream];
        HW_STREAM_REQUEST_BLOCK *srb;
        Extns_SRBQueue_Remove(pending, &srb);
        if (srb == nullptr)
            continue;
        const KSSTATE state = mState(mInstance(srb));
        Extns_SRBQueue_Replace(pending, srb);
        if (state != KSSTATE_STOP)
            return 1;
    }
    return 0;
}

void Stream_WatchdogTimer(DEVICE_EXTENSION *device, ULONG driverTime)
{
    Frame_WatchdogTimer(device, driverTime);
    if (InterlockedCompareExchange(&device->runningCount, 0, 0) > 0 &&
        driverTime > mLastFrameTime(device) + kFillerAfterMs)
        Extns_Worker_Create(device, 0, 0, Entry_StreamEmptyFrame);
}
