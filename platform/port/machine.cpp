// The machine's wiring: built bottom-up, taken down top-down.
#include "platform/port/machine.h"

#include <cstdio>
#include <cstdlib>

#include "driver/entry.h"

namespace zm4::host {

Machine::Machine(MachineOptions options)
{
    kernel_ = std::make_unique<Kernel>(options.kernel);
    registry_ = options.registryPath.empty() ? RegistryStore::inMemory()
                                             : RegistryStore::openFile(options.registryPath);
    registryScope_ = std::make_unique<RegistryScope>(*registry_);
    camera_ = std::make_unique<emu::Camera>(options.camera);
    usbCamera_ = std::make_unique<emu::UsbCamera>(*camera_);
    bus_ = std::make_unique<UsbBus>(*usbCamera_, kernel_->scheduler());
    port_ = std::make_unique<PortLibrary>();
    const NTSTATUS status = port_->loadDriver(DriverEntry);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "zm4 machine: the driver did not load (status 0x%08X)\n",
                     static_cast<unsigned>(status));
        std::abort();
    }
    adapter_ = port_->addDevice(bus_->physicalDeviceObject());
}

Machine::~Machine()
{
    adapter_.reset();
    port_.reset();
    bus_.reset();
    usbCamera_.reset();
    camera_.reset();
    registryScope_.reset();
    registry_.reset();
    kernel_.reset();
}

} // namespace zm4::host
