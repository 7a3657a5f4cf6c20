// Fixture of the driver tests that go through the port library: the driver
// loaded and one device added, in simulated time unless a test asks otherwise.
#pragma once

#include <memory>

#include "driver/device_extension.h"
#include "driver/entry.h"
#include "driver_test_env.h"
#include "platform/port/port.h"

class PortDriverTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        port_ = std::make_unique<zm4::host::PortLibrary>();
        ASSERT_EQ(port_->loadDriver(entryRoutine()), STATUS_SUCCESS);
        adapter_ = port_->addDevice(nullptr);
    }

    void TearDown() override
    {
        adapter_.reset();
        port_.reset();
        EXPECT_EQ(pool().liveBlocks(zm4::host::kPortPoolTag), 0u) << pool().leakReport();
        DriverTest::TearDown();
    }

    virtual zm4::host::DriverEntryRoutine entryRoutine() const { return DriverEntry; }

    DEVICE_EXTENSION *device() { return static_cast<DEVICE_EXTENSION *>(adapter_->deviceExtension()); }

    std::unique_ptr<zm4::host::PortLibrary> port_;
    std::unique_ptr<zm4::host::Adapter> adapter_;
};
