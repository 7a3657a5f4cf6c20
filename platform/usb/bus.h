// The host USB bus: owns the physical device object of one device and serves
// the internal device-control requests (URBs) that drivers send to it, with
// the device behind it paced by the kernel's scheduler, one isochronous packet
// per 1-ms USB frame.
#pragma once

#include <memory>

#include "platform/kernel/host.h"
#include "platform/usb/usb.h"
#include "platform/usb/usb_device.h"

namespace zm4::host {

// Serves IRP_MJ_INTERNAL_DEVICE_CONTROL / IOCTL_INTERNAL_USB_SUBMIT_URB on its
// device object: get configuration descriptor, select configuration, vendor
// device requests, isochronous transfers, abort pipe and reset pipe. Completion
// follows the I/O manager (IoCompleteRequest) and never runs under the bus's
// own lock; an isochronous request, even a refused one, always completes later
// from the scheduler, never inside the call that submitted it. Works with
// both schedulers; the device is called only under that
// lock. Requests still queued when the bus goes are abandoned (they show up as
// leaks); the device must outlive the bus.
class UsbBus {
public:
    explicit UsbBus(UsbDevice &device, Scheduler &scheduler = Kernel::current().scheduler());
    ~UsbBus();
    UsbBus(const UsbBus &) = delete;
    UsbBus &operator=(const UsbBus &) = delete;

    // The device's physical device object, to which drivers send their IRPs.
    DEVICE_OBJECT *physicalDeviceObject();

    // Isochronous requests queued at the bus, all pipes; control requests
    // waiting for a slow device to finish.
    size_t queuedIsoRequests() const;
    size_t pendingControlRequests() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace zm4::host
