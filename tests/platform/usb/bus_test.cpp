// The host USB bus with the emulated camera behind it: when queued
// isochronous requests are served and end, by their last frame, abort, cancel
// and reset, and a setting without bandwidth.
// (Frames, packet timing and failing packets through the bus are the
// transport's and recovery tests'; real threads the stress tests'.)
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "emulator/camera.h"
#include "emulator/usb_device.h"
#include "platform/kernel/host.h"
#include "platform/usb/bus.h"

namespace {

using zm4::host::kMillisecond;

// One isochronous request owned by the test: its IRP, URB and buffer, and
// what its completions saw.
struct IsoRequest {
    IRP *irp = nullptr;
    std::vector<uint8_t> urbBytes;
    std::vector<uint8_t> buffer;
    std::vector<int64_t> completedAt;
    NTSTATUS lastStatus = STATUS_PENDING;

    URB *urb() { return reinterpret_cast<URB *>(urbBytes.data()); }
    _URB_ISOCH_TRANSFER &iso() { return urb()->UrbIsochronousTransfer; }
};

NTSTATUS isoCompleted(DEVICE_OBJECT *, IRP *irp, PVOID context)
{
    auto *request = static_cast<IsoRequest *>(context);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    request->lastStatus = irp->IoStatus.Status;
    request->completedAt.push_back(zm4::host::Kernel::current().scheduler().now() / kMillisecond);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class Bus : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (auto &request : requests)
            IoFreeIrp(request->irp);
        requests.clear();
        EXPECT_EQ(kernel.pool().liveBlocks(), 0u) << kernel.pool().leakReport();
    }

    // Sends a URB the way a driver does and waits for its completion.
    NTSTATUS send(URB *urb)
    {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK io{STATUS_UNSUCCESSFUL, 0};
        IRP *irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, bus.physicalDeviceObject(),
                                                 nullptr, 0, nullptr, 0, TRUE, &event, &io);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        if (IofCallDriver(bus.physicalDeviceObject(), irp) == STATUS_PENDING)
            kernel.scheduler().runUntil([&] { return KeReadStateEvent(&event) != 0; },
                                        10 * zm4::host::kSecond);
        return io.Status;
    }

    // Selects an alternate setting of the video interface; the isochronous pipe.
    NTSTATUS select(uint8_t alternate, USBD_PIPE_INFORMATION *pipe = nullptr)
    {
        auto *config = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR *>(descriptor.data());
        USBD_INTERFACE_LIST_ENTRY list[2] = {
            {USBD_ParseConfigurationDescriptorEx(config, config, 1, alternate, -1, -1, -1), nullptr},
            {nullptr, nullptr}};
        URB *urb = USBD_CreateConfigurationRequestEx(config, list);
        const NTSTATUS status = send(urb);
        if (pipe != nullptr)
            *pipe = list[0].Interface->Pipes[0];
        ExFreePool(urb);
        return status;
    }

    IsoRequest &submitIso(const USBD_PIPE_INFORMATION &pipe, ULONG packets, NTSTATUS *callStatus = nullptr)
    {
        auto request = std::make_unique<IsoRequest>();
        request->irp = IoAllocateIrp(bus.physicalDeviceObject()->StackSize, FALSE);
        request->urbBytes.assign(GET_ISO_URB_SIZE(packets), 0);
        request->buffer.assign(packets * pipe.MaximumPacketSize, 0);
        auto &iso = request->iso();
        iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        iso.Hdr.Length = static_cast<USHORT>(request->urbBytes.size());
        iso.PipeHandle = pipe.PipeHandle;
        iso.TransferFlags =
            USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;
        iso.TransferBuffer = request->buffer.data();
        iso.TransferBufferLength = static_cast<ULONG>(request->buffer.size());
        iso.NumberOfPackets = packets;
        for (ULONG i = 0; i < packets; ++i)
            iso.IsoPacket[i].Offset = i * pipe.MaximumPacketSize;
        requests.push_back(std::move(request));
        const NTSTATUS status = resubmit(*requests.back());
        if (callStatus != nullptr)
            *callStatus = status;
        return *requests.back();
    }

    NTSTATUS resubmit(IsoRequest &request)
    {
        IO_STACK_LOCATION *next = IoGetNextIrpStackLocation(request.irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = request.urb();
        IoSetCompletionRoutine(request.irp, isoCompleted, &request, TRUE, TRUE, TRUE);
        return IofCallDriver(bus.physicalDeviceObject(), request.irp);
    }

    zm4::host::Kernel kernel;
    zm4::emu::Camera camera;
    zm4::emu::UsbCamera usbCamera{camera};
    zm4::host::UsbBus bus{usbCamera, kernel.scheduler()};
    std::vector<uint8_t> descriptor = camera.configurationDescriptor();
    std::vector<std::unique_ptr<IsoRequest>> requests;
};

TEST_F(Bus, AbortCancelAndResetEndQueuedRequests)
{
    USBD_PIPE_INFORMATION pipe{};
    ASSERT_EQ(select(1, &pipe), STATUS_SUCCESS);
    IsoRequest &first = submitIso(pipe, 8);
    IsoRequest &second = submitIso(pipe, 8);
    IsoRequest &third = submitIso(pipe, 8);
    kernel.scheduler().runFor(3 * kMillisecond);

    EXPECT_EQ(IoCancelIrp(third.irp), TRUE);
    EXPECT_EQ(third.lastStatus, STATUS_CANCELLED);
    EXPECT_EQ(third.iso().Hdr.UsbdStatus, USBD_STATUS_CANCELED);

    URB pipeUrb{};
    pipeUrb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    pipeUrb.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    pipeUrb.UrbPipeRequest.PipeHandle = pipe.PipeHandle;
    EXPECT_EQ(send(&pipeUrb), STATUS_UNSUCCESSFUL); // busy
    EXPECT_EQ(pipeUrb.UrbHeader.UsbdStatus, USBD_STATUS_ERROR_BUSY);

    pipeUrb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    EXPECT_EQ(send(&pipeUrb), STATUS_SUCCESS);
    EXPECT_EQ(first.lastStatus, STATUS_CANCELLED);
    EXPECT_EQ(second.lastStatus, STATUS_CANCELLED);
    // The first had run three packets; the rest were never accessed.
    EXPECT_EQ(first.iso().IsoPacket[2].Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(first.iso().IsoPacket[3].Status, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW);
    kernel.scheduler().runFor(30 * kMillisecond);
    for (auto &request : requests)
        EXPECT_EQ(request->completedAt.size(), 1u);

    pipeUrb.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    EXPECT_EQ(send(&pipeUrb), STATUS_SUCCESS);
    // Setting 0 has no bandwidth: requests are refused, through a later completion.
    ASSERT_EQ(select(0), STATUS_SUCCESS);
    NTSTATUS status = STATUS_SUCCESS;
    IsoRequest &refused = submitIso(pipe, 8, &status);
    EXPECT_EQ(status, STATUS_PENDING);
    EXPECT_TRUE(refused.completedAt.empty());
    kernel.scheduler().runFor(1 * kMillisecond);
    EXPECT_EQ(refused.lastStatus, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(refused.iso().Hdr.UsbdStatus, USBD_STATUS_NO_BANDWIDTH);
}

TEST_F(Bus, FramesAreServedInTheirTimeAndRequestsEndAtTheirLastFrame)
{
    USBD_PIPE_INFORMATION pipe{};
    ASSERT_EQ(select(1, &pipe), STATUS_SUCCESS);
    const int64_t start = kernel.scheduler().now() / kMillisecond;
    IsoRequest &first = submitIso(pipe, 8);
    IsoRequest &second = submitIso(pipe, 8);
    auto packetsAccessed = [&first] {
        ULONG n = 0;
        for (ULONG i = 0; i < 8; ++i)
            n += first.iso().IsoPacket[i].Status != USBD_STATUS_ISO_NOT_ACCESSED_BY_HW ? 1 : 0;
        return n;
    };
    // Posted before the frames' ticks, an event sees the frames before its
    // time served and none of its own, however quiet the stretch before it.
    ULONG accessed = 0;
    kernel.scheduler().postAt((start + 5) * kMillisecond, [&] { accessed = packetsAccessed(); });
    // A run until a condition stops at the frame where it holds: nothing
    // after it is served early.
    ASSERT_TRUE(kernel.scheduler().runUntil([&] { return packetsAccessed() >= 2; }, 40 * kMillisecond));
    EXPECT_EQ(packetsAccessed(), 2u);
    kernel.scheduler().runFor(40 * kMillisecond);
    EXPECT_EQ(accessed, 4u);
    EXPECT_EQ(first.completedAt, std::vector<int64_t>{start + 8});
    EXPECT_EQ(second.completedAt, std::vector<int64_t>{start + 16});
    EXPECT_EQ(second.iso().StartFrame, static_cast<ULONG>(start + 9));
}

} // namespace
