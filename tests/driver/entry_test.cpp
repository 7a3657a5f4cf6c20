// Driver entry on the whole machine: the registration record, every dispatch
// row reaching its handler, refused commands transferring nothing, completion
// freeing request and link block (and a refusal when there is none), the time-out handler, and driver time.
#include "driver/stream.h"
#include "driver/stream_data.h"
#include "port_env.h"

using namespace zm4::host;

namespace {

using EntryTest = MachineTest;

TEST_F(EntryTest, RegistersWithSynchronisationOffAndItsOwnSizesAndTicksEvery100ms)
{
    // What the port acts on: the sizes it allocates and who synchronises.
    const HW_INITIALIZATION_DATA &r = machine().port().registration();
    EXPECT_EQ(r.DeviceExtensionSize, sizeof(DEVICE_EXTENSION));
    EXPECT_EQ(r.PerRequestExtensionSize, sizeof(PVOID));
    EXPECT_EQ(r.PerStreamExtensionSize, sizeof(STREAM_EXTENSION));
    EXPECT_EQ(r.TurnOffSynchronization, TRUE);

    // A timed-out request just starts a new period.
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.TimeoutOriginal = 15;
    r.HwRequestTimeoutHandler(&srb);
    EXPECT_EQ(srb.TimeoutCounter, 15u);

    // Driver time advances in ticks of 100 ms.
    const ULONG ticks = device()->tickCount;
    scheduler().runFor(3700 * kMillisecond);
    EXPECT_EQ(device()->tickCount, ticks + 37);
    EXPECT_EQ(Entry_GetDriverTime(device()), (ticks + 37) * 100);
    // The stop handshake: the next tick acknowledges and does not reschedule.
    device()->timerRunning = 0;
    scheduler().runFor(1000 * kMillisecond);
    EXPECT_EQ(device()->timerRunning, 1u);
    EXPECT_EQ(device()->tickCount, ticks + 38);
}

TEST_F(EntryTest, EveryCommandIsAnsweredAndRefusedOnesTransferNothing)
{
    // Every device row has its handler; the refused ones answer no bytes even
    // when the request carried a byte count.
    const struct {
        ULONG command;
        NTSTATUS status;
    } device[] = {
        {SRB_PAGING_OUT_DRIVER, STATUS_SUCCESS},
        {SRB_INITIALIZATION_COMPLETE, STATUS_SUCCESS},
        {SRB_GET_STREAM_INFO, STATUS_IO_DEVICE_ERROR}, // no room for the descriptor
        {SRB_OPEN_DEVICE_INSTANCE, STATUS_NOT_IMPLEMENTED},
        {SRB_CLOSE_DEVICE_INSTANCE, STATUS_NOT_IMPLEMENTED},
        {SRB_CHANGE_POWER_STATE, STATUS_NOT_IMPLEMENTED},
        {SRB_UNKNOWN_DEVICE_COMMAND, STATUS_NOT_IMPLEMENTED},
        {SRB_SURPRISE_REMOVAL, STATUS_NOT_IMPLEMENTED},
        {0x1FF, STATUS_NOT_IMPLEMENTED},
    };
    for (const auto &c : device) {
        RequestPtr request = adapter().sendDeviceCommand(static_cast<SRB_COMMAND>(c.command), 64);
        EXPECT_EQ(request->status(), c.status) << std::hex << c.command;
        if (c.status == STATUS_NOT_IMPLEMENTED) {
            EXPECT_EQ(request->bytes(), 0u) << std::hex << c.command;
        }
        // Request block and link block gone; the device extension stays.
        EXPECT_EQ(pool().liveBlocks(kPortPoolTag), 1u);
    }

    NTSTATUS status = STATUS_PENDING;
    std::unique_ptr<zm4::host::Stream> stream =
        adapter().openVideoStream(STREAM_FORMAT_YUY2, 176, 144, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    for (const SRB_COMMAND command : {SRB_WRITE_DATA, SRB_UNKNOWN_STREAM_COMMAND}) {
        RequestPtr data = stream->sendDataCommand(command, 4096);
        EXPECT_EQ(data->status(), STATUS_NOT_IMPLEMENTED);
        EXPECT_EQ(data->bytes(), 0u);
        RequestPtr control = stream->sendControlCommand(command);
        EXPECT_EQ(control->status(), STATUS_NOT_IMPLEMENTED);
    }
    EXPECT_EQ(stream->indicateMasterClock(reinterpret_cast<HANDLE>(0x1234)), STATUS_SUCCESS);
    EXPECT_EQ(stream->close(), STATUS_SUCCESS);

    // A request whose link block cannot be allocated is refused.
    pool().failNth(2); // the port's request block is the first allocation, the link block the second
    RequestPtr request = adapter().sendDeviceCommand(SRB_PAGING_OUT_DRIVER);
    EXPECT_EQ(request->status(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(pool().liveBlocks(kPortPoolTag), 1u);
}

} // namespace
