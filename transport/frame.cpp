// Frame assembly. Each raw frame from the transfer is handled by one work item
// at passive level under the frame excluder: verify, tell capture control,
// decode when needed, double above 352 x 288, offer to the stream, give the raw
// buffer back. The decode buffer always holds the last decoded image, because
// a compressed frame only carries what changed: compressed frames are decoded
// even when nobody waits, and after any loss they are dropped until an
// uncompressed frame has been decoded (the full-frame flag).

#include "transport/frame.h"

#include <cstring>

#include "decode/decode_options.h"
#include "decode/resize.h"
#include "decode/zm4decode.h"
#include "driver/device_extension.h"
#include "driver/entry.h"
#include "driver/extns.h"
#include "driver/stream.h"
#include "driver/stream_data.h"
#include "transport/capture.h"
#include "transport/transfer.h"

// The video stream is stream 0.
constexpr ULONG kVideoStream = 0;

// The full-frame flag is also set by the transfer's warning at dispatch level.
static ULONG mFullFrameGet(DEVICE_EXTENSION *device)
{
    return static_cast<ULONG>(
        InterlockedCompareExchange(reinterpret_cast<LONG volatile *>(&device->frameFullFrame), 0, 0));
}

static void mFullFrameSet(DEVICE_EXTENSION *device, ULONG value)
{
    InterlockedExchange(reinterpret_cast<LONG volatile *>(&device->frameFullFrame), static_cast<LONG>(value));
}

static void mExtractHeaderInfo(const FrameHeaderInfo *info, ULONG *width, ULONG *height, ULONG *compressed,
                               ULONG *decimated)
{
    *width = (static_cast<ULONG>(info->colEnd) - info->colStart) / 2;
    *height = static_cast<ULONG>(info->rowEnd) - info->rowStart;
    *compressed = info->compression != 0;
    *decimated = info->decimation != 0;
}

static void mFinish(DEVICE_EXTENSION *device)
{
    Extns_Excluder_Acquire(&device->frameExcluder, "Frame: mFinish");
    if (device->frameDecodeBuffer != nullptr)
        ExFreePool(device->frameDecodeBuffer);
    device->frameDecodeBuffer = nullptr;
    device->frameSize = 0;
    if (device->frameUpscaleBuffer != nullptr)
        ExFreePool(device->frameUpscaleBuffer);
    device->frameUpscaleBuffer = nullptr;
    Extns_Excluder_Release(&device->frameExcluder);
}

// Capture control and camera control write the flag through a pointer from
// work items; they only ever set it, so a copy is handed to them and a set is
// merged back without losing a warning that came meanwhile.
static ULONG *mFullFrameCopy(DEVICE_EXTENSION *device, ULONG *copy)
{
    *copy = mFullFrameGet(device);
    return copy;
}

static void mFullFrameMerge(DEVICE_EXTENSION *device, ULONG copy)
{
    if (copy != 0)
        mFullFrameSet(device, 1);
}

// Black in the output layout: RGB 0; luma 16 and chroma 128 for the YUV
// layouts (planar: the luma plane of `pixels` bytes, then the chroma planes).
static void mFillBlack(UCHAR *buffer, ULONG size, ULONG format, ULONG pixels)
{
    if (format == ZM4_FORMAT_I420 || format == ZM4_FORMAT_YV12) {
        const ULONG luma = pixels < size ? pixels : size;
        std::memset(buffer, 16, luma);
        std::memset(buffer + luma, 128, size - luma);
    } else if (format == ZM4_FORMAT_YUY2 || format == ZM4_FORMAT_UYVY) {
        // Luma then chroma (chroma then luma in UYVY), the pair doubled out
        // to the end.
        const UCHAR pair[2] = {static_cast<UCHAR>(format == ZM4_FORMAT_YUY2 ? 16 : 128),
                               static_cast<UCHAR>(format == ZM4_FORMAT_YUY2 ? 128 : 16)};
        std::memcpy(buffer, pair, size < 2 ? size : 2);
        for (ULONG filled = 2; filled < size; filled *= 2)
            std::memcpy(buffer + filled, buffer, filled < size - filled ? filled : size - filled);
    } else {
        std::memset(buffer, 0, size);
    }
}

// The decoder's line image is the driver's own non-paged block, so that it
// counts, and can fail, with the rest of the driver's memory.
static void *mDecoderAllocate(size_t bytes, uint32_t tag)
{
    return ExAllocatePoolWithTag(NonPagedPool, bytes, tag);
}

static void mDecoderFree(void *block)
{
    ExFreePool(block);
}

NTSTATUS Frame_Initialise(DEVICE_EXTENSION *device)
{
    // Failures show later: a failed USB initialisation makes every start fail.
    Decode_SetAllocator(mDecoderAllocate, mDecoderFree);
    InitDecode();
    Extns_Excluder_Initialise(&device->frameExcluder);
    HostVerifierNameLock(&device->frameExcluder.event, "frame excluder");
    Transfer_Initialise(device);
    Capture_Initialise(device);
    return STATUS_SUCCESS;
}

NTSTATUS Frame_Terminate(DEVICE_EXTENSION *device)
{
    mFinish(device);
    Capture_Terminate(device);
    Transfer_Terminate(device);
    FiniDecode();
    return STATUS_SUCCESS;
}

NTSTATUS Frame_Start(DEVICE_EXTENSION *device, ULONG formatIndex, ULONG width, ULONG height)
{
    ULONG cameraWidth = width;
    ULONG cameraHeight = height;
    device->frameUpscale = 0;
    if (width > FRAME_CAMERA_MAX_WIDTH || height > FRAME_CAMERA_MAX_HEIGHT) {
        cameraWidth = width / 2;
        cameraHeight = height / 2;
        device->frameUpscale = 1;
    }

    const ULONG bitsPerPixel = StreamData_GetBitsPerPixel(kVideoStream, formatIndex);
    device->frameBitsPerPixel = bitsPerPixel;
    device->frameOutputFormat = FormatToSupplyFourCC(StreamData_GetFourCC(kVideoStream, formatIndex),
                                                     static_cast<uint16_t>(bitsPerPixel));
    device->frameSize = bitsPerPixel * height * width / 8;

    // The frame is held from the start, so a read may take the buffers before
    // anything was decoded into them: they hold black, so that it gets a black
    // image rather than whatever the pool held before (or, for the YUV
    // layouts, the green picture of all-zero bytes).
    ULONG allocated = 1;
    const ULONG decodeSize = device->frameUpscale ? device->frameSize / 4 : device->frameSize;
    device->frameDecodeBuffer =
        static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, decodeSize, EXTNS_POOL_TAG));
    if (device->frameDecodeBuffer == nullptr)
        allocated = 0;
    else
        mFillBlack(device->frameDecodeBuffer, decodeSize, device->frameOutputFormat,
                   cameraWidth * cameraHeight);
    if (device->frameUpscale) {
        device->frameUpscaleBuffer =
            static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, device->frameSize, EXTNS_POOL_TAG));
        if (device->frameUpscaleBuffer == nullptr)
            allocated = 0;
        else
            std::memset(device->frameUpscaleBuffer, 0, device->frameSize);
    }

    mFullFrameSet(device, 1);
    device->frameHeld = 1;
    device->frameDecimationState = 0;
    if (!allocated)
        return STATUS_INSUFFICIENT_RESOURCES;

    NTSTATUS status = Transfer_Start(device, cameraWidth, cameraHeight);
    if (!NT_SUCCESS(status))
        return status;
    return Capture_Start(device, cameraWidth, cameraHeight);
}

NTSTATUS Frame_Stop(DEVICE_EXTENSION *device)
{
    mFinish(device);
    Capture_Stop(device);
    Transfer_Stop(device);
    return STATUS_SUCCESS;
}

ULONG Frame_Request(DEVICE_EXTENSION *device)
{
    return Extns_Worker_Create(device, 0, 0, Entry_FrameRequest);
}

void Frame_RequestThread(EXTNS_WORKER *worker)
{
    PVOID context = nullptr;
    ULONG_PTR unused1 = 0;
    ULONG_PTR unused2 = 0;
    Extns_Worker_Destroy(worker, &context, &unused1, &unused2);
    auto *device = static_cast<DEVICE_EXTENSION *>(context);

    Extns_Excluder_Acquire(&device->frameExcluder, "Frame_RequestThread");
    ULONG fullFrame = 0;
    Capture_FrameRequested(device, mFullFrameCopy(device, &fullFrame));
    mFullFrameMerge(device, fullFrame);
    Extns_Excluder_Release(&device->frameExcluder);
}

ULONG Frame_BufferAvailable(DEVICE_EXTENSION *device, PVOID destination, ULONG size)
{
    if (!Extns_Excluder_Test_Acquire(&device->frameExcluder, "Frame_BufferAvailable"))
        return 0;
    ULONG copied = 0;
    if (size == device->frameSize && device->frameHeld == 1) {
        const UCHAR *image = device->frameUpscale ? device->frameUpscaleBuffer : device->frameDecodeBuffer;
        if (image != nullptr) {
            std::memcpy(destination, image, device->frameSize);
            device->frameHeld = 0;
            copied = 1;
        }
    }
    Extns_Excluder_Release(&device->frameExcluder);
    return copied;
}

void Frame_DataAvailable(DEVICE_EXTENSION *device, PVOID buffer, ULONG size)
{
    // A buffer whose work item cannot be queued goes straight back, or the
    // transfer would run short of buffers.
    if (!Extns_Worker_Create(device, reinterpret_cast<ULONG_PTR>(buffer), size, Entry_FrameDataAvailable))
        Transfer_ReturnBuffer(device, buffer, size);
}

// Decodes the verified frame at raw into the decode buffer and offers it (or
// its doubled form) to the stream. 1 when a waiting read took it; 0 when
// nobody took it; *failed when it could not be decoded.
static ULONG mDecodeAndOffer(DEVICE_EXTENSION *device, const UCHAR *raw, ULONG rawSize, ULONG width,
                             ULONG height, ULONG *failed)
{
    *failed = 1;
    const ULONG bitsPerPixel = device->frameBitsPerPixel;
    const ULONG decodeSize = device->frameUpscale ? device->frameSize / 4 : device->frameSize;
    // The header's window must fit the buffer the stream's format sized.
    const unsigned long long imageBytes = 1ull * bitsPerPixel * width * height / 8;
    if (imageBytes == 0 || imageBytes > decodeSize)
        return 0;
    // The doubling works on packed 24-bit pixels, the only format offered
    // above 352 x 288.
    if (device->frameUpscale && bitsPerPixel != 24)
        return 0;
    if (FormatStreamBounded(device->frameOutputFormat, raw, rawSize, device->frameDecodeBuffer, width, height,
                            &device->frameDecimationState) != ZM4_FRAME_OK)
        return 0;
    *failed = 0;

    if (device->frameUpscale) {
        std::memcpy(device->frameUpscaleBuffer, device->frameDecodeBuffer, device->frameSize / 4);
        Resize_by_2_PolyPhase(device->frameUpscaleBuffer, height, width);
        return Stream_FrameAvailable(device, device->frameUpscaleBuffer,
                                     bitsPerPixel * width * height * 4 / 8);
    }
    return Stream_FrameAvailable(device, device->frameDecodeBuffer, bitsPerPixel * width * height / 8);
}

void Frame_DataAvailableThread(EXTNS_WORKER *worker)
{
    PVOID context = nullptr;
    ULONG_PTR bufferWord = 0;
    ULONG_PTR sizeWord = 0;
    Extns_Worker_Destroy(worker, &context, &bufferWord, &sizeWord);
    auto *device = static_cast<DEVICE_EXTENSION *>(context);
    auto *raw = reinterpret_cast<UCHAR *>(bufferWord);
    const auto rawSize = static_cast<ULONG>(sizeWord);
    if (raw == nullptr)
        return;

    Extns_Excluder_Acquire(&device->frameExcluder, "Frame_DataAvailableThread");
    // Stopped: the transfer has freed its queued buffers; a buffer that was out
    // here is freed here, since nobody will fill it again.
    if (device->frameDecodeBuffer == nullptr) {
        Extns_Excluder_Release(&device->frameExcluder);
        ExFreePool(raw);
        return;
    }

    // Bounded by the buffer: the camera's bytes decide nothing about how far
    // the checks may read.
    FrameHeaderInfo info;
    StreamErrorDetails details;
    ULONG result = VerifyStreamBounded(raw, rawSize, &info, &details);
    if (result == ZM4_FRAME_MAGIC_MOVED && details.offset < rawSize)
        result = VerifyStreamBounded(raw + details.offset, rawSize - details.offset, &info, &details);

    ULONG width = 0;
    ULONG height = 0;
    ULONG compressed = 0;
    ULONG decimated = 0;
    ULONG decode = 0;
    ULONG onlyIfWanted = 0;
    if (result != ZM4_FRAME_OK) {
        mFullFrameSet(device, 1);
    } else {
        mExtractHeaderInfo(&info, &width, &height, &compressed, &decimated);
        decode = 1;
        if (!compressed && mFullFrameGet(device) != 0)
            mFullFrameSet(device, 0); // this frame re-establishes the image
        else if (!compressed)
            onlyIfWanted = 1;
        else
            decode = mFullFrameGet(device) == 0;
    }

    ULONG nextGrabIssued = 0;
    ULONG fullFrame = 0;
    Capture_FrameUploadComplete(device, mFullFrameCopy(device, &fullFrame), device->frameUpscale, decode,
                                &nextGrabIssued);
    mFullFrameMerge(device, fullFrame);

    if (compressed && mFullFrameGet(device) != 0)
        decode = 0;
    if (decode && onlyIfWanted)
        decode = Stream_RequestsQueued(device);

    device->frameHeld = 0;
    ULONG delivered = 0;
    if (decode) {
        ULONG failed = 0;
        delivered = mDecodeAndOffer(device, raw, rawSize, width, height, &failed);
        if (failed)
            mFullFrameSet(device, 1);
        else if (!delivered)
            device->frameHeld = 1;
    }

    Transfer_ReturnBuffer(device, raw, rawSize);
    const ULONG requestsWaiting = delivered ? Stream_RequestsQueued(device) : 0;
    Capture_FrameProcessComplete(device, delivered, requestsWaiting, nextGrabIssued);
    Extns_Excluder_Release(&device->frameExcluder);
}

void Frame_DataErrorWarning(DEVICE_EXTENSION *device, ULONG warning)
{
    if (warning == TRANSFER_WARNING_CRISIS)
        mFullFrameSet(device, 1);
}

void Frame_WatchdogTimer(DEVICE_EXTENSION *device, ULONG now)
{
    Transfer_WatchdogTimer(device, now);
    Capture_WatchdogTimer(device, now);
}
