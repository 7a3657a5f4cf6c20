// One simulated machine in one line: the kernel and its scheduler, a registry
// store, the emulated camera on the host USB bus, the port library with the
// driver loaded and the camera's device added. For the tool and the tests.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <vector>

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
    // false: the camera's device is added later by addDevice(), so that the
    // pool can be set up to fail (or watched) from its initialise on.
    bool addDevice = true;
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
    // Removes the camera's device (uninitialise) ahead of the machine, so that
    // what the driver left behind can be looked at; adapter() is then gone.
    void removeDevice() { adapter_.reset(); }
    // Adds the camera's device (again, after removeDevice); the initialise status.
    NTSTATUS addDevice();

    // A KS_DATAFORMAT_VIDEOINFOHEADER for the driver's format formatIndex at
    // width x height, from the driver's own format table.
    static std::vector<uint8_t> videoFormat(ULONG formatIndex, LONG width, LONG height);

    // Unplugs the camera (its device is removed) and plugs in a new one with
    // these options, starting from an empty in-memory registry (a file-backed
    // machine keeps its file). The kernel, the port library and the loaded
    // driver stay, as they do on a running system, so a new camera costs only
    // what a new device costs: for fuzzers that want a fresh camera per input.
    void replaceCamera(emu::CameraOptions options);

    // Lets the machine run (as fast as it can in simulated time, at the pace
    // of the camera's 1-ms frames in real time).
    void runFor(int64_t duration100ns) { scheduler().runFor(duration100ns); }
    bool runUntil(std::function<bool()> condition, int64_t limit100ns)
    {
        return scheduler().runUntil(std::move(condition), limit100ns);
    }
    // Until the request completes or the limit passes: whether it completed.
    bool waitFor(const RequestPtr &request, int64_t limit100ns = 10 * kSecond);
    // Queues a read of one frame into the buffer and waits for it.
    RequestPtr readFrame(Stream &stream, std::span<uint8_t> buffer, int64_t limit100ns = 10 * kSecond);

    // Changes the camera (faults, scene, button) where the bus calls it, so
    // that in real time the change never races the bus; returns once done.
    void changeCamera(std::function<void(emu::Camera &)> change);
    // The camera leaves the bus: every transfer to it fails from now on.
    void unplug()
    {
        changeCamera([](emu::Camera &camera) { camera.faults().disconnect = true; });
    }

private:
    void plugCamera(emu::CameraOptions options, bool add);

    bool inMemory_ = true;
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
