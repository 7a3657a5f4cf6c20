// Fixtures of the driver tests that go through the port library.
// MachineTest: the whole simulated machine (driver, port, bus, emulated
// camera) with the camera's device added; at the end the device is removed and
// no driver or port block may remain. PortDriverTest: a port library with a
// test's own minidriver loaded and a device without hardware.
#pragma once

#include <memory>

#include "driver/device_extension.h"
#include "driver/entry.h"
#include "driver_test_env.h"
#include "platform/port/machine.h"
#include "platform/port/port.h"

class MachineTest : public ::testing::Test {
protected:
    static constexpr uint32_t kWdmTag = 0x206D6457;

    void SetUp() override { machine_ = std::make_unique<zm4::host::Machine>(machineOptions()); }

    void TearDown() override
    {
        machine_->removeDevice();
        EXPECT_EQ(pool().liveBlocks(kWdmTag), 0u) << pool().leakReport();
        EXPECT_EQ(pool().liveBlocks(zm4::host::kPortPoolTag), 0u) << pool().leakReport();
        machine_.reset();
    }

    virtual zm4::host::MachineOptions machineOptions() const { return {}; }

    zm4::host::Machine &machine() { return *machine_; }
    zm4::host::Adapter &adapter() { return machine_->adapter(); }
    zm4::host::Scheduler &scheduler() { return machine_->scheduler(); }
    zm4::host::Pool &pool() { return machine_->kernel().pool(); }
    zm4::host::RegistryStore &registry() { return machine_->registry(); }
    DEVICE_EXTENSION *device() { return static_cast<DEVICE_EXTENSION *>(adapter().deviceExtension()); }
    std::optional<zm4::host::RegistryValue> stored(const char *name) const
    {
        return machine_->registry().read(zm4::host::kDriverKeyPath, name);
    }

    std::unique_ptr<zm4::host::Machine> machine_;
};

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

    virtual zm4::host::DriverEntryRoutine entryRoutine() const = 0;

    DEVICE_EXTENSION *device() { return static_cast<DEVICE_EXTENSION *>(adapter_->deviceExtension()); }

    std::unique_ptr<zm4::host::PortLibrary> port_;
    std::unique_ptr<zm4::host::Adapter> adapter_;
};
