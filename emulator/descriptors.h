#pragma once
// The emulated camera's USB descriptors: one device descriptor and one
// configuration whose video interface offers alternate settings 0 to 3, each
// with one isochronous IN endpoint. The bytes are what the bus hands out.

#include <array>
#include <cstdint>
#include <vector>

namespace zm4::emu {

inline constexpr uint16_t kVendorId = 0x1E7A;
inline constexpr uint16_t kProductId = 0x0001;
inline constexpr uint8_t kIsoEndpointAddress = 0x81;
inline constexpr uint8_t kAlternateCount = 4;

inline constexpr uint8_t kDescriptorTypeDevice = 1;
inline constexpr uint8_t kDescriptorTypeConfiguration = 2;
inline constexpr uint8_t kDescriptorTypeInterface = 4;
inline constexpr uint8_t kDescriptorTypeEndpoint = 5;

inline constexpr uint8_t kDeviceDescriptorLength = 18;
inline constexpr uint8_t kConfigurationDescriptorLength = 9;
inline constexpr uint8_t kInterfaceDescriptorLength = 9;
inline constexpr uint8_t kEndpointDescriptorLength = 7;

struct DescriptorOptions {
    // 1 as the camera ships; 0 for the variant whose only interface is the video one.
    uint8_t videoInterface = 1;
    // wMaxPacketSize of the isochronous endpoint in alternate settings 0..3.
    std::array<uint16_t, kAlternateCount> maxPacketSizes{0, 448, 704, 960};
};

std::vector<uint8_t> deviceDescriptor();
std::vector<uint8_t> configurationDescriptor(const DescriptorOptions &options);

} // namespace zm4::emu
