// The descriptors, walked the way a host parses them.

#include <gtest/gtest.h>

#include "emulator/descriptors.h"

namespace zm4::emu {
namespace {

struct Endpoint {
    uint8_t address, attributes;
    uint16_t maxPacketSize;
};
struct Interface {
    uint8_t number, alternate;
    std::vector<Endpoint> endpoints;
};

// Walks a configuration descriptor; fails the test on any malformed record.
std::vector<Interface> walk(const std::vector<uint8_t> &bytes, uint8_t &numInterfaces)
{
    std::vector<Interface> interfaces;
    EXPECT_GE(bytes.size(), 9u);
    EXPECT_EQ(bytes[0], 9);
    EXPECT_EQ(bytes[1], kDescriptorTypeConfiguration);
    EXPECT_EQ(size_t(bytes[2] | bytes[3] << 8), bytes.size());
    numInterfaces = bytes[4];
    size_t p = 0;
    while (p < bytes.size()) {
        const uint8_t length = bytes[p];
        EXPECT_GE(length, 2);
        EXPECT_LE(p + length, bytes.size());
        if (length < 2 || p + length > bytes.size())
            break;
        if (bytes[p + 1] == kDescriptorTypeInterface) {
            EXPECT_EQ(length, kInterfaceDescriptorLength);
            interfaces.push_back({bytes[p + 2], bytes[p + 3], {}});
            EXPECT_EQ(bytes[p + 5], 0xFF); // vendor-specific class
        } else if (bytes[p + 1] == kDescriptorTypeEndpoint) {
            EXPECT_EQ(length, kEndpointDescriptorLength);
            EXPECT_FALSE(interfaces.empty());
            if (!interfaces.empty())
                interfaces.back().endpoints.push_back(
                    {bytes[p + 2], bytes[p + 3], static_cast<uint16_t>(bytes[p + 4] | bytes[p + 5] << 8)});
        }
        p += length;
    }
    return interfaces;
}

TEST(Descriptors, DeviceDescriptorNamesTheCamera)
{
    const std::vector<uint8_t> d = deviceDescriptor();
    ASSERT_EQ(d.size(), 18u);
    // Length, type, vendor 0x1E7A, product 0x0001, one configuration.
    EXPECT_EQ((std::vector<int>{d[0], d[1], d[8] | d[9] << 8, d[10] | d[11] << 8, d[17]}),
              (std::vector<int>{18, kDescriptorTypeDevice, 0x1E7A, 0x0001, 1}));
}

TEST(Descriptors, VideoInterfaceOneHasFourAlternatesWithOneIsoEndpoint)
{
    uint8_t numInterfaces = 0;
    const auto interfaces = walk(configurationDescriptor({}), numInterfaces);
    EXPECT_EQ(numInterfaces, 2);
    const uint16_t expected[] = {0, 448, 704, 960};
    int alternates = 0;
    for (const Interface &i : interfaces) {
        if (i.number != 1) {
            EXPECT_EQ(i.number, 0);
            EXPECT_TRUE(i.endpoints.empty());
            continue;
        }
        ASSERT_LT(i.alternate, 4);
        EXPECT_EQ(i.alternate, alternates);
        ASSERT_EQ(i.endpoints.size(), 1u);
        EXPECT_EQ(i.endpoints[0].address, 0x81);
        EXPECT_EQ(i.endpoints[0].attributes & 0x03, 0x01); // isochronous
        EXPECT_EQ(i.endpoints[0].maxPacketSize, expected[i.alternate]);
        ++alternates;
    }
    EXPECT_EQ(alternates, 4);
}

TEST(Descriptors, OptionsRenumberTheInterfaceAndChangePacketSizes)
{
    DescriptorOptions options;
    options.videoInterface = 0;
    options.maxPacketSizes = {0, 128, 256, 1023};
    uint8_t numInterfaces = 0;
    const auto interfaces = walk(configurationDescriptor(options), numInterfaces);
    EXPECT_EQ(numInterfaces, 1);
    ASSERT_EQ(interfaces.size(), 4u);
    for (const Interface &i : interfaces) {
        EXPECT_EQ(i.number, 0);
        EXPECT_EQ(i.endpoints.at(0).maxPacketSize, options.maxPacketSizes[i.alternate]);
    }
}

} // namespace
} // namespace zm4::emu
