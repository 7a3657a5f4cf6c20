// Shared fixture of the driver-frame tests: a host kernel (simulated time unless
// a test asks otherwise), an in-memory registry, and a pool check that no driver
// block ("Wdm ") outlives the test.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "platform/kernel/host.h"
#include "platform/kernel/registry_store.h"

#include "platform/port/stream_class.h"

// Tests that only queue request blocks tell them apart by their Flags word.
inline int srbTestId(const HW_STREAM_REQUEST_BLOCK *srb)
{
    return static_cast<int>(srb->Flags);
}
inline void setSrbTestId(HW_STREAM_REQUEST_BLOCK *srb, int id)
{
    srb->Flags = static_cast<ULONG>(id);
}

class DriverTest : public ::testing::Test {
protected:
    static constexpr uint32_t kWdmTag = 0x206D6457;

    void SetUp() override
    {
        kernel_ = std::make_unique<zm4::host::Kernel>(kernelOptions());
        registry_ = zm4::host::RegistryStore::inMemory();
        scope_ = std::make_unique<zm4::host::RegistryScope>(*registry_);
    }

    void TearDown() override
    {
        EXPECT_EQ(pool().liveBlocks(kWdmTag), 0u) << pool().leakReport();
        scope_.reset();
        kernel_.reset();
    }

    virtual zm4::host::KernelOptions kernelOptions() const { return {}; }

    zm4::host::Scheduler &scheduler() { return kernel_->scheduler(); }
    zm4::host::Pool &pool() { return kernel_->pool(); }
    zm4::host::RegistryStore &registry() { return *registry_; }

    std::optional<zm4::host::RegistryValue> stored(const char *name) const
    {
        return registry_->read(zm4::host::kDriverKeyPath, name);
    }

private:
    std::unique_ptr<zm4::host::Kernel> kernel_;
    std::unique_ptr<zm4::host::RegistryStore> registry_;
    std::unique_ptr<zm4::host::RegistryScope> scope_;
};
