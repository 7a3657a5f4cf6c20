// The camera link against the emulated camera: the bytes of every camera
// command, the presence check and retries, failure counting, the camera fault
// latch, bandwidth selection, isochronous requests and late completions,
// asserted on the camera's control trace, the registry and the pool.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <vector>

#include "driver/debug.h"
#include "driver/device_extension.h"
#include "driver/extns.h"
#include "link/usbif.h"
#include "link/zirc.h"
#include "link/zirclink.h"
#include "tests/support/camera_rig.h"

namespace {

using zm4::emu::TraceEntry;
using zm4::testing::CameraRig;
using zm4::testing::CameraRigOptions;

class Link : public ::testing::Test {
protected:
    Link() : device(rig.device()) {}

    void SetUp() override
    {
        Debug_Init();
        ASSERT_EQ(USBIF_Initialise(device), STATUS_SUCCESS);
        ZIRCLink_Initialise(device);
    }

    void TearDown() override
    {
        USBIF_Terminate(device);
        EXPECT_EQ(rig.driverBlocks(), 0u) << rig.kernel().pool().leakReport();
        EXPECT_EQ(rig.kernel().pool().liveBlocks(), 0u) << rig.kernel().pool().leakReport();
    }

    size_t mark() { return rig.camera().trace().entries().size(); }
    std::vector<TraceEntry> since(size_t from)
    {
        const auto &entries = rig.camera().trace().entries();
        return {entries.begin() + static_cast<std::ptrdiff_t>(from), entries.end()};
    }
    // Trace lines without their time, reads without their reply.
    static std::string line(TraceEntry entry)
    {
        if (entry.in)
            entry.data.clear();
        const std::string text = zm4::emu::formatTraceEntry(entry);
        return text.substr(text.find(' ') + 1);
    }
    std::vector<std::string> lines(size_t from)
    {
        std::vector<std::string> out;
        for (const TraceEntry &entry : since(from))
            out.push_back(line(entry));
        return out;
    }
    std::vector<uint8_t> requests(size_t from)
    {
        std::vector<uint8_t> out;
        for (const TraceEntry &entry : since(from))
            out.push_back(entry.request);
        return out;
    }
    static bool problemRecorded(ULONG code) { return (Debug_GetRecord()->problemBits & code) != 0; }
    std::optional<uint32_t> cameraFaultValue()
    {
        auto value = rig.registry().read(zm4::host::kDriverKeyPath, "CameraFault");
        return value ? value->asDword() : std::nullopt;
    }

    CameraRig rig;
    DEVICE_EXTENSION *device;
};

TEST_F(Link, EveryCommandSendsItsBytes)
{
    UCHAR b[8] = {};
    const UCHAR matrix[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    DEVICE_EXTENSION *d = device;
    // The command's own transfer as the trace shows it (reads without their
    // reply); commands whose bytes the camera tests' traces show whole, and
    // whose arguments differ there, are left to them.
    const std::vector<std::pair<std::function<ULONG()>, std::string>> cases = {
        // clang-format off
        {[&] { return ZIRC_GetVersion(d, &b[0], &b[1], &b[2], &b[3]); }, "IN 01 0000 0000 8 ok"},
        {[&] { return ZIRC_WriteVCReg(d, 0x90, 0x8F, 0x50); }, "OUT 22 8F90 0050 0 ok"},
        {[&] { return ZIRC_ReadMCPorts(d, b, nullptr, b, b); }, "IN 23 0000 0000 8 ok"},
        {[&] { return ZIRC_WriteMCPort(d, 3, 0xDF, 0xDF); }, "OUT 24 DF03 00DF 0 ok"},
        {[&] { return ZIRC_SerialStart(d); }, "OUT 2A 0000 0000 0 ok"},
        {[&] { return ZIRC_SerialWrite(d, 0x44332211); }, "OUT 2C 2211 4433 0 ok"},
        {[&] { return ZIRC_SerialRead(d, 0x01020304, b); }, "IN 2D 0304 0102 8 ok"},
        {[&] { return ZIRC_SerialStop(d); }, "OUT 2B 0000 0000 0 ok"},
        {[&] { return ZIRC_SetColourParams(d, 0x150, 60, 70); }, "OUT A3 3C50 0046 0 ok"},
        {[&] { return ZIRC_SetExposure(d, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12); }, "OUT A4 0201 0403 8 05060708090A0B0C ok"},
        {[&] { return ZIRC_SetColourBalance(d, 2, 0, 0, 0); }, "OUT A6 0002 0000 0 ok"},
        {[&] { return ZIRC_SetSensorFPS(d, 3, 1); }, "OUT A7 0103 0000 0 ok"},
        {[&] { return ZIRC_SetApcor(d, 24, 22, 36, 52); }, "OUT A9 1618 3424 0 ok"},
        {[&] { return ZIRC_FlickerCtrl(d, 1, 2, 3); }, "OUT AA 0201 0003 0 ok"},
        {[&] { return ZIRC_SetVLOffset(d, 20, 24, 26, 26); }, "OUT AB 1814 1A1A 0 ok"},
        {[&] { return ZIRC_GetColourBalance(d, &b[0], &b[1], &b[2]); }, "IN B1 0000 0000 8 ok"},
        {[&] { return ZIRC_SetSensorMatrix(d, matrix); }, "OUT B3 0201 0403 8 0506070809000000 ok"},
        {[&] { return ZIRC_ReadVPRegs(d, 30, 4, 9, 8, b, b, nullptr, b); }, "IN BE 041E 0809 8 ok"},
        {[&] { return ZIRC_WriteVPReg(d, 57, 0, 9); }, "OUT BF 0039 0009 0 ok"},
        {[&] { return ZIRC_SetFormat(d, 1, 1, 0); }, "OUT C8 0101 0000 0 ok"},
        {[&] { return ZIRC_SetROI(d, 88 / 8, (88 + 176) / 8, 72 / 4, (72 + 144) / 4); }, "OUT C9 210B 3612 0 ok"},
        {[&] { return ZIRC_SetCompressionTarget(d, 1, 16, 64); }, "OUT CB 1001 0040 0 ok"},
        {[&] { return ZIRC_SetCompressionParams(d, 3, 9, 1, 3, 2, 5, 3, 2); }, "OUT CD 0000 0000 8 0309010302050302 ok"},
        {[&] { return ZIRC_GrabFrame(d, 0); }, "OUT C1 0000 0000 0 ok"},
        {[&] { return ZIRC_GetCameraStatus(d, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); }, "IN 03 0000 0000 8 ok"},
        // Module bits below bit 5 and command bits above bit 4 are dropped.
        {[&] { return ZIRCLink_TransferMessage(d, 0xBF, 0xF1, nullptr, 1, 8, b); }, "IN B1 0000 0000 8 ok"},
        {[&] { return ZIRC_GotoLoPower(d); }, "OUT 05 0000 0000 0 ok"},
        // clang-format on
    };
    ASSERT_EQ(ZIRC_GotoHiPower(device), 1u); // the video processor answers only in high power
    for (const auto &[send, expected] : cases) {
        SCOPED_TRACE(expected);
        const size_t from = mark();
        ASSERT_EQ(send(), 1u);
        const std::vector<TraceEntry> sent = since(from);
        ASSERT_GE(sent.size(), 2u);
        // A read is followed by the isochronous switch; a write ends with itself.
        EXPECT_EQ(line(expected.starts_with("IN") ? sent[sent.size() - 2] : sent.back()), expected);
    }
    // A required out argument missing: nothing is sent. (That replies land in
    // the out arguments the camera identity test shows.)
    const size_t from = mark();
    EXPECT_EQ(ZIRC_GetColourBalance(device, &b[0], nullptr, &b[2]), 0u);
    EXPECT_EQ(mark(), from);
}

TEST_F(Link, MessagesFollowThePresenceCheckAndIsochronousSwitch)
{
    // Every message follows a status read; a data write first unlocks data
    // writes, and a read turns isochronous output off and on again around it.
    const size_t from = mark();
    ASSERT_EQ(ZIRC_GotoHiPower(device), 1u);
    ASSERT_EQ(ZIRC_SetCompressionParams(device, 3, 9, 1, 3, 2, 5, 3, 2), 1u);
    UCHAR gain = 0;
    ASSERT_EQ(ZIRC_GetExposure(device, &gain, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              1u);
    EXPECT_EQ(lines(from), (std::vector<std::string>{"IN 03 0000 0000 8 ok", "OUT 04 0000 0000 0 ok",
                                                     "IN 03 0000 0000 8 ok", "OUT 22 FBF0 0000 0 ok",
                                                     "OUT CD 0000 0000 8 0309010302050302 ok",
                                                     "IN 03 0000 0000 8 ok", "OUT 22 F7F1 0000 0 ok",
                                                     "IN B2 0000 0000 8 ok", "OUT 22 F7F1 0008 0 ok"}));
    EXPECT_EQ(gain, since(from).at(7).data[0]);
}

TEST_F(Link, RetriedThreeTimesAndRefusedAfterElevenFailuresInARow)
{
    // In low power the video processor leaves its replies at 0xFF.
    UCHAR out = 0x5A;
    size_t from = mark();
    EXPECT_EQ(ZIRC_GetExposure(device, &out, &out, &out, &out, &out, &out, &out, &out), 0u);
    EXPECT_EQ(requests(from), (std::vector<uint8_t>{0x03, 0x22, 0xB2, 0x03, 0x22, 0xB2, 0x03, 0x22, 0xB2}));
    EXPECT_EQ(out, 0x5A);

    // A camera that never answers the presence check is never sent the command.
    rig.camera().faults().noAnswer.on = true;
    from = mark();
    EXPECT_EQ(ZIRC_GotoHiPower(device), 0u);
    EXPECT_EQ(requests(from), (std::vector<uint8_t>{0x03, 0x03, 0x03}));
    rig.camera().faults().noAnswer.on = false;
    ZIRCLink_Initialise(device);

    // Eleven failed messages in a row refuse the link until it is initialised
    // again; a success in between resets the count, a start does not.
    rig.camera().faults().ctrlFail.on = true;
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(ZIRC_GotoHiPower(device), 0u);
    rig.camera().faults().ctrlFail.on = false;
    EXPECT_EQ(ZIRC_GotoHiPower(device), 1u); // resets the count
    rig.camera().faults().ctrlFail.on = true;
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(ZIRC_GotoHiPower(device), 0u);
    EXPECT_FALSE(problemRecorded(DEBUG_PROBLEM_LINK_REFUSED));

    rig.camera().faults().ctrlFail.on = false;
    from = mark();
    EXPECT_EQ(ZIRC_GotoHiPower(device), 0u);
    EXPECT_EQ(mark(), from);
    EXPECT_TRUE(problemRecorded(DEBUG_PROBLEM_LINK_REFUSED));
    ZIRCLink_Start(device); // does not reset the count
    EXPECT_EQ(ZIRC_GotoHiPower(device), 0u);
    ZIRCLink_Initialise(device);
    EXPECT_EQ(ZIRC_GotoHiPower(device), 1u);
}

TEST_F(Link, HaltedDataWriteLatchesTheCameraFaultUntilStart)
{
    // A failing write without data stage never latches, even on a halted device.
    EXPECT_EQ(ZIRCLink_TransferMessage(device, 0x00, 0x1F, nullptr, 0, 0, nullptr), 0u); // unknown: stalls
    EXPECT_EQ(USBIF_HasDeviceHalted(device), 1u);
    EXPECT_EQ(cameraFaultValue(), std::nullopt);

    rig.camera().faults().haltOnWrite.on = true;
    const size_t from = mark();
    EXPECT_EQ(ZIRC_SetExposure(device, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12), 0u);
    EXPECT_EQ(requests(from), (std::vector<uint8_t>{0x03, 0x22, 0xA4})); // latched on the first attempt
    EXPECT_EQ(cameraFaultValue(), 1u);
    EXPECT_TRUE(problemRecorded(DEBUG_PROBLEM_CAMERA_FAULT));

    // (That nothing is sent while latched is the recovery matrix's.)
    rig.camera().faults().haltOnWrite.on = false;
    ZIRCLink_Start(device);
    EXPECT_EQ(cameraFaultValue(), 0u);
    EXPECT_EQ(Debug_GetRecord()->problemCount, 0u);
    EXPECT_EQ(ZIRC_GotoHiPower(device), 1u);
}

TEST_F(Link, LateBusCompletionFailsAfterOneSecondAndLeavesNothingBehind)
{
    rig.camera().faults().slowCtrl.on = true;
    rig.camera().faults().slowCtrl.count = 1;
    rig.camera().faults().slowCtrlMs = 1500;
    const int64_t start = rig.kernel().scheduler().now();
    EXPECT_EQ(USBIF_VendorDeviceRequest(device, 0, 0x04, 0, 0, nullptr, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig.kernel().scheduler().now() - start, zm4::host::kSecond);
    EXPECT_EQ(USBIF_HasDeviceHalted(device), 0u);
    EXPECT_EQ(rig.bus().pendingControlRequests(), 0u);
    rig.runFor(1000); // the bus's own completion time passes harmlessly
    EXPECT_EQ(USBIF_VendorDeviceRequest(device, 0, 0x04, 0, 0, nullptr, 0), STATUS_SUCCESS);

    // Within the second, a slow request is simply waited for.
    rig.camera().faults().slowCtrl = {true, 1.0, 1};
    rig.camera().faults().slowCtrlMs = 600;
    const int64_t slowStart = rig.kernel().scheduler().now();
    EXPECT_EQ(USBIF_VendorDeviceRequest(device, 0, 0x04, 0, 0, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(rig.kernel().scheduler().now() - slowStart, 600 * zm4::host::kMillisecond);

    // Through the link, a slow presence check costs one attempt.
    rig.camera().faults().slowCtrl = {true, 1.0, 1};
    rig.camera().faults().slowCtrlMs = 1500;
    const size_t from = mark();
    EXPECT_EQ(ZIRC_GotoHiPower(device), 1u);
    EXPECT_EQ(requests(from), (std::vector<uint8_t>{0x03, 0x03, 0x04}));
}

TEST_F(Link, BandwidthFallsBackToTheHighestAcceptedSetting)
{
    ULONG selected = 99;
    rig.camera().faults().refusedAlternates = 0x08;
    ASSERT_EQ(USBIF_SetBandwidth(device, 3, &selected), STATUS_SUCCESS);
    EXPECT_EQ(selected, 2u);
    EXPECT_EQ(rig.camera().alternate(), 2);
    EXPECT_EQ(device->usbInterfaceInfo->Pipes[0].MaximumPacketSize, 704);
    EXPECT_EQ(device->usbInterfaceInfo->Pipes[0].MaximumTransferSize, 0x10000u);

    rig.camera().faults().refusedAlternates = 0x0E;
    EXPECT_EQ(USBIF_SetBandwidth(device, 2, &selected), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(USBIF_GetBandwidth(device, &selected), STATUS_SUCCESS);
    EXPECT_EQ(selected, 0u);
    EXPECT_EQ(rig.camera().alternate(), 0);
    // Setting 0 has no isochronous bandwidth: nothing reaches the bus.
    EXPECT_EQ(USBIF_SubmitISORequest(device, 8, nullptr, nullptr, nullptr, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig.bus().queuedIsoRequests(), 0u);

    rig.camera().faults().refusedAlternates = 0x0F;
    EXPECT_EQ(USBIF_SetBandwidth(device, 1, &selected), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(device->usbInterfaceInfo, nullptr);
    EXPECT_EQ(USBIF_IsoPipeAbort(device), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(USBIF_IsoPipeReset(device), STATUS_UNSUCCESSFUL);
}

// The last isochronous completion: when, with which IRP and context block.
struct IsoCompletion {
    int64_t timeMs;
    IRP *irp;
    EXTNS_CONTEXT *context;
};
std::vector<IsoCompletion> gIsoCompletions;

NTSTATUS recordIso(DEVICE_OBJECT *, IRP *irp, PVOID context)
{
    const int64_t now = zm4::host::Kernel::current().scheduler().now() / zm4::host::kMillisecond;
    gIsoCompletions.push_back({now, irp, static_cast<EXTNS_CONTEXT *>(context)});
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(Link, IsochronousRequestOfEightPacketsAndItsResubmission)
{
    ULONG selected = 0;
    ASSERT_EQ(USBIF_SetBandwidth(device, 1, &selected), STATUS_SUCCESS);
    gIsoCompletions.clear();
    const int64_t start = rig.kernel().scheduler().now() / zm4::host::kMillisecond;
    ASSERT_EQ(USBIF_SubmitISORequest(device, 8, recordIso, nullptr, nullptr, nullptr), STATUS_PENDING);
    rig.runFor(8);
    ASSERT_EQ(gIsoCompletions.size(), 1u);
    EXPECT_EQ(gIsoCompletions[0].timeMs, start + 8);
    ULONG_PTR owner = 0, urbWord = 0;
    Extns_Context_Decode(gIsoCompletions[0].context, &owner, &urbWord);
    EXPECT_EQ(owner, reinterpret_cast<ULONG_PTR>(device));
    auto *urb = reinterpret_cast<URB *>(urbWord);
    const auto &iso = urb->UrbIsochronousTransfer;
    EXPECT_EQ(iso.Hdr.Length, GET_ISO_URB_SIZE(8));
    EXPECT_EQ(iso.TransferFlags, 7u);
    EXPECT_EQ(iso.TransferBufferLength, 8u * 448);
    for (ULONG i = 0; i < 8; ++i)
        EXPECT_EQ(iso.IsoPacket[i].Offset, i * 448);

    // The same IRP, URB and context go round again.
    IRP *irp = gIsoCompletions[0].irp;
    EXTNS_CONTEXT *context = gIsoCompletions[0].context;
    ASSERT_EQ(USBIF_SubmitISORequest(device, 8, recordIso, context, irp, urb), STATUS_PENDING);
    rig.runFor(8);
    ASSERT_EQ(gIsoCompletions.size(), 2u);
    EXPECT_EQ(gIsoCompletions[1].irp, irp);
    IoFreeIrp(irp);
    ExFreePool(iso.TransferBuffer);
    ExFreePool(urb);
    Extns_Context_Delete(context);
}

// A device whose configuration descriptor is given as bytes; it records the
// lengths of the descriptor reads.
class DescriptorDevice : public zm4::host::UsbDevice {
public:
    explicit DescriptorDevice(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    std::vector<uint8_t> configurationDescriptor() const override { return bytes_; }
    bool connected() const override { return true; }
    zm4::host::UsbTransferResult controlTransfer(const zm4::host::UsbSetup &setup, std::span<uint8_t> data,
                                                 int64_t) override
    {
        reads.push_back(setup.length);
        const size_t n = std::min<size_t>(setup.length, bytes_.size());
        std::copy_n(bytes_.begin(), n, data.begin());
        return {zm4::host::UsbTransferStatus::Ok, n, 0};
    }
    bool selectAlternate(uint8_t, uint8_t, int64_t) override { return true; }
    zm4::host::UsbPacketResult isoPacket(uint8_t, int64_t, std::span<uint8_t>) override { return {}; }
    std::vector<uint16_t> reads;

private:
    std::vector<uint8_t> bytes_;
};

TEST(LinkDescriptor, ShortOverstatedAndInterfaceZeroConfigurationDescriptors)
{
    { // A camera whose video interface is numbered 0 is used the same.
        CameraRigOptions options;
        options.camera.descriptors.videoInterface = 0;
        CameraRig zero(options);
        ULONG selected = 0;
        ASSERT_EQ(USBIF_Initialise(zero.device()), STATUS_SUCCESS);
        ASSERT_EQ(USBIF_SetBandwidth(zero.device(), 3, &selected), STATUS_SUCCESS);
        EXPECT_EQ(selected, 3u);
        EXPECT_EQ(zero.device()->usbInterfaceInfo->InterfaceNumber, 0);
        EXPECT_EQ(zero.device()->usbInterfaceInfo->Pipes[0].MaximumPacketSize, 960);
        USBIF_Terminate(zero.device());
        EXPECT_EQ(zero.kernel().pool().liveBlocks(), 0u) << zero.kernel().pool().leakReport();
    }
    CameraRig rig;
    DEVICE_EXTENSION *device = rig.device();

    // wTotalLength of 4: the 9-byte first read is kept, and no setting exists.
    DescriptorDevice tiny({9, 2, 4, 0, 1, 1, 0, 0x80, 50});
    zm4::host::UsbBus tinyBus(tiny, rig.kernel().scheduler());
    device->PhysicalDeviceObject = tinyBus.physicalDeviceObject();
    EXPECT_EQ(USBIF_Initialise(device), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(tiny.reads, (std::vector<uint16_t>{9}));
    ASSERT_NE(device->usbConfigDescriptor, nullptr);
    const USHORT tinyLength = device->usbConfigDescriptor->wTotalLength;
    EXPECT_EQ(tinyLength, 4);
    USBIF_Terminate(device);

    // A descriptor that claims 300 bytes but sends fewer is walked only as far as it came.
    std::vector<uint8_t> bytes = rig.camera().configurationDescriptor();
    const size_t real = bytes.size();
    bytes[2] = 300 & 0xFF;
    bytes[3] = 300 >> 8;
    DescriptorDevice overstated(bytes);
    zm4::host::UsbBus overstatedBus(overstated, rig.kernel().scheduler());
    device->PhysicalDeviceObject = overstatedBus.physicalDeviceObject();
    EXPECT_EQ(USBIF_Initialise(device), STATUS_SUCCESS);
    EXPECT_EQ(overstated.reads, (std::vector<uint16_t>{9, 300}));
    const USHORT storedLength = device->usbConfigDescriptor->wTotalLength;
    EXPECT_EQ(storedLength, real);
    USBIF_Terminate(device);
    EXPECT_EQ(rig.kernel().pool().liveBlocks(), 0u) << rig.kernel().pool().leakReport();
}

// Real time: messages from two work items and pipe requests (which take no
// request lock) from a third, with one control transfer finishing right at
// the one-second limit, so that its completion races the cancel.
TEST(LinkStress, MessagesAndPipeRequestsFromSeveralThreads)
{
    CameraRig rig({.camera = {}, .kernel = {.clock = zm4::host::Clock::Real, .delayFuzz = true}});
    DEVICE_EXTENSION *device = rig.device();
    Debug_Init();
    ASSERT_EQ(USBIF_Initialise(device), STATUS_SUCCESS);
    ZIRCLink_Initialise(device);
    ULONG selected = 0;
    ASSERT_EQ(USBIF_SetBandwidth(device, 1, &selected), STATUS_SUCCESS);
    rig.camera().faults().slowCtrl = {true, 0.05, 1};
    rig.camera().faults().slowCtrlMs = 1000;

    std::atomic<int> done{0}, failed{0};
    for (int w = 0; w < 2; ++w)
        rig.kernel().scheduler().queueWork([&] {
            for (int i = 0; i < 40; ++i) {
                UCHAR v[4];
                if (!ZIRC_GotoHiPower(device) || !ZIRC_GetVersion(device, &v[0], &v[1], &v[2], &v[3]))
                    failed.fetch_add(1);
            }
            done.fetch_add(1);
        });
    rig.kernel().scheduler().queueWork([&] {
        for (int i = 0; i < 40; ++i)
            if (USBIF_IsoPipeAbort(device) != STATUS_SUCCESS || USBIF_IsoPipeReset(device) != STATUS_SUCCESS)
                failed.fetch_add(1);
        done.fetch_add(1);
    });
    ASSERT_TRUE(rig.kernel().scheduler().runUntil([&] { return done.load() == 3; }, 30 * zm4::host::kSecond));
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(USBIF_HasDeviceHalted(device), 0u);
    EXPECT_EQ(Debug_GetRecord()->problemCount, 0u);
    USBIF_Terminate(device);
    EXPECT_EQ(rig.kernel().pool().liveBlocks(), 0u) << rig.kernel().pool().leakReport();
}

} // namespace
