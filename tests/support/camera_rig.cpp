// The rig's parts are torn down bus first (its pending events turn into
// no-ops), then the kernel (its threads stop), so that nothing still running
// can reach the device extension or the camera after they are gone.
#include "tests/support/camera_rig.h"

#include <cstring>

#include "driver/extns.h"

namespace zm4::testing {

CameraRig::CameraRig(CameraRigOptions options)
    : kernel_(std::make_unique<zm4::host::Kernel>(options.kernel)),
      registry_(zm4::host::RegistryStore::inMemory()),
      registryScope_(std::make_unique<zm4::host::RegistryScope>(*registry_)),
      camera_(std::make_unique<zm4::emu::Camera>(options.camera)),
      usbCamera_(std::make_unique<zm4::emu::UsbCamera>(*camera_)),
      bus_(std::make_unique<zm4::host::UsbBus>(*usbCamera_, kernel_->scheduler())),
      device_(std::make_unique<DEVICE_EXTENSION>())
{
    // The port library hands the driver a zero-filled record.
    std::memset(static_cast<void *>(device_.get()), 0, sizeof(DEVICE_EXTENSION));
    device_->PhysicalDeviceObject = bus_->physicalDeviceObject();
}

CameraRig::~CameraRig()
{
    bus_.reset();
    kernel_.reset();
}

void CameraRig::advanceDriverTime(ULONG ms)
{
    for (ULONG step = 0; step < ms / 100; ++step) {
        runFor(100);
        ++device_->tickCount;
    }
    if (ms % 100 != 0)
        runFor(ms % 100);
}

size_t CameraRig::driverBlocks() const
{
    return kernel_->pool().liveBlocks(EXTNS_POOL_TAG);
}

} // namespace zm4::testing
