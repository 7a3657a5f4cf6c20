// The application side of the stream class port library: loads a minidriver,
// adds and removes its devices, and turns what a capture application asks for
// (stream information, formats, states, reads, properties) into request blocks
// delivered through the registered entry points. It checks that the driver
// completes every request exactly once and leaves none pending.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/kernel/host.h"
#include "platform/port/stream_class.h"

namespace zm4::host {

// The port's own blocks (device extension, request blocks it creates): "Port".
constexpr uint32_t kPortPoolTag = 0x74726F50;

using DriverEntryRoutine = NTSTATUS (*)(DRIVER_OBJECT *driverObject, UNICODE_STRING *registryPath);

class Adapter;
class Stream;

// What the driver left in a request when it completed it.
using SrbCommandData = decltype(HW_STREAM_REQUEST_BLOCK::CommandData);

// One request on its way through the driver. The port keeps it after the
// driver has completed (and freed) the request block, with the results the
// completion handed over. Results are valid once completed() is true.
class Request {
public:
    enum class Kind { Device, Control, Data };

    uint64_t serial() const { return serial_; }
    SRB_COMMAND command() const { return command_; }
    Kind kind() const { return kind_; }
    bool completed() const { return completed_.load(std::memory_order_acquire); }
    NTSTATUS status() const { return status_; }
    ULONG bytes() const { return bytes_; }
    const SrbCommandData &commandData() const { return commandData_; }

    // Reads: the frame buffer (the application's own, or one the port made),
    // the stream header's DataUsed, and the paced client's record (when the
    // read was paced).
    std::span<const uint8_t> data() const { return buffer_; }
    ULONG dataUsed() const { return streamHeader_ != nullptr ? streamHeader_->DataUsed : 0; }
    const STREAM_VFW_INFO *vfwInfo() const { return vfw_.get(); }
    STREAM_VFW_INFO *vfwInfo() { return vfw_.get(); }

    // "request #12 (SRB_READ_DATA, stream 0)"
    std::string describe() const;

private:
    friend class PortLibrary;
    friend class Adapter;
    friend class Stream;

    uint64_t serial_ = 0;
    SRB_COMMAND command_ = SRB_READ_DATA;
    Kind kind_ = Kind::Device;
    Stream *stream_ = nullptr;
    ULONG streamNumber_ = 0;
    HW_STREAM_REQUEST_BLOCK *srb_ = nullptr; // live only until completion
    std::atomic<bool> completed_{false};
    NTSTATUS status_ = STATUS_PENDING;
    ULONG bytes_ = 0;
    SrbCommandData commandData_{};
    // Owned payloads the request block points into: zeroed, aligned for any
    // published record, and exactly as long as asked, so that a driver reading
    // or writing past what the application handed over is caught by the
    // address sanitizer.
    template <class T> T *addPayload(size_t bytes)
    {
        payloads_.emplace_back(new unsigned char[bytes]());
        return reinterpret_cast<T *>(payloads_.back().get());
    }
    std::vector<std::unique_ptr<unsigned char[]>> payloads_;
    KSSTREAM_HEADER *streamHeader_ = nullptr;
    std::vector<uint8_t> data_; // the buffer when the port made it
    std::span<uint8_t> buffer_;
    std::unique_ptr<STREAM_VFW_INFO> vfw_;
    // When the pool had no request block: the application's call fills this
    // one instead, and it never reaches the driver.
    std::unique_ptr<HW_STREAM_REQUEST_BLOCK> undelivered_;
};

using RequestPtr = std::shared_ptr<Request>;

struct StreamInformation {
    NTSTATUS status = STATUS_PENDING;
    HW_STREAM_HEADER header{};
    std::vector<HW_STREAM_INFORMATION> streams;
};

struct IntersectionResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG bytes = 0;
    std::vector<uint8_t> format; // the first `bytes` bytes of the output buffer
};

// One format the driver offers on a stream, as its data range advertises it.
struct VideoRange {
    ULONG index = 0;            // position in the stream's format list
    KS_DATARANGE_VIDEO range{}; // the driver's range, copied
    // "rgb24", "rgb555", or the format's four characters in lower case.
    std::string name() const;
    ULONG bitCount() const { return range.VideoInfoHeader.bmiHeader.biBitCount; }
    KS_SIZE minSize() const { return range.ConfigCaps.MinOutputSize; }
    KS_SIZE maxSize() const { return range.ConfigCaps.MaxOutputSize; }
    KS_SIZE defaultSize() const
    {
        return {range.VideoInfoHeader.bmiHeader.biWidth, range.VideoInfoHeader.bmiHeader.biHeight};
    }
    // Whether width x height lies within the range on its granularity.
    bool accepts(LONG width, LONG height) const;
};

// A KS_DATAFORMAT_VIDEOINFOHEADER for the range at width x height, built the
// way a capture application builds one from the range it picked.
std::vector<uint8_t> videoFormatFromRange(const KS_DATARANGE_VIDEO &range, LONG width, LONG height);

struct PropertyResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG bytes = 0;
    LONG value = 0;
    ULONG flags = 0;
    ULONG capabilities = 0;
};

// The port library: one per process at a time, like the kernel it runs on.
// Creating it makes it the one the StreamClass* routines reach.
class PortLibrary {
public:
    PortLibrary();
    ~PortLibrary();
    PortLibrary(const PortLibrary &) = delete;
    PortLibrary &operator=(const PortLibrary &) = delete;

    static PortLibrary &current(); // aborts when there is none
    static PortLibrary *currentOrNull();

    // Calls the driver's entry routine once; its result is the load result.
    NTSTATUS loadDriver(DriverEntryRoutine driverEntry,
                        const std::u16string &registryPath = u"\\Registry\\Machine\\zm4");
    bool registered() const { return registered_; }
    const HW_INITIALIZATION_DATA &registration() const { return registration_; }

    // Adds a device: a zero-filled device extension, SRB_INITIALIZE_DEVICE with
    // the configuration, then SRB_INITIALIZATION_COMPLETE when that succeeded.
    // The adapter is returned either way; see Adapter::initialiseStatus
    // (STATUS_INSUFFICIENT_RESOURCES, and no request delivered, when the pool
    // had no device extension).
    std::unique_ptr<Adapter> addDevice(DEVICE_OBJECT *physicalDeviceObject);

    // How long (virtual or real time) a synchronous request may take before
    // the port gives up waiting and aborts naming it.
    void setWaitLimit(int64_t limit100ns) { waitLimit_ = limit100ns; }
    int64_t waitLimit() const { return waitLimit_; }

    // The back ends of the StreamClass* routines.
    NTSTATUS registerAdapter(const HW_INITIALIZATION_DATA &data);
    Adapter *adapterFor(PVOID hwDeviceExtension);

private:
    friend class Adapter;
    friend class Stream;
    void forget(Adapter *adapter);

    bool registered_ = false;
    HW_INITIALIZATION_DATA registration_{};
    alignas(16) unsigned char driverObject_[64]{}; // opaque to everyone but the kernel
    int64_t waitLimit_ = 60 * kSecond;
    std::mutex mutex_;
    std::map<PVOID, Adapter *> adapters_;
};

// One device of the loaded driver.
class Adapter {
public:
    ~Adapter(); // removes the device if remove() was not called
    Adapter(const Adapter &) = delete;
    Adapter &operator=(const Adapter &) = delete;

    NTSTATUS initialiseStatus() const { return initialiseStatus_; }
    PVOID deviceExtension() const { return deviceExtension_; }
    const PORT_CONFIGURATION_INFORMATION &configuration() const { return config_; }

    // The requests an application's calls turn into. Each waits for completion.
    StreamInformation streamInformation(ULONG bufferSize = 0); // 0: the size the driver asked for
    IntersectionResult dataIntersection(ULONG streamNumber, const void *range, size_t rangeBytes,
                                        ULONG bufferSize);
    // null when the driver refused; *status says why. A format or range that
    // holds fewer bytes than its FormatSize claims (or less than its header) is
    // refused with STATUS_INVALID_PARAMETER before it reaches the driver.
    std::unique_ptr<Stream> openStream(ULONG streamNumber, const void *format, size_t formatBytes,
                                       NTSTATUS *status);

    // The capture application's view. The formats a stream offers (from the
    // stream information); a concrete format for one of them at a size, agreed
    // with the driver by data intersection (empty when refused, *status says
    // why); and a stream opened in that format.
    std::vector<VideoRange> videoRanges(ULONG streamNumber = 0, NTSTATUS *status = nullptr);
    std::vector<uint8_t> negotiateFormat(ULONG streamNumber, const VideoRange &range, LONG width, LONG height,
                                         NTSTATUS *status);
    std::unique_ptr<Stream> openVideoStream(ULONG rangeIndex, LONG width, LONG height, NTSTATUS *status,
                                            ULONG streamNumber = 0);
    PropertyResult getProperty(const GUID &set, ULONG id,
                               ULONG bufferSize = sizeof(KSPROPERTY_VIDEOPROCAMP_S));
    PropertyResult setProperty(const GUID &set, ULONG id, LONG value, ULONG flags,
                               ULONG bufferSize = sizeof(KSPROPERTY_VIDEOPROCAMP_S));
    // Any other device request, with no payload but a byte count (which a
    // driver that transfers nothing must answer with 0).
    RequestPtr sendDeviceCommand(SRB_COMMAND command, ULONG bytesToTransfer = 0);
    // Delivers a payload-free device request without waiting (several threads may).
    RequestPtr submitDeviceCommand(SRB_COMMAND command);

    // SRB_UNINITIALIZE_DEVICE (when initialise succeeded); aborts if a stream is
    // still open or a request is still pending afterwards. Cancels the timer.
    NTSTATUS remove();

    // Runs the scheduler until the request completes or the limit passes.
    bool wait(const RequestPtr &request, int64_t limit100ns);
    bool wait(const RequestPtr &request) { return wait(request, port_.waitLimit()); }

    // Seconds a new request may take before the time-out callback (0: never).
    // Meant for simulated time: in real time a device removed while a time-out
    // tick is running may be reached by it.
    void setRequestTimeout(ULONG seconds) { requestTimeout_ = seconds; }
    // Time-out callbacks made so far.
    unsigned timeoutCallbacks() const { return timeoutCallbacks_.load(); }
    // Serials in completion order.
    std::vector<uint64_t> completionLog() const;

    // The back ends of the StreamClass* routines.
    void complete(HW_STREAM_REQUEST_BLOCK *srb, Request::Kind expected);
    void scheduleTimer(ULONG microseconds, PHW_TIMER_ROUTINE routine, PVOID context);
    STREAM_VFW_INFO *vfwInfo(HW_STREAM_REQUEST_BLOCK *srb);

private:
    friend class PortLibrary;
    friend class Stream;
    Adapter(PortLibrary &port, DEVICE_OBJECT *physicalDeviceObject);

    // The request block comes from the pool. Without one the request fails with
    // STATUS_INSUFFICIENT_RESOURCES and is not delivered, unless it must be
    // (see kMustDeliverTries).
    RequestPtr newRequest(SRB_COMMAND command, Request::Kind kind, Stream *stream, bool mustDeliver = false);
    void deliver(const RequestPtr &request);
    RequestPtr run(const RequestPtr &request); // deliver and wait
    PropertyResult property(bool get, const GUID &set, ULONG id, LONG value, ULONG flags, ULONG bufferSize);
    void armTimeoutTick();
    void timeoutTick();
    void forgetStream(Stream *stream);

    PortLibrary &port_;
    PVOID deviceExtension_ = nullptr;
    PORT_CONFIGURATION_INFORMATION config_{};
    NTSTATUS initialiseStatus_ = STATUS_PENDING;
    bool removed_ = false;
    std::atomic<ULONG> requestTimeout_{0};
    std::atomic<unsigned> timeoutCallbacks_{0};

    mutable std::mutex mutex_;        // guards everything below
    std::recursive_mutex entryMutex_; // serialises entry calls when the driver wants that
    // Held across a cancel call and by every completion, as the port's spin lock
    // is: a request block handed to the cancel routine is still the driver's.
    std::recursive_mutex cancelMutex_;
    uint64_t nextSerial_ = 1;
    std::map<HW_STREAM_REQUEST_BLOCK *, RequestPtr> outstanding_;
    std::vector<uint64_t> completionLog_;
    std::vector<Stream *> streams_;
    std::optional<uint64_t> timerEvent_;
    bool tickArmed_ = false;
    uint64_t tickEvent_ = 0;
};

// One open stream of a device.
class Stream {
public:
    ~Stream(); // closes the stream if close() was not called
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    ULONG number() const { return object_.StreamNumber; }
    HW_STREAM_OBJECT &object() { return object_; }

    // The last state set (the driver keeps it whatever status it answers; a
    // request that never reached it changes nothing).
    KSSTATE state() const { return state_; }
    NTSTATUS setState(KSSTATE state);
    // Through the states one at a time, as a capture graph moves: PAUSE (the
    // pipeline starts), then RUN, unless PAUSE failed; stop: PAUSE (from RUN),
    // then STOP. The first failure is answered.
    NTSTATUS run();
    NTSTATUS stop();
    // The status and the state the driver reported.
    std::pair<NTSTATUS, KSSTATE> getState();
    NTSTATUS proposeFormat(const void *format, size_t formatBytes);
    NTSTATUS setFormat(const void *format, size_t formatBytes);
    NTSTATUS indicateMasterClock(HANDLE clock);
    RequestPtr sendControlCommand(SRB_COMMAND command);
    // A data request other than a read, carrying a buffer of that many bytes.
    RequestPtr sendDataCommand(SRB_COMMAND command, size_t bufferBytes = 0);

    // Queues a read of a buffer of the given size; with a pacing interval (in
    // microseconds) the read carries a paced client's record. Does not wait.
    RequestPtr queueRead(size_t bufferBytes, std::optional<ULONG> pacingInterval = std::nullopt);
    // The same into the application's own buffer, which must outlive the read.
    RequestPtr queueRead(std::span<uint8_t> buffer, std::optional<ULONG> pacingInterval = std::nullopt);
    // Bytes of one frame in the format the stream was opened (or last set)
    // with: width x height x bits / 8.
    size_t frameBytes() const { return frameBytes_; }
    bool waitRead(const RequestPtr &read) { return adapter_.wait(read); }
    // Cancels a read still pending in the driver; false if it already completed.
    bool cancelRead(const RequestPtr &read);

    // STOP first when the stream was left running (as a port does when the
    // application closes its pin), then SRB_CLOSE_STREAM; aborts if a request
    // of the stream is still pending.
    NTSTATUS close();

private:
    friend class Adapter;
    Stream(Adapter &adapter, ULONG streamNumber);
    RequestPtr formatRequest(SRB_COMMAND command, const void *format, size_t formatBytes);
    NTSTATUS setState(KSSTATE state, bool mustDeliver);
    RequestPtr newRead(std::optional<ULONG> pacingInterval);
    RequestPtr queueRead(const RequestPtr &request, std::span<uint8_t> buffer);
    void attachBuffer(const RequestPtr &request, std::span<uint8_t> buffer);
    void rememberFormat(const void *format);

    Adapter &adapter_;
    KSSTATE state_ = KSSTATE_STOP;
    size_t frameBytes_ = 0;
    HW_STREAM_OBJECT object_{};
    std::vector<uint64_t> portExtension_; // the port's HwStreamExtension; the driver may replace it
    bool closed_ = false;
};

} // namespace zm4::host
