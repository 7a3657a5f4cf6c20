// The camera's one isochronous endpoint is 0x81; the bus polls no other.

#include "emulator/usb_device.h"

namespace zm4::emu {

using zm4::host::UsbPacketResult;
using zm4::host::UsbPacketStatus;
using zm4::host::UsbTransferResult;
using zm4::host::UsbTransferStatus;

std::vector<uint8_t> UsbCamera::configurationDescriptor() const
{
    return camera_.configurationDescriptor();
}

bool UsbCamera::connected() const
{
    return camera_.connected();
}

UsbTransferResult UsbCamera::controlTransfer(const zm4::host::UsbSetup &setup, std::span<uint8_t> data,
                                             int64_t timeMs)
{
    const SetupPacket packet{setup.requestType, setup.request, setup.value, setup.index, setup.length};
    const TransferResult result = camera_.controlTransfer(packet, data, timeMs);
    UsbTransferResult out;
    out.bytes = result.bytes;
    out.delayMs = result.delayMs;
    switch (result.status) {
    case TransferStatus::kOk:
        out.status = UsbTransferStatus::Ok;
        break;
    case TransferStatus::kStall:
        out.status = UsbTransferStatus::Stall;
        break;
    case TransferStatus::kFail:
        out.status = UsbTransferStatus::Fail;
        break;
    }
    return out;
}

bool UsbCamera::selectAlternate(uint8_t interfaceNumber, uint8_t alternate, int64_t timeMs)
{
    return camera_.selectAlternate(interfaceNumber, alternate, timeMs);
}

UsbPacketResult UsbCamera::isoPacket(uint8_t endpointAddress, int64_t timeMs, std::span<uint8_t> buffer)
{
    UsbPacketResult out;
    if (endpointAddress != kIsoEndpointAddress) {
        out.status = UsbPacketStatus::NoResponse;
        return out;
    }
    const PacketResult result = camera_.isoPacket(timeMs, buffer);
    out.length = result.length;
    switch (result.status) {
    case PacketStatus::kOk:
        out.status = UsbPacketStatus::Ok;
        break;
    case PacketStatus::kError:
        out.status = UsbPacketStatus::Error;
        break;
    case PacketStatus::kRequestFailed:
        out.status = UsbPacketStatus::RequestFailed;
        break;
    case PacketStatus::kNoResponse:
        out.status = UsbPacketStatus::NoResponse;
        break;
    }
    return out;
}

} // namespace zm4::emu
