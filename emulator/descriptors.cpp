// Standard USB descriptor layouts, little-endian words.

#include "emulator/descriptors.h"

#include <initializer_list>

namespace zm4::emu {

namespace {

constexpr uint8_t kVendorSpecificClass = 0xFF;
constexpr uint8_t kIsochronousAsync = 0x05; // isochronous, asynchronous synchronisation

// Byte by byte: GCC 12 at -O3 sees a vector's insert of a list as a copy out
// of bounds that it is not (-Warray-bounds).
void putBytes(std::vector<uint8_t> &out, std::initializer_list<uint8_t> bytes)
{
    for (uint8_t byte : bytes)
        out.push_back(byte);
}

void putWord(std::vector<uint8_t> &out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void putInterface(std::vector<uint8_t> &out, uint8_t number, uint8_t alternate, uint8_t endpoints)
{
    putBytes(out, {kInterfaceDescriptorLength, kDescriptorTypeInterface, number, alternate, endpoints,
                   kVendorSpecificClass, 0x00, 0x00, 0x00});
}

} // namespace

std::vector<uint8_t> deviceDescriptor()
{
    std::vector<uint8_t> out{kDeviceDescriptorLength, kDescriptorTypeDevice};
    putWord(out, 0x0110);                 // a full-speed USB 1.1 device
    putBytes(out, {0x00, 0x00, 0x00, 8}); // class per interface; control packets of 8
    putWord(out, kVendorId);
    putWord(out, kProductId);
    putWord(out, 0x0100);
    putBytes(out, {0, 0, 0, 1}); // no strings; one configuration
    return out;
}

std::vector<uint8_t> configurationDescriptor(const DescriptorOptions &options)
{
    const bool hasControlInterface = options.videoInterface != 0;
    std::vector<uint8_t> out{kConfigurationDescriptorLength,
                             kDescriptorTypeConfiguration,
                             0,
                             0,
                             static_cast<uint8_t>(hasControlInterface ? 2 : 1),
                             1,
                             0,
                             0x80,
                             250};
    // The driver asks for it a few times a device: one allocation each time.
    out.reserve(kConfigurationDescriptorLength + (hasControlInterface ? kInterfaceDescriptorLength : 0) +
                kAlternateCount * (kInterfaceDescriptorLength + kEndpointDescriptorLength));

    // Interfaces are numbered from 0 without gaps: a video interface 1
    // needs an interface 0 in front of it, a control interface with no
    // endpoints of its own.
    if (hasControlInterface)
        putInterface(out, 0, 0, 0);

    for (uint8_t alt = 0; alt < kAlternateCount; ++alt) {
        putInterface(out, options.videoInterface, alt, 1);
        putBytes(out, {kEndpointDescriptorLength, kDescriptorTypeEndpoint, kIsoEndpointAddress,
                       kIsochronousAsync});
        putWord(out, options.maxPacketSizes[alt]);
        out.push_back(1); // every USB frame
    }

    const auto total = static_cast<uint16_t>(out.size());
    out[2] = static_cast<uint8_t>(total & 0xFF);
    out[3] = static_cast<uint8_t>(total >> 8);
    return out;
}

} // namespace zm4::emu
