#pragma once
// The emulated camera as a device on the host USB bus: adapts the
// bus-independent Camera to the bus's device interface, one call for one.

#include "emulator/camera.h"
#include "platform/usb/usb_device.h"

namespace zm4::emu {

class UsbCamera : public zm4::host::UsbDevice {
public:
    explicit UsbCamera(Camera &camera) : camera_(camera) {}

    std::vector<uint8_t> configurationDescriptor() const override;
    bool connected() const override;
    zm4::host::UsbTransferResult controlTransfer(const zm4::host::UsbSetup &setup, std::span<uint8_t> data,
                                                 int64_t timeMs) override;
    bool selectAlternate(uint8_t interfaceNumber, uint8_t alternate, int64_t timeMs) override;
    zm4::host::UsbPacketResult isoPacket(uint8_t endpointAddress, int64_t timeMs,
                                         std::span<uint8_t> buffer) override;

private:
    Camera &camera_;
};

} // namespace zm4::emu
