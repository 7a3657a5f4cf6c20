// The port library's application side of a stream: the formats a stream
// offers and a format built from one, and an open stream's states, format
// requests and reads into the application's buffers.
#include <cstring>

#include "platform/port/port.h"
#include "platform/port/port_internal.h"

namespace zm4::host {

using namespace portdetail;

namespace {

// A frame's bytes as the driver fills them: no row padding.
size_t frameBytesOf(const KS_DATAFORMAT_VIDEOINFOHEADER &format)
{
    const KS_BITMAPINFOHEADER &bmi = format.VideoInfoHeader.bmiHeader;
    if (bmi.biWidth <= 0 || bmi.biHeight <= 0)
        return 0;
    return static_cast<size_t>(bmi.biWidth) * static_cast<size_t>(bmi.biHeight) * bmi.biBitCount / 8;
}

} // namespace

// ---- Formats -------------------------------------------------------------------------

std::string VideoRange::name() const
{
    const ULONG compression = range.VideoInfoHeader.bmiHeader.biCompression;
    if (compression == KS_BI_RGB)
        return bitCount() == 24 ? "rgb24" : bitCount() == 16 ? "rgb555" : "rgb" + std::to_string(bitCount());
    std::string name;
    for (int shift = 0; shift < 32; shift += 8)
        name += static_cast<char>(std::tolower(static_cast<unsigned char>(compression >> shift)));
    return name;
}

bool VideoRange::accepts(LONG width, LONG height) const
{
    const KS_VIDEO_STREAM_CONFIG_CAPS &caps = range.ConfigCaps;
    return width >= caps.MinOutputSize.cx && width <= caps.MaxOutputSize.cx &&
           height >= caps.MinOutputSize.cy && height <= caps.MaxOutputSize.cy &&
           caps.OutputGranularityX > 0 && caps.OutputGranularityY > 0 &&
           width % caps.OutputGranularityX == 0 && height % caps.OutputGranularityY == 0;
}

std::vector<uint8_t> videoFormatFromRange(const KS_DATARANGE_VIDEO &range, LONG width, LONG height)
{
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    std::memcpy(&format.DataFormat, &range.DataRange, sizeof(KSDATAFORMAT));
    format.DataFormat.FormatSize = sizeof(format);
    format.VideoInfoHeader = range.VideoInfoHeader;
    KS_BITMAPINFOHEADER &bmi = format.VideoInfoHeader.bmiHeader;
    bmi.biWidth = width;
    bmi.biHeight = height;
    bmi.biSizeImage = static_cast<ULONG>(frameBytesOf(format));
    format.DataFormat.SampleSize = bmi.biSizeImage;
    std::vector<uint8_t> bytes(sizeof(format));
    std::memcpy(bytes.data(), &format, sizeof(format));
    return bytes;
}

// ---- Stream -----------------------------------------------------------------------

Stream::Stream(Adapter &adapter, ULONG streamNumber) : adapter_(adapter)
{
    const ULONG extension = adapter.port_.registration_.PerStreamExtensionSize;
    portExtension_.assign(extension / 8 + 1, 0);
    object_.SizeOfThisPacket = sizeof(object_);
    object_.StreamNumber = streamNumber;
    object_.HwStreamExtension = portExtension_.data();
    object_.HwDeviceExtension = adapter.deviceExtension_;
}

Stream::~Stream()
{
    close();
}

NTSTATUS Stream::close()
{
    if (closed_)
        return STATUS_SUCCESS;
    // The stop and the close reach the driver whatever the pool says: an
    // application's close cannot be refused.
    if (state_ == KSSTATE_RUN)
        setState(KSSTATE_PAUSE, true);
    if (state_ != KSSTATE_STOP)
        setState(KSSTATE_STOP, true);
    {
        std::lock_guard lock(adapter_.mutex_);
        for (auto &[srb, request] : adapter_.outstanding_) {
            if (request->stream_ == this)
                portFatal(request->describe() + " is still pending when its stream closes");
        }
    }
    RequestPtr request = adapter_.newRequest(SRB_CLOSE_STREAM, Request::Kind::Device, nullptr, true);
    request->srb_->StreamObject = &object_;
    adapter_.run(request);
    closed_ = true;
    adapter_.forgetStream(this);
    return request->status();
}

NTSTATUS Stream::setState(KSSTATE state)
{
    return setState(state, false);
}

NTSTATUS Stream::setState(KSSTATE state, bool mustDeliver)
{
    RequestPtr request = adapter_.newRequest(SRB_SET_STREAM_STATE, Request::Kind::Control, this, mustDeliver);
    request->srb_->CommandData.StreamState = state;
    if (request->undelivered_ == nullptr)
        state_ = state;
    return adapter_.run(request)->status();
}

NTSTATUS Stream::run()
{
    // A graph goes no further than the first transition refused: a RUN after a
    // PAUSE that never reached the driver would enter RUN from STOP.
    const NTSTATUS paused = setState(KSSTATE_PAUSE);
    return NT_SUCCESS(paused) ? setState(KSSTATE_RUN) : paused;
}

NTSTATUS Stream::stop()
{
    const NTSTATUS paused = state_ == KSSTATE_RUN ? setState(KSSTATE_PAUSE) : STATUS_SUCCESS;
    const NTSTATUS stopped = setState(KSSTATE_STOP);
    return NT_SUCCESS(paused) ? stopped : paused;
}

void Stream::rememberFormat(const void *format)
{
    // Only a video format says how large a frame is.
    const auto *header = static_cast<const KSDATAFORMAT *>(format);
    if (header->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER))
        return;
    KS_DATAFORMAT_VIDEOINFOHEADER video;
    std::memcpy(&video, format, sizeof(video));
    frameBytes_ = frameBytesOf(video);
}

std::pair<NTSTATUS, KSSTATE> Stream::getState()
{
    RequestPtr request =
        adapter_.run(adapter_.newRequest(SRB_GET_STREAM_STATE, Request::Kind::Control, this));
    return {request->status(), request->commandData().StreamState};
}

RequestPtr Stream::formatRequest(SRB_COMMAND command, const void *format, size_t formatBytes)
{
    RequestPtr request = adapter_.newRequest(command, Request::Kind::Control, this);
    auto *copy = request->addPayload<unsigned char>(formatBytes);
    std::memcpy(copy, format, formatBytes);
    request->srb_->CommandData.OpenFormat = reinterpret_cast<KSDATAFORMAT *>(copy);
    return adapter_.run(request);
}

NTSTATUS Stream::proposeFormat(const void *format, size_t formatBytes)
{
    if (!formatFits(format, formatBytes))
        return STATUS_INVALID_PARAMETER;
    return formatRequest(SRB_PROPOSE_DATA_FORMAT, format, formatBytes)->status();
}

NTSTATUS Stream::setFormat(const void *format, size_t formatBytes)
{
    if (!formatFits(format, formatBytes))
        return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = formatRequest(SRB_SET_DATA_FORMAT, format, formatBytes)->status();
    if (NT_SUCCESS(status))
        rememberFormat(format);
    return status;
}

NTSTATUS Stream::indicateMasterClock(HANDLE clock)
{
    RequestPtr request = adapter_.newRequest(SRB_INDICATE_MASTER_CLOCK, Request::Kind::Control, this);
    request->srb_->CommandData.MasterClockHandle = clock;
    return adapter_.run(request)->status();
}

RequestPtr Stream::sendControlCommand(SRB_COMMAND command)
{
    return adapter_.run(adapter_.newRequest(command, Request::Kind::Control, this));
}

RequestPtr Stream::sendDataCommand(SRB_COMMAND command, size_t bufferBytes)
{
    RequestPtr request = adapter_.newRequest(command, Request::Kind::Data, this);
    request->data_.assign(bufferBytes, 0);
    attachBuffer(request, request->data_);
    return adapter_.run(request);
}

RequestPtr Stream::newRead(std::optional<ULONG> pacingInterval)
{
    RequestPtr request = adapter_.newRequest(SRB_READ_DATA, Request::Kind::Data, this);
    if (pacingInterval)
        request->vfw_ = std::make_unique<STREAM_VFW_INFO>(STREAM_VFW_INFO{0, *pacingInterval, {0, 0}});
    return request;
}

RequestPtr Stream::queueRead(size_t bufferBytes, std::optional<ULONG> pacingInterval)
{
    RequestPtr request = newRead(pacingInterval);
    request->data_.assign(bufferBytes, 0);
    return queueRead(request, request->data_);
}

RequestPtr Stream::queueRead(std::span<uint8_t> buffer, std::optional<ULONG> pacingInterval)
{
    return queueRead(newRead(pacingInterval), buffer);
}

RequestPtr Stream::queueRead(const RequestPtr &request, std::span<uint8_t> buffer)
{
    attachBuffer(request, buffer);
    adapter_.deliver(request);
    return request;
}

void Stream::attachBuffer(const RequestPtr &request, std::span<uint8_t> buffer)
{
    const size_t headerBytes = sizeof(KSSTREAM_HEADER) + object_.StreamHeaderMediaSpecific;
    auto *header = request->addPayload<KSSTREAM_HEADER>(headerBytes);
    header->Size = static_cast<ULONG>(headerBytes);
    header->FrameExtent = static_cast<ULONG>(buffer.size());
    header->Data = buffer.data();
    request->buffer_ = buffer;
    request->streamHeader_ = header;
    request->srb_->CommandData.DataBufferArray = header;
    request->srb_->NumberOfBuffers = 1;
    request->srb_->NumberOfBytesToTransfer = static_cast<ULONG>(buffer.size());
}

bool Stream::cancelRead(const RequestPtr &read)
{
    HW_STREAM_REQUEST_BLOCK *srb = nullptr;
    std::lock_guard cancelling(adapter_.cancelMutex_); // no completion frees the block meanwhile
    {
        std::lock_guard lock(adapter_.mutex_);
        auto it = adapter_.outstanding_.find(read->srb_);
        if (read->srb_ == nullptr || it == adapter_.outstanding_.end())
            return false;
        srb = read->srb_;
    }
    // Called outside the lock: the minidriver completes the request from here.
    PHW_CANCEL_SRB cancel = adapter_.port_.registration_.HwCancelPacket;
    if (cancel == nullptr)
        return false;
    cancel(srb);
    return true;
}

} // namespace zm4::host
