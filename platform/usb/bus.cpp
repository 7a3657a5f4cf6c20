// The host USB bus. Requests are checked and started under the bus mutex,
// which also serialises every call into the device; completions run after it
// is released. Isochronous requests wait in a queue per pipe and are served by
// a frame tick on the scheduler, one packet per pipe per 1-ms USB frame (in
// simulated time one tick serves a quiet stretch of frames); a slow control
// transfer completes from a scheduler event. A request belongs to
// whoever takes it out of its queue (the tick, the event, an abort or a cancel
// routine), and only that one completes it.
#include "platform/usb/bus.h"

#include "platform/kernel/kernel_internal.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

// AddressSanitizer's shadow, when the process has its runtime.
extern "C" void *__asan_region_is_poisoned(void *begin, size_t size) __attribute__((weak));
extern "C" void __asan_report_error(void *pc, void *bp, void *sp, void *address, int isWrite, size_t size)
    __attribute__((weak));

namespace zm4::host {

namespace {

// The device writes an isochronous packet straight into the driver's buffer,
// and the device model may be built without AddressSanitizer's checks (the
// fuzzers build it so): the whole slot the bus hands it must be writable,
// which is checked here as an instrumented store would be.
void checkWritable(std::span<uint8_t> slot)
{
    if (__asan_region_is_poisoned == nullptr || __asan_report_error == nullptr)
        return;
    if (void *bad = __asan_region_is_poisoned(slot.data(), slot.size()))
        __asan_report_error(__builtin_return_address(0), __builtin_frame_address(0),
                            __builtin_frame_address(0), bad, 1, slot.size());
}

struct Completion {
    IRP *irp;
    NTSTATUS status;
};

NTSTATUS irpStatusFor(USBD_STATUS usbd)
{
    if (USBD_SUCCESS(usbd))
        return STATUS_SUCCESS;
    switch (usbd) {
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
        return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_INVALID_URB_FUNCTION:
        return STATUS_NOT_IMPLEMENTED;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

URB *urbOf(IRP *irp)
{
    return static_cast<URB *>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

} // namespace

struct UsbBus::Impl : std::enable_shared_from_this<UsbBus::Impl> {
    struct Pipe {
        uint8_t address = 0;
        uint16_t maxPacketSize = 0;
        uint8_t interval = 1;
        bool open = false;
        std::deque<IRP *> queue; // isochronous requests, oldest first
        ULONG nextPacket = 0;    // of the request at the front
        ULONG errors = 0;
    };
    struct SlowControl {
        uint64_t eventId = 0;
        std::vector<uint8_t> data; // the data stage, kept by the bus until completion
        size_t bytes = 0;
        USBD_STATUS status = USBD_STATUS_SUCCESS;
        bool in = false;
    };

    Impl(UsbDevice &dev, Scheduler &sched) : device(dev), scheduler(sched)
    {
        std::memset(static_cast<void *>(&pdo), 0, sizeof(pdo));
        pdo.Type = 3;
        pdo.Size = sizeof(DEVICE_OBJECT);
        pdo.DeviceExtension = this;
        pdo.StackSize = 1;
        pdo.HostDispatch = &Impl::dispatch;
    }

    static NTSTATUS dispatch(DEVICE_OBJECT *deviceObject, IRP *irp);
    static void cancelRoutine(DEVICE_OBJECT *deviceObject, IRP *irp);

    NTSTATUS submit(IRP *irp, URB *urb);
    NTSTATUS controlRequest(IRP *irp, const UsbSetup &setup, PVOID buffer, ULONG *lengthField,
                            std::unique_lock<std::mutex> &lock);
    USBD_STATUS selectConfiguration(URB *urb, std::vector<Completion> &aborted);
    NTSTATUS isochronousLocked(IRP *irp, URB *urb);
    NTSTATUS refuseIsochronousLocked(IRP *irp, URB *urb, USBD_STATUS status);
    void abortLocked(Pipe &pipe, std::vector<Completion> &out);
    void armTickLocked(bool continuing = false);
    void tick();
    bool serveFrameLocked(int64_t frame, std::vector<Completion> &done);
    void finishSlowControl(IRP *irp);
    Pipe *pipeFor(USBD_PIPE_HANDLE handle);
    Pipe &pipeAt(uint8_t address);
    int64_t nowMs() const { return scheduler.now() / kMillisecond; }
    // The frame a control transfer goes out in. While isochronous requests
    // are queued, a frame the bus has not served yet (its thread woke late in
    // real time) comes first: the controller polls the endpoint before the
    // control transfer of a later frame, so the camera loses no packet to it.
    int64_t deviceFrameLocked() const
    {
        for (const auto &pipe : pipes)
            if (!pipe->queue.empty())
                return std::min(nowMs(), nextFrame);
        return nowMs();
    }

    static NTSTATUS completeNow(IRP *irp, URB *urb, USBD_STATUS usbd);
    static void completeAll(const std::vector<Completion> &completions);

    mutable std::mutex mutex; // guards everything below and every call into the device
    bool closed = false;
    UsbDevice &device;
    Scheduler &scheduler;
    DEVICE_OBJECT pdo;
    std::vector<std::unique_ptr<Pipe>> pipes; // a pipe's address is its handle
    bool configured = false;
    int configurationToken = 0;
    int interfaceToken = 0;
    bool tickArmed = false;
    uint64_t tickId = 0;
    int64_t nextFrame = 0;
    std::map<IRP *, SlowControl> slowControls;
    std::vector<Completion> spareCompletions; // empty; see tick
    // Requests a frame served ahead of its time finished, and that frame:
    // the tick at that frame completes them.
    std::vector<Completion> held;
    int64_t heldFrame = 0;
};

UsbBus::UsbBus(UsbDevice &device, Scheduler &scheduler) : impl_(std::make_shared<Impl>(device, scheduler)) {}

UsbBus::~UsbBus()
{
    std::vector<uint64_t> events;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->closed = true;
        if (impl_->tickArmed)
            events.push_back(impl_->tickId);
        for (auto &[irp, slow] : impl_->slowControls)
            events.push_back(slow.eventId);
    }
    for (uint64_t id : events)
        impl_->scheduler.cancel(id);
}

DEVICE_OBJECT *UsbBus::physicalDeviceObject()
{
    return &impl_->pdo;
}

size_t UsbBus::queuedIsoRequests() const
{
    std::lock_guard lock(impl_->mutex);
    size_t count = 0;
    for (const auto &pipe : impl_->pipes)
        count += pipe->queue.size();
    return count;
}

size_t UsbBus::pendingControlRequests() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->slowControls.size();
}

// ---- Completion ------------------------------------------------------------------

NTSTATUS UsbBus::Impl::completeNow(IRP *irp, URB *urb, USBD_STATUS usbd)
{
    if (urb != nullptr)
        urb->UrbHeader.UsbdStatus = usbd;
    const NTSTATUS status = irpStatusFor(usbd);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    detail::fuzzDelay();
    IoCompleteRequest(irp, 0);
    return status;
}

void UsbBus::Impl::completeAll(const std::vector<Completion> &completions)
{
    for (const Completion &completion : completions) {
        IoSetCancelRoutine(completion.irp, nullptr);
        completion.irp->IoStatus.Status = completion.status;
        completion.irp->IoStatus.Information = 0;
        detail::fuzzDelay();
        IoCompleteRequest(completion.irp, 0);
    }
}

// ---- Dispatch ----------------------------------------------------------------------

NTSTATUS UsbBus::Impl::dispatch(DEVICE_OBJECT *deviceObject, IRP *irp)
{
    auto *self = static_cast<Impl *>(deviceObject->DeviceExtension);
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IoCompleteRequest(irp, 0);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    URB *urb = urbOf(irp);
    if (urb == nullptr || urb->UrbHeader.Length < sizeof(_URB_HEADER))
        return completeNow(irp, nullptr, USBD_STATUS_INVALID_PARAMETER);
    return self->submit(irp, urb);
}

NTSTATUS UsbBus::Impl::submit(IRP *irp, URB *urb)
{
    std::unique_lock lock(mutex);
    if (closed || !device.connected()) {
        if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER)
            return refuseIsochronousLocked(irp, urb, USBD_STATUS_DEVICE_GONE);
        lock.unlock();
        return completeNow(irp, urb, USBD_STATUS_DEVICE_GONE);
    }
    const USHORT length = urb->UrbHeader.Length;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto &request = urb->UrbControlDescriptorRequest;
        if (length < sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) || request.TransferBufferLength > 0xFFFF ||
            (request.TransferBufferLength > 0 && request.TransferBuffer == nullptr))
            break;
        UsbSetup setup;
        setup.requestType = 0x80;
        setup.request = 6; // GET_DESCRIPTOR
        setup.value = static_cast<uint16_t>(request.DescriptorType << 8 | request.Index);
        setup.index = request.LanguageId;
        setup.length = static_cast<uint16_t>(request.TransferBufferLength);
        return controlRequest(irp, setup, request.TransferBuffer, &request.TransferBufferLength, lock);
    }
    case URB_FUNCTION_VENDOR_DEVICE: {
        auto &request = urb->UrbControlVendorClassRequest;
        if (length < sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) || request.TransferBufferLength > 0xFFFF ||
            (request.TransferBufferLength > 0 && request.TransferBuffer == nullptr))
            break;
        UsbSetup setup;
        const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        setup.requestType = static_cast<uint8_t>((in ? 0x80 : 0x00) | 0x40 | request.RequestTypeReservedBits);
        setup.request = request.Request;
        setup.value = request.Value;
        setup.index = request.Index;
        setup.length = static_cast<uint16_t>(request.TransferBufferLength);
        return controlRequest(irp, setup, request.TransferBuffer, &request.TransferBufferLength, lock);
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        if (length < offsetof(_URB_SELECT_CONFIGURATION, Interface))
            break;
        std::vector<Completion> aborted;
        const USBD_STATUS status = selectConfiguration(urb, aborted);
        lock.unlock();
        completeAll(aborted);
        return completeNow(irp, urb, status);
    }
    case URB_FUNCTION_ISOCH_TRANSFER:
        return isochronousLocked(irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE: {
        if (length < sizeof(_URB_PIPE_REQUEST))
            break;
        Pipe *pipe = pipeFor(urb->UrbPipeRequest.PipeHandle);
        if (pipe == nullptr) {
            lock.unlock();
            return completeNow(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
        }
        std::vector<Completion> aborted;
        USBD_STATUS status = USBD_STATUS_SUCCESS;
        if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE)
            abortLocked(*pipe, aborted);
        else if (!pipe->queue.empty())
            status = USBD_STATUS_ERROR_BUSY; // a pipe is reset only when idle
        lock.unlock();
        completeAll(aborted);
        return completeNow(irp, urb, status);
    }
    default:
        lock.unlock();
        return completeNow(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
    lock.unlock();
    return completeNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
}

// ---- Control transfers ---------------------------------------------------------------

NTSTATUS UsbBus::Impl::controlRequest(IRP *irp, const UsbSetup &setup, PVOID buffer, ULONG *lengthField,
                                      std::unique_lock<std::mutex> &lock)
{
    const bool in = (setup.requestType & 0x80) != 0;
    // The device works on the bus's copy of the data stage, so the caller's
    // buffer is touched only when the request completes. Most data stages
    // are a few bytes: those are copied on the stack.
    std::array<uint8_t, 64> small{};
    std::vector<uint8_t> large;
    if (setup.length > small.size())
        large.resize(setup.length);
    const std::span<uint8_t> data =
        large.empty() ? std::span<uint8_t>(small.data(), setup.length) : std::span<uint8_t>(large);
    if (!in && setup.length > 0)
        std::memcpy(data.data(), buffer, setup.length);
    const UsbTransferResult result = device.controlTransfer(setup, data, deviceFrameLocked());
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    if (result.status == UsbTransferStatus::Stall)
        status = USBD_STATUS_STALL_PID;
    else if (result.status == UsbTransferStatus::Fail)
        // A transfer that merely did not complete leaves the endpoint usable;
        // a device that has gone reports so.
        status = device.connected() ? USBD_STATUS_REQUEST_FAILED : USBD_STATUS_DEVICE_GONE;
    const size_t bytes = std::min<size_t>(result.bytes, setup.length);

    if (result.delayMs > 0) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, &Impl::cancelRoutine);
        SlowControl &slow = slowControls[irp];
        slow.data.assign(data.begin(), data.end());
        slow.bytes = bytes;
        slow.status = status;
        slow.in = in;
        std::weak_ptr<Impl> weak = weak_from_this();
        slow.eventId = scheduler.postAfter(result.delayMs * kMillisecond, [weak, irp] {
            if (auto self = weak.lock())
                self->finishSlowControl(irp);
        });
        return STATUS_PENDING;
    }
    lock.unlock();
    if (in && bytes > 0)
        std::memcpy(buffer, data.data(), bytes);
    *lengthField = static_cast<ULONG>(bytes);
    return completeNow(irp, urbOf(irp), status);
}

void UsbBus::Impl::finishSlowControl(IRP *irp)
{
    SlowControl slow;
    {
        std::lock_guard lock(mutex);
        auto it = slowControls.find(irp);
        if (closed || it == slowControls.end())
            return; // cancelled meanwhile: the cancel routine completed it
        slow = std::move(it->second);
        slowControls.erase(it);
    }
    IoSetCancelRoutine(irp, nullptr);
    URB *urb = urbOf(irp);
    ULONG *lengthField = urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE
                             ? &urb->UrbControlVendorClassRequest.TransferBufferLength
                             : &urb->UrbControlDescriptorRequest.TransferBufferLength;
    PVOID buffer = urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE
                       ? urb->UrbControlVendorClassRequest.TransferBuffer
                       : urb->UrbControlDescriptorRequest.TransferBuffer;
    if (slow.in && slow.bytes > 0)
        std::memcpy(buffer, slow.data.data(), slow.bytes);
    *lengthField = static_cast<ULONG>(slow.bytes);
    completeNow(irp, urb, slow.status);
}

// ---- Configuration ---------------------------------------------------------------------

UsbBus::Impl::Pipe *UsbBus::Impl::pipeFor(USBD_PIPE_HANDLE handle)
{
    for (auto &pipe : pipes)
        if (pipe.get() == handle && pipe->open)
            return pipe.get();
    return nullptr;
}

UsbBus::Impl::Pipe &UsbBus::Impl::pipeAt(uint8_t address)
{
    for (auto &pipe : pipes)
        if (pipe->address == address)
            return *pipe;
    pipes.push_back(std::make_unique<Pipe>());
    pipes.back()->address = address;
    return *pipes.back();
}

void UsbBus::Impl::abortLocked(Pipe &pipe, std::vector<Completion> &out)
{
    for (IRP *irp : pipe.queue) {
        urbOf(irp)->UrbHeader.UsbdStatus = USBD_STATUS_CANCELED;
        out.push_back({irp, STATUS_CANCELLED});
    }
    pipe.queue.clear();
    pipe.nextPacket = 0;
    pipe.errors = 0;
}

USBD_STATUS UsbBus::Impl::selectConfiguration(URB *urb, std::vector<Completion> &aborted)
{
    // A new configuration or setting ends every transfer on the old pipes.
    for (auto &pipe : pipes) {
        abortLocked(*pipe, aborted);
        pipe->open = false;
    }
    configured = false;
    auto &select = urb->UrbSelectConfiguration;
    if (select.ConfigurationDescriptor == nullptr)
        return USBD_STATUS_SUCCESS; // unconfigured

    std::vector<uint8_t> descriptor = device.configurationDescriptor();
    if (descriptor.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return USBD_STATUS_REQUEST_FAILED;
    auto *config = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR *>(descriptor.data());
    config->wTotalLength = static_cast<USHORT>(std::min<size_t>(config->wTotalLength, descriptor.size()));
    const size_t total = config->wTotalLength;

    size_t at = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    const size_t end = urb->UrbHeader.Length;
    if (at + GET_USBD_INTERFACE_SIZE(0) > end)
        return USBD_STATUS_INVALID_PARAMETER;
    while (at + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
        auto *info = reinterpret_cast<USBD_INTERFACE_INFORMATION *>(reinterpret_cast<UCHAR *>(urb) + at);
        if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || at + info->Length > end)
            return USBD_STATUS_INVALID_PARAMETER;
        USB_INTERFACE_DESCRIPTOR *interface = USBD_ParseConfigurationDescriptorEx(
            config, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        if (interface == nullptr)
            return USBD_STATUS_INVALID_PARAMETER;
        // The endpoints follow their interface up to the next interface.
        std::vector<const USB_ENDPOINT_DESCRIPTOR *> endpoints;
        size_t walk = static_cast<size_t>(reinterpret_cast<UCHAR *>(interface) - descriptor.data()) +
                      interface->bLength;
        while (walk + 2 <= total && descriptor[walk] >= 2 && walk + descriptor[walk] <= total &&
               descriptor[walk + 1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (descriptor[walk + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                descriptor[walk] >= sizeof(USB_ENDPOINT_DESCRIPTOR))
                endpoints.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(&descriptor[walk]));
            walk += descriptor[walk];
        }
        if (info->Length < GET_USBD_INTERFACE_SIZE(endpoints.size()))
            return USBD_STATUS_INVALID_PARAMETER;
        if (!device.selectAlternate(info->InterfaceNumber, info->AlternateSetting, deviceFrameLocked()))
            return USBD_STATUS_NO_BANDWIDTH; // the host could not give the setting its bandwidth
        info->Class = interface->bInterfaceClass;
        info->SubClass = interface->bInterfaceSubClass;
        info->Protocol = interface->bInterfaceProtocol;
        info->InterfaceHandle = &interfaceToken;
        info->NumberOfPipes = static_cast<ULONG>(endpoints.size());
        for (size_t i = 0; i < endpoints.size(); ++i) {
            Pipe &pipe = pipeAt(endpoints[i]->bEndpointAddress);
            pipe.maxPacketSize = static_cast<uint16_t>(endpoints[i]->wMaxPacketSize & 0x7FF);
            pipe.interval = endpoints[i]->bInterval;
            pipe.open = true;
            USBD_PIPE_INFORMATION &out = info->Pipes[i];
            out.MaximumPacketSize = pipe.maxPacketSize;
            out.EndpointAddress = pipe.address;
            out.Interval = pipe.interval;
            out.PipeType = static_cast<USBD_PIPE_TYPE>(endpoints[i]->bmAttributes & 0x03);
            out.PipeHandle = &pipe;
        }
        at += info->Length;
        if (at >= end || info->Length == 0)
            break;
    }
    configured = true;
    select.ConfigurationHandle = &configurationToken;
    return USBD_STATUS_SUCCESS;
}

// ---- Isochronous transfers ---------------------------------------------------------------

NTSTATUS UsbBus::Impl::isochronousLocked(IRP *irp, URB *urb)
{
    auto &iso = urb->UrbIsochronousTransfer;
    const size_t length = urb->UrbHeader.Length;
    USBD_STATUS reject = USBD_STATUS_SUCCESS;
    Pipe *pipe = nullptr;
    if (length < offsetof(_URB_ISOCH_TRANSFER, IsoPacket) || iso.NumberOfPackets == 0 ||
        iso.NumberOfPackets > 1024 ||
        length < offsetof(_URB_ISOCH_TRANSFER, IsoPacket) +
                     iso.NumberOfPackets * sizeof(USBD_ISO_PACKET_DESCRIPTOR) ||
        (iso.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0 || iso.TransferBuffer == nullptr ||
        iso.TransferBufferLength == 0) {
        reject = USBD_STATUS_INVALID_PARAMETER;
    } else if ((pipe = pipeFor(iso.PipeHandle)) == nullptr) {
        reject = USBD_STATUS_INVALID_PIPE_HANDLE;
    } else if (pipe->maxPacketSize == 0) {
        reject = USBD_STATUS_NO_BANDWIDTH;
    } else {
        // Offsets rise strictly and stay inside the buffer.
        for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
            const ULONG offset = iso.IsoPacket[i].Offset;
            if (offset >= iso.TransferBufferLength || (i > 0 && offset <= iso.IsoPacket[i - 1].Offset))
                reject = USBD_STATUS_INVALID_PARAMETER;
        }
    }
    if (reject != USBD_STATUS_SUCCESS)
        return refuseIsochronousLocked(irp, urb, reject);
    urb->UrbHeader.UsbdStatus = USBD_STATUS_PENDING;
    iso.ErrorCount = 0;
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
        iso.IsoPacket[i].Length = 0;
        iso.IsoPacket[i].Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
    }
    irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, &Impl::cancelRoutine);
    pipe->queue.push_back(irp);
    armTickLocked();
    return STATUS_PENDING;
}

// A refused isochronous request completes from the scheduler, as soon as
// possible, like one that ran: it is often a completion routine that
// resubmits, holding its own lock, and its routine must not run again inside
// it; and its submitter counts the request as out once the call returns.
NTSTATUS UsbBus::Impl::refuseIsochronousLocked(IRP *irp, URB *urb, USBD_STATUS status)
{
    irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(irp);
    std::weak_ptr<Impl> weak = weak_from_this();
    scheduler.postAt(scheduler.now(), [weak, irp, urb, status] {
        auto self = weak.lock();
        if (!self)
            return;
        {
            std::lock_guard lock(self->mutex);
            if (self->closed)
                return; // abandoned with the bus, as queued requests are
        }
        completeNow(irp, urb, status);
    });
    return STATUS_PENDING;
}

void UsbBus::Impl::armTickLocked(bool continuing)
{
    if (tickArmed || closed)
        return;
    bool busy = !held.empty();
    for (auto &pipe : pipes)
        busy = busy || !pipe->queue.empty();
    if (!busy)
        return;
    // A bus that was idle starts with the next USB frame. A tick that goes on
    // keeps its place: frames that passed while it ran (the camera may take
    // milliseconds to encode a picture) are served by the next tick, at once.
    if (!continuing)
        nextFrame = std::max(nextFrame, nowMs() + 1);
    tickArmed = true;
    std::weak_ptr<Impl> weak = weak_from_this();
    const int64_t frame = held.empty() ? nextFrame : heldFrame;
    tickId = scheduler.postAt(frame * kMillisecond, [weak] {
        if (auto self = weak.lock())
            self->tick();
    });
}

// A host controller polls every scheduled transfer in its own frame, however
// late the host's software runs. In real time this thread may wake several
// milliseconds late: it then serves each frame it slept through, in order, as
// long as requests are queued for it, so that the camera loses a packet only
// when the driver really had no request at the bus. After a stall longer than
// kMaxCatchUpFrames (a suspended process) the frames before are given up.
constexpr int64_t kMaxCatchUpFrames = 200;

void UsbBus::Impl::tick()
{
    std::vector<Completion> done;
    {
        std::lock_guard lock(mutex);
        done.swap(spareCompletions);
        tickArmed = false;
        if (closed)
            return;
        const int64_t now = nowMs();
        done.insert(done.end(), held.begin(), held.end());
        held.clear();
        int64_t frame = std::max(nextFrame, now - kMaxCatchUpFrames);
        while (frame <= now && serveFrameLocked(frame, done))
            ++frame;
        // Until quietUntil nothing else runs and nobody looks: the frames
        // before it are served now, up to the first that finishes a request.
        // Its completions wait for a tick at that frame, so that they run at
        // their time. Frames served early are what they would have been: the
        // device sees the same calls in the same order.
        if (done.empty()) {
            const int64_t quiet = scheduler.quietUntil();
            while (frame * kMillisecond < quiet && serveFrameLocked(frame, held)) {
                ++frame;
                if (!held.empty()) {
                    heldFrame = frame - 1;
                    break;
                }
            }
        }
        nextFrame = frame;
        armTickLocked(true);
        // The list goes back for the next tick, so that a tick completing
        // a request does not allocate one.
        if (done.empty()) {
            spareCompletions.swap(done);
            return;
        }
    }
    completeAll(done);
    done.clear();
    std::lock_guard lock(mutex);
    if (spareCompletions.capacity() < done.capacity())
        spareCompletions.swap(done);
}

// One USB frame: the head request of every busy pipe gets its next packet.
// False when no pipe had a request queued.
bool UsbBus::Impl::serveFrameLocked(int64_t frame, std::vector<Completion> &done)
{
    bool busy = false;
    const bool gone = !device.connected();
    for (auto &pipe : pipes) {
        if (pipe->queue.empty())
            continue;
        busy = true;
        if (gone) {
            for (IRP *irp : pipe->queue) {
                urbOf(irp)->UrbHeader.UsbdStatus = USBD_STATUS_DEVICE_GONE;
                done.push_back({irp, STATUS_DEVICE_NOT_CONNECTED});
            }
            pipe->queue.clear();
            pipe->nextPacket = 0;
            pipe->errors = 0;
            continue;
        }
        IRP *irp = pipe->queue.front();
        auto &iso = urbOf(irp)->UrbIsochronousTransfer;
        const ULONG k = pipe->nextPacket;
        if (k == 0)
            iso.StartFrame = static_cast<ULONG>(frame);
        USBD_ISO_PACKET_DESCRIPTOR &packet = iso.IsoPacket[k];
        const ULONG limit =
            k + 1 < iso.NumberOfPackets ? iso.IsoPacket[k + 1].Offset : iso.TransferBufferLength;
        const size_t room = std::min<size_t>(limit - packet.Offset, pipe->maxPacketSize);
        std::span<uint8_t> slot(static_cast<uint8_t *>(iso.TransferBuffer) + packet.Offset, room);
        checkWritable(slot);
        const UsbPacketResult result = device.isoPacket(pipe->address, frame, slot);
        bool requestFailed = false;
        switch (result.status) {
        case UsbPacketStatus::Ok:
            packet.Length = static_cast<ULONG>(std::min(result.length, room));
            packet.Status = USBD_STATUS_SUCCESS;
            break;
        case UsbPacketStatus::Error:
            packet.Status = USBD_STATUS_CRC;
            ++pipe->errors;
            break;
        case UsbPacketStatus::NoResponse:
            packet.Status = USBD_STATUS_DEV_NOT_RESPONDING;
            ++pipe->errors;
            break;
        case UsbPacketStatus::RequestFailed:
            packet.Status = USBD_STATUS_ISOCH_REQUEST_FAILED;
            ++pipe->errors;
            requestFailed = true;
            break;
        }
        pipe->nextPacket = k + 1;
        if (requestFailed || pipe->nextPacket == iso.NumberOfPackets) {
            iso.ErrorCount = pipe->errors;
            // A request fails as a whole when the device said so or when
            // not one of its packets arrived.
            const bool failed = requestFailed || pipe->errors == iso.NumberOfPackets;
            const USBD_STATUS status = failed ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS;
            urbOf(irp)->UrbHeader.UsbdStatus = status;
            done.push_back({irp, irpStatusFor(status)});
            pipe->queue.pop_front();
            pipe->nextPacket = 0;
            pipe->errors = 0;
        }
    }
    return busy;
}

// ---- Cancel ------------------------------------------------------------------------------

void UsbBus::Impl::cancelRoutine(DEVICE_OBJECT *deviceObject, IRP *irp)
{
    auto *self = static_cast<Impl *>(deviceObject->DeviceExtension);
    uint64_t event = 0;
    bool found = false;
    {
        std::lock_guard lock(self->mutex);
        for (auto &pipe : self->pipes) {
            auto it = std::find(pipe->queue.begin(), pipe->queue.end(), irp);
            if (it == pipe->queue.end())
                continue;
            if (it == pipe->queue.begin()) {
                pipe->nextPacket = 0;
                pipe->errors = 0;
            }
            pipe->queue.erase(it);
            found = true;
            break;
        }
        auto slow = self->slowControls.find(irp);
        if (!found && slow != self->slowControls.end()) {
            event = slow->second.eventId;
            self->slowControls.erase(slow);
            found = true;
        }
    }
    if (!found)
        return; // being completed by its owner
    if (event != 0)
        self->scheduler.cancel(event);
    completeNow(irp, urbOf(irp), USBD_STATUS_CANCELED);
}

} // namespace zm4::host
