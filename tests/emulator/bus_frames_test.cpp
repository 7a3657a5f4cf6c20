// The camera's frames through the host USB bus: commands as vendor URBs,
// the upload through back-to-back 8-packet isochronous requests, frames cut
// by the host's end-of-frame rule, verified and decoded, for every window
// size, compression and decimation choice.

#include <gtest/gtest.h>

#include <cstring>

#include "decode/zm4decode.h"
#include "emulator/usb_device.h"
#include "platform/kernel/host.h"
#include "platform/usb/bus.h"
#include "tests/emulator/emu_test_util.h"

namespace zm4::emu::test {
namespace {

class BusHost {
public:
    explicit BusHost(Camera &camera) : usbCamera_(camera), bus_(usbCamera_, kernel_.scheduler()) {}

    zm4::host::Kernel &kernel() { return kernel_; }

    NTSTATUS send(URB *urb)
    {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK io{STATUS_UNSUCCESSFUL, 0};
        IRP *irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, bus_.physicalDeviceObject(),
                                                 nullptr, 0, nullptr, 0, TRUE, &event, &io);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        IofCallDriver(bus_.physicalDeviceObject(), irp);
        return io.Status;
    }

    NTSTATUS command(uint8_t request, std::array<uint8_t, 4> p)
    {
        URB urb{};
        urb.UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
        urb.UrbHeader.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        urb.UrbControlVendorClassRequest.Request = request;
        urb.UrbControlVendorClassRequest.Value = static_cast<USHORT>(p[0] | p[1] << 8);
        urb.UrbControlVendorClassRequest.Index = static_cast<USHORT>(p[2] | p[3] << 8);
        return send(&urb);
    }

    // Selects alternate setting 3 and keeps two 8-packet requests going.
    void startStream()
    {
        const std::vector<uint8_t> bytes = usbCamera_.configurationDescriptor();
        config_.assign(bytes.begin(), bytes.end());
        auto *config = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR *>(config_.data());
        USBD_INTERFACE_LIST_ENTRY list[2] = {
            {USBD_ParseConfigurationDescriptorEx(config, config, 1, 3, -1, -1, -1), nullptr},
            {nullptr, nullptr}};
        URB *select = USBD_CreateConfigurationRequestEx(config, list);
        ASSERT_EQ(send(select), STATUS_SUCCESS);
        pipe_ = list[0].Interface->Pipes[0];
        ExFreePool(select);
        for (auto &request : requests_) {
            request.host = this;
            request.irp = IoAllocateIrp(1, FALSE);
            request.urb.assign(GET_ISO_URB_SIZE(8), 0);
            request.buffer.assign(8 * pipe_.MaximumPacketSize, 0);
            submit(request);
        }
    }

    void stopStream()
    {
        running_ = false;
        kernel_.scheduler().runFor(20 * zm4::host::kMillisecond);
        for (auto &request : requests_)
            IoFreeIrp(request.irp);
    }

    std::vector<std::vector<uint8_t>> frames;

private:
    struct Request {
        BusHost *host = nullptr;
        IRP *irp = nullptr;
        std::vector<uint8_t> urb;
        std::vector<uint8_t> buffer;
    };

    static NTSTATUS completed(DEVICE_OBJECT *, IRP *, PVOID context)
    {
        auto &request = *static_cast<Request *>(context);
        auto &iso = reinterpret_cast<URB *>(request.urb.data())->UrbIsochronousTransfer;
        BusHost &host = *request.host;
        for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
            const USBD_ISO_PACKET_DESCRIPTOR &packet = iso.IsoPacket[i];
            if (!USBD_SUCCESS(packet.Status) || packet.Length == 0)
                continue;
            const uint8_t *data = request.buffer.data() + packet.Offset;
            host.current_.insert(host.current_.end(), data, data + packet.Length);
            if (hostSeesFrameEnd(data, packet.Length)) {
                host.frames.push_back(std::move(host.current_));
                host.current_.clear();
            }
        }
        if (host.running_)
            host.submit(request);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    void submit(Request &request)
    {
        auto &iso = reinterpret_cast<URB *>(request.urb.data())->UrbIsochronousTransfer;
        iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        iso.Hdr.Length = static_cast<USHORT>(request.urb.size());
        iso.PipeHandle = pipe_.PipeHandle;
        iso.TransferFlags =
            USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;
        iso.TransferBuffer = request.buffer.data();
        iso.TransferBufferLength = static_cast<ULONG>(request.buffer.size());
        iso.NumberOfPackets = 8;
        for (ULONG i = 0; i < 8; ++i)
            iso.IsoPacket[i].Offset = i * pipe_.MaximumPacketSize;
        IO_STACK_LOCATION *next = IoGetNextIrpStackLocation(request.irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = request.urb.data();
        IoSetCompletionRoutine(request.irp, completed, &request, TRUE, TRUE, TRUE);
        EXPECT_EQ(IofCallDriver(bus_.physicalDeviceObject(), request.irp), STATUS_PENDING);
    }

    zm4::host::Kernel kernel_;
    UsbCamera usbCamera_;
    zm4::host::UsbBus bus_;
    std::vector<uint8_t> config_;
    USBD_PIPE_INFORMATION pipe_{};
    Request requests_[2];
    std::vector<uint8_t> current_;
    bool running_ = true;
};

// Streams continuously through two back-to-back 8-packet requests until the
// host has cut three frames.
std::vector<std::vector<uint8_t>> streamThroughTheBus(Camera &camera, uint8_t videoSize, uint8_t compression,
                                                      uint8_t decimation)
{
    BusHost host(camera);
    const uint8_t columns = videoSize ? 44 : 22, rows = videoSize ? 72 : 36;
    for (const auto &[request, p] : std::initializer_list<std::pair<uint8_t, std::array<uint8_t, 4>>>{
             {kGotoHiPower, {0, 0, 0, 0}},
             {kWriteVCReg, {0xF1, 0xF7, 0x08, 0}},
             {kSetFormat, {videoSize, 1, 0, 0}},
             {kSetROI, {0, columns, 0, rows}},
             {kSetCompression, {compression, decimation, 0, 0}},
             {kSetGrabMode, {0, 0, 0, 0}}})
        EXPECT_EQ(host.command(request, p), STATUS_SUCCESS);
    host.startStream();
    host.kernel().scheduler().runUntil([&] { return host.frames.size() >= 3; }, 3 * zm4::host::kSecond);
    host.stopStream();
    return host.frames;
}

TEST(BusFrames, VerifyAndDecodeAfterCrossingTheBus)
{
    InitDecode();
    for (int bits = 0; bits < 8; ++bits) {
        const uint8_t videoSize = bits >> 2 & 1, compression = bits >> 1 & 1, decimation = bits & 1;
        SCOPED_TRACE(::testing::Message() << "size " << int(videoSize) << " compression " << int(compression)
                                          << " decimation " << int(decimation));
        Camera camera;
        std::vector<std::vector<uint8_t>> sent;
        camera.setFrameObserver([&](const CapturedFrame &f) { sent.push_back(f.bytes); });
        const auto frames = streamThroughTheBus(camera, videoSize, compression, decimation);
        ASSERT_GE(frames.size(), 3u);
        const uint32_t width = videoSize ? 352 : 176, height = videoSize ? 288 : 144;
        std::vector<uint8_t> output(width * height * 2);
        uint16_t decimationState = 0;
        // The first frame may have started before the host polled; the rest are whole.
        for (size_t n = 1; n < frames.size(); ++n) {
            const std::vector<uint8_t> &frame = frames[n];
            EXPECT_NE(std::find(sent.begin(), sent.end(), frame), sent.end()) << "frame " << n;
            FrameHeaderInfo info{};
            StreamErrorDetails details{};
            ASSERT_EQ(VerifyStreamBounded(frame.data(), frame.size(), &info, &details), 0u) << "frame " << n;
            EXPECT_EQ(info.compression, compression);
            EXPECT_EQ(info.decimation, decimation);
            EXPECT_EQ(FormatStreamBounded(ZM4_FORMAT_YUY2, frame.data(), frame.size(), output.data(), width,
                                          height, &decimationState),
                      0u);
        }
    }
    FiniDecode();
}

// A corrupting camera's frames reach the host as damaged as they left it.
TEST(BusFrames, CorruptFramesCrossTheBusAsSent)
{
    InitDecode();
    Camera camera;
    std::string error;
    ASSERT_TRUE(parseFault("corrupt=magic", camera.faults(), &error)) << error;
    const auto frames = streamThroughTheBus(camera, 0, 0, 0);
    ASSERT_GE(frames.size(), 3u);
    for (size_t n = 1; n < frames.size(); ++n) {
        FrameHeaderInfo info{};
        StreamErrorDetails details{};
        EXPECT_EQ(VerifyStreamBounded(frames[n].data(), frames[n].size(), &info, &details),
                  ZM4_FRAME_MAGIC_MOVED);
    }
    FiniDecode();
}

} // namespace
} // namespace zm4::emu::test
