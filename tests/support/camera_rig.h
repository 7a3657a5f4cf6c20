// A camera on a host bus for driver tests: a kernel (simulated time unless
// asked otherwise), an in-memory registry installed as current, the emulated
// camera behind the host USB bus, and a zero-filled device extension whose
// physical device object is the camera's. Nothing of the driver is initialised.
#pragma once

#include <cstdint>
#include <memory>

#include "driver/device_extension.h"
#include "emulator/camera.h"
#include "emulator/usb_device.h"
#include "platform/kernel/host.h"
#include "platform/kernel/registry_store.h"
#include "platform/usb/bus.h"

namespace zm4::testing {

struct CameraRigOptions {
    zm4::emu::CameraOptions camera;
    zm4::host::KernelOptions kernel;
};

class CameraRig {
public:
    explicit CameraRig(CameraRigOptions options = {});
    ~CameraRig();
    CameraRig(const CameraRig &) = delete;
    CameraRig &operator=(const CameraRig &) = delete;

    DEVICE_EXTENSION *device() { return device_.get(); } // zero-filled, PhysicalDeviceObject set
    zm4::emu::Camera &camera() { return *camera_; }
    zm4::host::Kernel &kernel() { return *kernel_; }
    zm4::host::RegistryStore &registry() { return *registry_; } // in-memory, installed as current
    zm4::host::UsbBus &bus() { return *bus_; }
    // Advances the clock by ms (simulated) or sleeps and runs (real time).
    void runFor(int64_t ms) { kernel_->scheduler().runFor(ms * zm4::host::kMillisecond); }
    void advanceDriverTime(ULONG ms); // runFor(ms) in 100-ms steps, adding 1 to device()->tickCount each
    size_t driverBlocks() const;      // live pool blocks tagged "Wdm "

private:
    std::unique_ptr<zm4::host::Kernel> kernel_;
    std::unique_ptr<zm4::host::RegistryStore> registry_;
    std::unique_ptr<zm4::host::RegistryScope> registryScope_;
    std::unique_ptr<zm4::emu::Camera> camera_;
    std::unique_ptr<zm4::emu::UsbCamera> usbCamera_;
    std::unique_ptr<zm4::host::UsbBus> bus_;
    std::unique_ptr<DEVICE_EXTENSION> device_;
};

} // namespace zm4::testing
