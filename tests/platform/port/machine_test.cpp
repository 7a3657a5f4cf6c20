// The machine wires the driver's device to the camera on the bus and leaves
// nothing behind when it goes.
#include <gtest/gtest.h>

#include "platform/port/machine.h"

namespace zm4::host {
namespace {

TEST(Machine, AddsTheCamerasDeviceAndTakesItAllDown)
{
    {
        Machine machine;
        EXPECT_EQ(machine.adapter().configuration().PhysicalDeviceObject,
                  machine.bus().physicalDeviceObject());
        EXPECT_EQ(currentRegistry(), &machine.registry());
        EXPECT_TRUE(machine.port().registered());
        EXPECT_EQ(machine.adapter().sendDeviceCommand(SRB_PAGING_OUT_DRIVER)->status(), STATUS_SUCCESS);
        machine.removeDevice();
        EXPECT_EQ(machine.kernel().pool().liveBlocks(kPoolTagWdm), 0u);
    }
    EXPECT_EQ(currentRegistry(), nullptr);
}

} // namespace
} // namespace zm4::host
