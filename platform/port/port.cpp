// The stream class port library on the host kernel: registration, devices and
// the request blocks between the application and the minidriver, with the
// bookkeeping that catches a request completed twice or never. An open
// stream's side is in port_stream.cpp.
#include "platform/port/port.h"
#include "platform/port/port_internal.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zm4::host {

namespace portdetail {

bool formatFits(const void *format, size_t bytes)
{
    if (format == nullptr || bytes < sizeof(KSDATAFORMAT))
        return false;
    const ULONG claimed = static_cast<const KSDATAFORMAT *>(format)->FormatSize;
    return claimed >= sizeof(KSDATAFORMAT) && claimed <= bytes;
}

void portFatal(const std::string &message)
{
    std::fprintf(stderr, "zm4 port: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

} // namespace portdetail

using namespace portdetail;

namespace {

std::atomic<PortLibrary *> gPort{nullptr};

// Requests an application cannot be refused (closing a stream, removing a
// device: the system goes on without them whatever happens) wait for a request
// block as a kernel's must-succeed allocation does: the pool is tried again,
// and only a pool that fails this many times in a row stops the port.
constexpr int kMustDeliverTries = 1000;

const char *commandName(SRB_COMMAND command)
{
    switch (command) {
    case SRB_READ_DATA:
        return "SRB_READ_DATA";
    case SRB_WRITE_DATA:
        return "SRB_WRITE_DATA";
    case SRB_GET_STREAM_STATE:
        return "SRB_GET_STREAM_STATE";
    case SRB_SET_STREAM_STATE:
        return "SRB_SET_STREAM_STATE";
    case SRB_INDICATE_MASTER_CLOCK:
        return "SRB_INDICATE_MASTER_CLOCK";
    case SRB_PROPOSE_DATA_FORMAT:
        return "SRB_PROPOSE_DATA_FORMAT";
    case SRB_SET_DATA_FORMAT:
        return "SRB_SET_DATA_FORMAT";
    case SRB_GET_STREAM_INFO:
        return "SRB_GET_STREAM_INFO";
    case SRB_OPEN_STREAM:
        return "SRB_OPEN_STREAM";
    case SRB_CLOSE_STREAM:
        return "SRB_CLOSE_STREAM";
    case SRB_GET_DEVICE_PROPERTY:
        return "SRB_GET_DEVICE_PROPERTY";
    case SRB_SET_DEVICE_PROPERTY:
        return "SRB_SET_DEVICE_PROPERTY";
    case SRB_INITIALIZE_DEVICE:
        return "SRB_INITIALIZE_DEVICE";
    case SRB_UNINITIALIZE_DEVICE:
        return "SRB_UNINITIALIZE_DEVICE";
    case SRB_GET_DATA_INTERSECTION:
        return "SRB_GET_DATA_INTERSECTION";
    case SRB_INITIALIZATION_COMPLETE:
        return "SRB_INITIALIZATION_COMPLETE";
    default:
        return nullptr;
    }
}
} // namespace

// ---- Request -----------------------------------------------------------------------

std::string Request::describe() const
{
    char text[96];
    const char *name = commandName(command_);
    if (name != nullptr)
        std::snprintf(text, sizeof(text), "request #%llu (%s", static_cast<unsigned long long>(serial_),
                      name);
    else
        std::snprintf(text, sizeof(text), "request #%llu (command 0x%X",
                      static_cast<unsigned long long>(serial_), static_cast<unsigned>(command_));
    std::string result = text;
    if (kind_ != Kind::Device)
        result += ", stream " + std::to_string(streamNumber_);
    return result + ")";
}

// ---- Port library ------------------------------------------------------------------

PortLibrary::PortLibrary()
{
    PortLibrary *expected = nullptr;
    if (!gPort.compare_exchange_strong(expected, this))
        portFatal("a second port library was created while one exists");
}

PortLibrary::~PortLibrary()
{
    {
        std::lock_guard lock(mutex_);
        if (!adapters_.empty())
            portFatal("the port library is going while a device is still added");
    }
    gPort.store(nullptr);
}

PortLibrary &PortLibrary::current()
{
    PortLibrary *port = gPort.load();
    if (port == nullptr)
        portFatal("no port library exists; create a zm4::host::PortLibrary before loading the driver");
    return *port;
}

PortLibrary *PortLibrary::currentOrNull()
{
    return gPort.load();
}

NTSTATUS PortLibrary::loadDriver(DriverEntryRoutine driverEntry, const std::u16string &registryPath)
{
    if (registered_)
        portFatal("the driver is loaded once");
    std::u16string path = registryPath;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path.c_str());
    return driverEntry(reinterpret_cast<DRIVER_OBJECT *>(driverObject_), &name);
}

NTSTATUS PortLibrary::registerAdapter(const HW_INITIALIZATION_DATA &data)
{
    // A record of another size was built against another interface revision.
    if (data.HwInitializationDataSize != sizeof(HW_INITIALIZATION_DATA) || data.HwReceivePacket == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (registered_)
        return STATUS_UNSUCCESSFUL;
    registration_ = data;
    registered_ = true;
    return STATUS_SUCCESS;
}

Adapter *PortLibrary::adapterFor(PVOID hwDeviceExtension)
{
    std::lock_guard lock(mutex_);
    auto it = adapters_.find(hwDeviceExtension);
    return it == adapters_.end() ? nullptr : it->second;
}

void PortLibrary::forget(Adapter *adapter)
{
    std::lock_guard lock(mutex_);
    adapters_.erase(adapter->deviceExtension_);
}

std::unique_ptr<Adapter> PortLibrary::addDevice(DEVICE_OBJECT *physicalDeviceObject)
{
    if (!registered_)
        portFatal("addDevice before the driver registered");
    std::unique_ptr<Adapter> adapter(new Adapter(*this, physicalDeviceObject));
    if (adapter->deviceExtension_ == nullptr) {
        // No device object: the device is never added and the driver never sees it.
        adapter->initialiseStatus_ = STATUS_INSUFFICIENT_RESOURCES;
        adapter->removed_ = true;
        return adapter;
    }
    {
        std::lock_guard lock(mutex_);
        adapters_[adapter->deviceExtension_] = adapter.get();
    }
    RequestPtr init = adapter->newRequest(SRB_INITIALIZE_DEVICE, Request::Kind::Device, nullptr);
    init->srb_->CommandData.ConfigInfo = &adapter->config_;
    adapter->run(init);
    adapter->initialiseStatus_ = init->status();
    if (NT_SUCCESS(init->status()))
        adapter->run(adapter->newRequest(SRB_INITIALIZATION_COMPLETE, Request::Kind::Device, nullptr));
    return adapter;
}

// ---- Adapter ----------------------------------------------------------------------

Adapter::Adapter(PortLibrary &port, DEVICE_OBJECT *physicalDeviceObject) : port_(port)
{
    const ULONG size = port.registration_.DeviceExtensionSize;
    // The device extension lives in non-paged pool as the device object does;
    // without it addDevice fails the device.
    deviceExtension_ = ExAllocatePoolWithTag(NonPagedPool, size != 0 ? size : 1, kPortPoolTag);
    if (deviceExtension_ == nullptr)
        return;
    std::memset(deviceExtension_, 0, size);
    config_.SizeOfThisPacket = sizeof(config_);
    config_.HwDeviceExtension = deviceExtension_;
    config_.PhysicalDeviceObject = physicalDeviceObject;
    config_.RealPhysicalDeviceObject = physicalDeviceObject;
}

Adapter::~Adapter()
{
    remove();
    if (deviceExtension_ == nullptr)
        return;
    port_.forget(this);
    ExFreePool(deviceExtension_);
}

RequestPtr Adapter::newRequest(SRB_COMMAND command, Request::Kind kind, Stream *stream, bool mustDeliver)
{
    auto request = std::make_shared<Request>();
    request->command_ = command;
    request->kind_ = kind;
    request->stream_ = stream;
    request->streamNumber_ = stream != nullptr ? stream->number() : 0;
    const ULONG extension = port_.registration_.PerRequestExtensionSize;
    // The request block and the minidriver's per-request extension after it: one
    // block, which the minidriver frees when it completes the request. The
    // port's other records (the Request, its payloads) are the application's
    // memory, not pool.
    const size_t bytes = sizeof(HW_STREAM_REQUEST_BLOCK) + extension;
    auto *srb =
        static_cast<HW_STREAM_REQUEST_BLOCK *>(ExAllocatePoolWithTag(NonPagedPool, bytes, kPortPoolTag));
    for (int tries = 1; srb == nullptr && mustDeliver; ++tries) {
        if (tries == kMustDeliverTries)
            portFatal("no request block for " + request->describe() + " after " + std::to_string(tries) +
                      " tries");
        srb =
            static_cast<HW_STREAM_REQUEST_BLOCK *>(ExAllocatePoolWithTag(NonPagedPool, bytes, kPortPoolTag));
    }
    if (srb != nullptr) {
        std::memset(srb, 0, bytes);
        srb->SRBExtension = extension != 0 ? static_cast<void *>(srb + 1) : nullptr;
    } else {
        request->undelivered_ = std::make_unique<HW_STREAM_REQUEST_BLOCK>();
        request->status_ = STATUS_INSUFFICIENT_RESOURCES;
        srb = request->undelivered_.get();
    }
    srb->SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
    srb->Command = command;
    srb->Status = STATUS_PENDING;
    srb->StreamObject = stream != nullptr ? &stream->object_ : nullptr;
    srb->HwDeviceExtension = deviceExtension_;
    srb->TimeoutOriginal = requestTimeout_.load();
    srb->TimeoutCounter = srb->TimeoutOriginal;
    request->srb_ = srb;
    {
        std::lock_guard lock(mutex_);
        request->serial_ = nextSerial_++;
    }
    return request;
}

void Adapter::deliver(const RequestPtr &request)
{
    HW_STREAM_REQUEST_BLOCK *srb = request->srb_;
    if (request->undelivered_ != nullptr) {
        // Built without a request block: failed here, as the port would fail
        // the application's call (status set when it was built).
        std::lock_guard lock(mutex_);
        request->srb_ = nullptr;
        completionLog_.push_back(request->serial_);
        request->completed_.store(true, std::memory_order_release);
        return;
    }
    bool timed = srb->TimeoutOriginal != 0;
    {
        std::lock_guard lock(mutex_);
        outstanding_[srb] = request;
    }
    if (timed)
        armTimeoutTick();

    PHW_RECEIVE_DEVICE_SRB entry = nullptr;
    switch (request->kind_) {
    case Request::Kind::Device:
        entry = port_.registration_.HwReceivePacket;
        break;
    case Request::Kind::Control:
        entry = request->stream_->object_.ReceiveControlPacket;
        break;
    case Request::Kind::Data:
        entry = request->stream_->object_.ReceiveDataPacket;
        break;
    }
    if (entry == nullptr)
        portFatal(request->describe() + ": the stream has no entry point for it");
    // From here the request block belongs to the minidriver: after its
    // completion it is freed, so the port reads only what complete() saved.
    if (port_.registration_.TurnOffSynchronization) {
        entry(srb);
    } else {
        std::lock_guard entryLock(entryMutex_);
        entry(srb);
    }
}

bool Adapter::wait(const RequestPtr &request, int64_t limit100ns)
{
    return Kernel::current().scheduler().runUntil([&] { return request->completed(); }, limit100ns);
}

RequestPtr Adapter::run(const RequestPtr &request)
{
    deliver(request);
    if (!wait(request))
        portFatal(request->describe() + " was not completed in time");
    return request;
}

void Adapter::complete(HW_STREAM_REQUEST_BLOCK *srb, Request::Kind expected)
{
    std::lock_guard cancelling(cancelMutex_);
    std::lock_guard lock(mutex_);
    auto it = outstanding_.find(srb);
    if (it == outstanding_.end()) {
        char text[160];
        std::snprintf(text, sizeof(text),
                      "request block %p completed, but no such request is outstanding (completed twice, or "
                      "never issued)",
                      static_cast<void *>(srb));
        portFatal(text);
    }
    RequestPtr request = it->second;
    const bool isDevice = request->kind_ == Request::Kind::Device;
    if (isDevice != (expected == Request::Kind::Device))
        portFatal(request->describe() +
                  (isDevice ? " completed as a stream request" : " completed as a device request"));
    request->status_ = srb->Status;
    request->bytes_ = srb->ActualBytesTransferred;
    request->commandData_ = srb->CommandData;
    request->srb_ = nullptr;
    outstanding_.erase(it);
    completionLog_.push_back(request->serial_);
    request->completed_.store(true, std::memory_order_release);
}

std::vector<uint64_t> Adapter::completionLog() const
{
    std::lock_guard lock(mutex_);
    return completionLog_;
}

void Adapter::scheduleTimer(ULONG microseconds, PHW_TIMER_ROUTINE routine, PVOID context)
{
    Scheduler &scheduler = Kernel::current().scheduler();
    std::lock_guard lock(mutex_);
    // A timer routine still running while the device goes may reschedule
    // itself: nothing may reach the freed device extension afterwards.
    if (removed_)
        return;
    if (timerEvent_)
        scheduler.cancel(*timerEvent_);
    timerEvent_.reset();
    if (microseconds == 0 || routine == nullptr)
        return;
    timerEvent_ = scheduler.postAfter(static_cast<int64_t>(microseconds) * 10,
                                      [routine, context] { routine(context); });
}

STREAM_VFW_INFO *Adapter::vfwInfo(HW_STREAM_REQUEST_BLOCK *srb)
{
    std::lock_guard lock(mutex_);
    auto it = outstanding_.find(srb);
    return it == outstanding_.end() ? nullptr : it->second->vfw_.get();
}

// Requests with a time-out are counted down once a second while outstanding;
// one that reaches zero is reported to the minidriver, which decides its fate.
void Adapter::armTimeoutTick()
{
    std::lock_guard lock(mutex_);
    if (tickArmed_ || removed_)
        return;
    tickArmed_ = true;
    tickEvent_ = Kernel::current().scheduler().postAfter(kSecond, [this] { timeoutTick(); });
}

void Adapter::timeoutTick()
{
    bool again = false;
    {
        std::lock_guard lock(mutex_);
        tickArmed_ = false;
        if (removed_)
            return;
        for (auto &[srb, request] : outstanding_) {
            if (srb->TimeoutOriginal == 0)
                continue;
            again = true;
            if (srb->TimeoutCounter == 0 || --srb->TimeoutCounter != 0)
                continue;
            // Under the lock: the request cannot complete (and be freed) meanwhile.
            if (port_.registration_.HwRequestTimeoutHandler != nullptr) {
                timeoutCallbacks_.fetch_add(1);
                port_.registration_.HwRequestTimeoutHandler(srb);
            }
        }
    }
    if (again)
        armTimeoutTick();
}

NTSTATUS Adapter::remove()
{
    if (removed_)
        return STATUS_SUCCESS;
    {
        std::lock_guard lock(mutex_);
        if (!streams_.empty())
            portFatal("the device is removed while stream " + std::to_string(streams_.front()->number()) +
                      " is still open");
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (NT_SUCCESS(initialiseStatus_))
        status = run(newRequest(SRB_UNINITIALIZE_DEVICE, Request::Kind::Device, nullptr, true))->status();
    // Work the driver queued before its timer stopped still refers to the
    // device: the extension goes only once that work has run, as a device
    // object outlives the work items queued for it.
    if (!Kernel::current().scheduler().runUntilIdle(port_.waitLimit()))
        portFatal("work of the device is still running long after it was removed");
    std::lock_guard lock(mutex_);
    if (!outstanding_.empty())
        portFatal(outstanding_.begin()->second->describe() + " is still pending when the device goes");
    removed_ = true;
    if (timerEvent_)
        Kernel::current().scheduler().cancel(*timerEvent_);
    timerEvent_.reset();
    if (tickArmed_)
        Kernel::current().scheduler().cancel(tickEvent_);
    tickArmed_ = false;
    return status;
}

void Adapter::forgetStream(Stream *stream)
{
    std::lock_guard lock(mutex_);
    std::erase(streams_, stream);
}

StreamInformation Adapter::streamInformation(ULONG bufferSize)
{
    const ULONG size = bufferSize != 0 ? bufferSize : config_.StreamDescriptorSize;
    RequestPtr request = newRequest(SRB_GET_STREAM_INFO, Request::Kind::Device, nullptr);
    auto *descriptor = request->addPayload<unsigned char>(size);
    request->srb_->CommandData.StreamBuffer = reinterpret_cast<HW_STREAM_DESCRIPTOR *>(descriptor);
    request->srb_->NumberOfBytesToTransfer = size;
    run(request);

    StreamInformation info;
    info.status = request->status();
    if (!NT_SUCCESS(info.status) || size < sizeof(HW_STREAM_HEADER))
        return info;
    std::memcpy(&info.header, descriptor, sizeof(HW_STREAM_HEADER));
    for (ULONG i = 0; i < info.header.NumberOfStreams; ++i) {
        const size_t offset = sizeof(HW_STREAM_HEADER) + i * sizeof(HW_STREAM_INFORMATION);
        if (offset + sizeof(HW_STREAM_INFORMATION) > size)
            break;
        HW_STREAM_INFORMATION stream;
        std::memcpy(&stream, descriptor + offset, sizeof(stream));
        info.streams.push_back(stream);
    }
    return info;
}

IntersectionResult Adapter::dataIntersection(ULONG streamNumber, const void *range, size_t rangeBytes,
                                             ULONG bufferSize)
{
    IntersectionResult result;
    if (!formatFits(range, rangeBytes)) {
        result.status = STATUS_INVALID_PARAMETER;
        return result;
    }
    RequestPtr request = newRequest(SRB_GET_DATA_INTERSECTION, Request::Kind::Device, nullptr);
    auto *rangeCopy = request->addPayload<KSDATARANGE>(rangeBytes);
    std::memcpy(rangeCopy, range, rangeBytes);
    auto *buffer = request->addPayload<unsigned char>(bufferSize);
    auto *info = request->addPayload<STREAM_DATA_INTERSECT_INFO>(sizeof(STREAM_DATA_INTERSECT_INFO));
    info->StreamNumber = streamNumber;
    info->DataRange = rangeCopy;
    info->DataFormatBuffer = buffer;
    info->SizeOfDataFormatBuffer = bufferSize;
    request->srb_->CommandData.IntersectInfo = info;
    run(request);
    result.status = request->status();
    result.bytes = request->bytes();
    result.format.assign(buffer, buffer + std::min<size_t>(result.bytes, bufferSize));
    return result;
}

std::unique_ptr<Stream> Adapter::openStream(ULONG streamNumber, const void *format, size_t formatBytes,
                                            NTSTATUS *status)
{
    if (!formatFits(format, formatBytes)) {
        *status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    std::unique_ptr<Stream> stream(new Stream(*this, streamNumber));
    RequestPtr request = newRequest(SRB_OPEN_STREAM, Request::Kind::Device, nullptr);
    request->srb_->StreamObject = &stream->object_;
    auto *copy = request->addPayload<unsigned char>(formatBytes);
    std::memcpy(copy, format, formatBytes);
    request->srb_->CommandData.OpenFormat = reinterpret_cast<KSDATAFORMAT *>(copy);
    run(request);
    *status = request->status();
    if (!NT_SUCCESS(request->status())) {
        stream->closed_ = true; // never opened: nothing to close
        return nullptr;
    }
    stream->rememberFormat(format);
    std::lock_guard lock(mutex_);
    streams_.push_back(stream.get());
    return stream;
}

std::vector<VideoRange> Adapter::videoRanges(ULONG streamNumber, NTSTATUS *status)
{
    std::vector<VideoRange> ranges;
    StreamInformation info = streamInformation();
    if (status != nullptr)
        *status = info.status;
    if (!NT_SUCCESS(info.status) || streamNumber >= info.streams.size())
        return ranges;
    const HW_STREAM_INFORMATION &stream = info.streams[streamNumber];
    for (ULONG i = 0; i < stream.NumberOfFormatArrayEntries; ++i) {
        const KSDATAFORMAT *entry = stream.StreamFormatsArray[i];
        // Only video ranges of the published size are ours to read.
        if (entry == nullptr || entry->FormatSize != sizeof(KS_DATARANGE_VIDEO))
            continue;
        VideoRange range;
        range.index = i;
        std::memcpy(&range.range, entry, sizeof(KS_DATARANGE_VIDEO));
        ranges.push_back(range);
    }
    return ranges;
}

std::vector<uint8_t> Adapter::negotiateFormat(ULONG streamNumber, const VideoRange &range, LONG width,
                                              LONG height, NTSTATUS *status)
{
    // The application's range: the driver's own, asking for one size. The
    // driver builds the format from it and sizes the image.
    KS_DATARANGE_VIDEO wanted = range.range;
    wanted.VideoInfoHeader.bmiHeader.biWidth = width;
    wanted.VideoInfoHeader.bmiHeader.biHeight = height;
    IntersectionResult size = dataIntersection(streamNumber, &wanted, sizeof(wanted), sizeof(ULONG));
    *status = size.status;
    if (!NT_SUCCESS(size.status) || size.bytes != sizeof(ULONG))
        return {};
    ULONG formatSize = 0;
    std::memcpy(&formatSize, size.format.data(), sizeof(formatSize));
    IntersectionResult built = dataIntersection(streamNumber, &wanted, sizeof(wanted), formatSize);
    *status = built.status;
    if (!NT_SUCCESS(built.status))
        return {};
    return built.format;
}

std::unique_ptr<Stream> Adapter::openVideoStream(ULONG rangeIndex, LONG width, LONG height, NTSTATUS *status,
                                                 ULONG streamNumber)
{
    std::vector<VideoRange> ranges = videoRanges(streamNumber, status);
    if (!NT_SUCCESS(*status))
        return nullptr; // the stream information was refused
    *status = STATUS_INVALID_PARAMETER;
    for (const VideoRange &range : ranges) {
        if (range.index != rangeIndex)
            continue;
        std::vector<uint8_t> format = negotiateFormat(streamNumber, range, width, height, status);
        if (format.empty())
            return nullptr;
        return openStream(streamNumber, format.data(), format.size(), status);
    }
    return nullptr;
}

PropertyResult Adapter::getProperty(const GUID &set, ULONG id, ULONG bufferSize)
{
    return property(true, set, id, 0, 0, bufferSize);
}

PropertyResult Adapter::setProperty(const GUID &set, ULONG id, LONG value, ULONG flags, ULONG bufferSize)
{
    return property(false, set, id, value, flags, bufferSize);
}

PropertyResult Adapter::property(bool get, const GUID &set, ULONG id, LONG value, ULONG flags,
                                 ULONG bufferSize)
{
    RequestPtr request =
        newRequest(get ? SRB_GET_DEVICE_PROPERTY : SRB_SET_DEVICE_PROPERTY, Request::Kind::Device, nullptr);
    // The buffer is as large as the application says (but holds the property
    // itself), so a driver that writes a short buffer's whole record is caught.
    auto *buffer = request->addPayload<unsigned char>(std::max<size_t>(bufferSize, sizeof(KSPROPERTY)));
    const bool whole = bufferSize >= sizeof(KSPROPERTY_VIDEOPROCAMP_S);
    auto *property = reinterpret_cast<KSPROPERTY *>(buffer);
    property->Set = set;
    property->Id = id;
    property->Flags = get ? KSPROPERTY_TYPE_GET : KSPROPERTY_TYPE_SET;
    auto *record = reinterpret_cast<KSPROPERTY_VIDEOPROCAMP_S *>(buffer); // touched only when whole
    if (whole) {
        record->Value = value;
        record->Flags = flags;
    }
    auto *descriptor = request->addPayload<STREAM_PROPERTY_DESCRIPTOR>(sizeof(STREAM_PROPERTY_DESCRIPTOR));
    descriptor->Property = property;
    descriptor->PropertySetID = 0;
    descriptor->PropertyInfo = buffer;
    descriptor->PropertyInputSize = sizeof(KSPROPERTY);
    descriptor->PropertyOutputSize = bufferSize;
    request->srb_->CommandData.PropertyInfo = descriptor;
    run(request);
    PropertyResult result{request->status(), request->bytes()};
    if (whole) {
        result.value = record->Value;
        result.flags = record->Flags;
        result.capabilities = record->Capabilities;
    }
    return result;
}

RequestPtr Adapter::submitDeviceCommand(SRB_COMMAND command)
{
    RequestPtr request = newRequest(command, Request::Kind::Device, nullptr);
    deliver(request);
    return request;
}

RequestPtr Adapter::sendDeviceCommand(SRB_COMMAND command, ULONG bytesToTransfer)
{
    RequestPtr request = newRequest(command, Request::Kind::Device, nullptr);
    request->srb_->NumberOfBytesToTransfer = bytesToTransfer;
    return run(request);
}

} // namespace zm4::host

// ---- The routines the minidriver calls ------------------------------------------------

using zm4::host::Adapter;
using zm4::host::PortLibrary;
using zm4::host::Request;

namespace {

Adapter &adapterOrDie(PVOID hwDeviceExtension, const char *routine)
{
    Adapter *adapter = PortLibrary::current().adapterFor(hwDeviceExtension);
    if (adapter == nullptr) {
        std::fprintf(stderr, "zm4 port: %s with a device extension %p that belongs to no device\n", routine,
                     hwDeviceExtension);
        std::abort();
    }
    return *adapter;
}

} // namespace

NTSTATUS StreamClassRegisterAdapter(DRIVER_OBJECT *driverObject, UNICODE_STRING *registryPath,
                                    HW_INITIALIZATION_DATA *hwInitializationData)
{
    (void)driverObject;
    (void)registryPath;
    if (hwInitializationData == nullptr)
        return STATUS_INVALID_PARAMETER;
    return PortLibrary::current().registerAdapter(*hwInitializationData);
}

void StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE notificationType,
                                   PVOID hwDeviceExtension, HW_STREAM_REQUEST_BLOCK *srb)
{
    // With synchronisation off the port never holds requests back, so
    // ReadyForNextDeviceRequest needs no action, and needs no live device: a
    // stream completion sends it after StreamRequestComplete, by which time the
    // application may already have removed the device. Events are not used.
    if (notificationType != DeviceRequestComplete)
        return;
    adapterOrDie(hwDeviceExtension, "StreamClassDeviceNotification").complete(srb, Request::Kind::Device);
}

void StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE notificationType,
                                   HW_STREAM_OBJECT *streamObject, HW_STREAM_REQUEST_BLOCK *srb)
{
    if (streamObject == nullptr) {
        std::fprintf(stderr, "zm4 port: StreamClassStreamNotification without a stream object\n");
        std::abort();
    }
    Adapter &adapter = adapterOrDie(streamObject->HwDeviceExtension, "StreamClassStreamNotification");
    if (notificationType == StreamRequestComplete)
        adapter.complete(srb, Request::Kind::Data);
}

void StreamClassScheduleTimer(HW_STREAM_OBJECT *streamObject, PVOID hwDeviceExtension,
                              ULONG numberOfMicroseconds, PHW_TIMER_ROUTINE timerRoutine, PVOID context)
{
    // The minidriver keeps one device timer; stream timers are not used by it
    // and share the device's.
    (void)streamObject;
    adapterOrDie(hwDeviceExtension, "StreamClassScheduleTimer")
        .scheduleTimer(numberOfMicroseconds, timerRoutine, context);
}

STREAM_VFW_INFO *StreamClassGetVfWInfo(HW_STREAM_REQUEST_BLOCK *srb)
{
    if (srb == nullptr)
        return nullptr;
    return adapterOrDie(srb->HwDeviceExtension, "StreamClassGetVfWInfo").vfwInfo(srb);
}
