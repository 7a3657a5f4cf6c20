// zm4 info: the camera as the driver sees it once it runs: the ids the bus
// reports, the versions through the driver's version properties, the
// alternate setting the driver chose with its isochronous packet size (from
// the driver's copy of the configuration descriptor), and the formats offered.
#include <iostream>
#include <nlohmann/json.hpp>

#include "driver/device_extension.h"
#include "driver/stream_data.h"
#include "settings/propman.h"
#include "tools/camera_session.h"
#include "tools/cli.h"

namespace zm4::cli {

namespace {

// wMaxPacketSize of the isochronous endpoint in the given alternate setting,
// walking the descriptors within the length the copy declares; 0 when none.
unsigned packetSize(const USB_CONFIGURATION_DESCRIPTOR *config, ULONG alternate)
{
    if (config == nullptr)
        return 0;
    const auto *bytes = reinterpret_cast<const uint8_t *>(config);
    const size_t total = config->wTotalLength;
    bool inAlternate = false;
    for (size_t at = 0; at + 2 <= total && bytes[at] >= 2 && at + bytes[at] <= total; at += bytes[at]) {
        if (bytes[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && bytes[at] >= sizeof(USB_INTERFACE_DESCRIPTOR))
            inAlternate = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(bytes + at)->bAlternateSetting ==
                          alternate;
        else if (inAlternate && bytes[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                 bytes[at] >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            const auto *endpoint = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(bytes + at);
            if ((endpoint->bmAttributes & 3) == 1) // isochronous
                return endpoint->wMaxPacketSize & 0x7FF;
        }
    }
    return 0;
}

std::string hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

struct InfoOptions {
    SessionOptions session;
    bool json = false;
};

int runInfo(const InfoOptions &o)
{
    CameraSession session(o.session, "info", host::Clock::Simulated);
    const std::vector<uint8_t> device = session.machine().camera().deviceDescriptor();
    const unsigned vendor = device.size() >= 12 ? device[8] | device[9] << 8 : 0;
    const unsigned product = device.size() >= 12 ? device[10] | device[11] << 8 : 0;
    const size_t formats = session.adapter().videoRanges().size();
    session.start(STREAM_FORMAT_I420, 176, 144);
    const LONG firmware = session.get(*findProperty("firmware_version")).value;
    const LONG sensor = session.get(*findProperty("sensor_version")).value;
    const LONG alternate = session.get(*findProperty("bandwidth")).value;
    const auto *extension = static_cast<const DEVICE_EXTENSION *>(session.adapter().deviceExtension());
    const unsigned packet = packetSize(extension->usbConfigDescriptor, static_cast<ULONG>(alternate));
    session.finish();

    if (o.json) {
        nlohmann::ordered_json j{
            {"vendorId", vendor},      {"productId", product},          {"firmwareVersion", firmware},
            {"sensorVersion", sensor}, {"alternateSetting", alternate}, {"packetSize", packet},
            {"formats", formats}};
        std::cout << j.dump(2) << '\n';
        return kExitOk;
    }
    std::cout << "Vendor id          " << hex(vendor, 4) << "\nProduct id         " << hex(product, 4)
              << "\nFirmware version   " << hex(static_cast<unsigned>(firmware), 4) << "\nSensor version     "
              << sensor << "\nAlternate setting  " << alternate
              << " (chosen by the driver while streaming)\nPacket size        " << packet
              << " bytes per 1-ms frame\nFormats            " << formats << " (see 'zm4 formats')\n";
    return kExitOk;
}

} // namespace

std::function<int()> setupInfo(CLI::App &cmd)
{
    auto o = std::make_shared<InfoOptions>();
    addSessionOptions(cmd, o->session, false);
    cmd.add_flag("--json", o->json, "print one JSON object");
    cmd.footer("Starts the emulated camera through the driver and shows what the driver sees: the\n"
               "vendor and product ids, the firmware and sensor versions (the driver's version\n"
               "properties), the alternate setting it chose and that setting's packet size, and the\n"
               "number of formats its capture stream offers.");
    return [o] { return runInfo(*o); };
}

} // namespace zm4::cli
