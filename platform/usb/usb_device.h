// What the host USB bus needs from a device behind it: descriptors, control
// transfers, alternate settings and one isochronous packet per 1-ms frame, all
// at the bus's virtual or real time. The emulated camera implements it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zm4::host {

struct UsbSetup {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
};

enum class UsbTransferStatus {
    Ok,
    Stall, // the endpoint halted
    Fail,  // no handshake, bad CRC
};

struct UsbTransferResult {
    UsbTransferStatus status = UsbTransferStatus::Ok;
    size_t bytes = 0; // data stage bytes moved
    int delayMs = 0;  // how long the transfer took; the bus completes it that much later
};

enum class UsbPacketStatus {
    Ok,            // data (possibly none) arrived intact
    Error,         // the packet arrived damaged
    RequestFailed, // the whole request this packet belongs to fails
    NoResponse,    // the device sent nothing in this frame
};

struct UsbPacketResult {
    UsbPacketStatus status = UsbPacketStatus::Ok;
    size_t length = 0;
};

// Calls come one at a time: the bus serialises them.
class UsbDevice {
public:
    virtual ~UsbDevice() = default;

    virtual std::vector<uint8_t> configurationDescriptor() const = 0;
    virtual bool connected() const = 0;
    // data holds the data stage (what the host sends, or room for the answer),
    // at least setup.length bytes.
    virtual UsbTransferResult controlTransfer(const UsbSetup &setup, std::span<uint8_t> data,
                                              int64_t timeMs) = 0;
    virtual bool selectAlternate(uint8_t interfaceNumber, uint8_t alternate, int64_t timeMs) = 0;
    // The packet of the 1-ms frame timeMs on an isochronous IN endpoint, at
    // most buffer.size() bytes.
    virtual UsbPacketResult isoPacket(uint8_t endpointAddress, int64_t timeMs, std::span<uint8_t> buffer) = 0;
};

} // namespace zm4::host
