// One simulated machine in one line: the kernel and its scheduler, a registry
// store, the emulated camera on the host USB bus, the port library with the
// driver loaded and the camera's device added. For the tool and the tests.
#pragma once

#include <filesystem>
#include <memory>

#include "emulator/camera.h"
#include "emulator/usb_device.h"
#include "platform/kernel/host.h"
#include "platform/kernel/registry_store.h"
#include "platform/port/port.h"
#include "platform/usb/bus.h"

namespace zm4::host {

struct MachineOptions {
    KernelOptions kernel;
    emu::CameraOptions camera;
    // The registry file; empty: an in-memory registry that goes with the machine.
    std::filesystem::path registryPath;
};

class Machine {
public:
    explicit Machine(MachineOptions options = {});
    // Removes the device (uninitialise), then takes everything down in reverse.
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    Kernel &kernel() { return *kernel_; }
    Scheduler &scheduler() { return kernel_->scheduler(); }
    RegistryStore &registry() { return *registry_; }
    emu::Camera &camera() { return *camera_; }
    UsbBus &bus() { return *bus_; }
    PortLibrary &port() { return *port_; }
    Adapter &adapter() { return *adapter_; }

private:
    std::unique_ptr<Kernel> kernel_;
    std::unique_ptr<RegistryStore> registry_;
    std::unique_ptr<RegistryScope> registryScope_;
    std::unique_ptr<emu::Camera> camera_;
    std::unique_ptr<emu::UsbCamera> usbCamera_;
    std::unique_ptr<UsbBus> bus_;
    std::unique_ptr<PortLibrary> port_;
    std::unique_ptr<Adapter> adapter_;
};

} // namespace zm4::host
