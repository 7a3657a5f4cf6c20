// The message link. Before every command the camera must answer a status read
// (an unanswered read leaves all eight bytes 0xFF); reads switch the camera's
// isochronous output off around the command and on again after it; writes
// with a data stage first clear the camera's data-write lock bit.
#include "link/zirclink.h"

#include <cstring>

#include "driver/debug.h"
#include "driver/device_extension.h"
#include "driver/extns.h"
#include "link/usbif.h"
#include "settings/registry.h"

// Attempts of one message at this level.
static constexpr ULONG ZIRCLINK_ATTEMPTS = 3;
// More consecutive failures than this and the link refuses every message.
static constexpr ULONG ZIRCLINK_MAX_FAILURES = 10;
// Bytes of every data stage and reply.
static constexpr USHORT ZIRCLINK_DATA_BYTES = 8;

static constexpr UCHAR ZIRCLINK_REQ_CAMERA_STATUS = 0x03;
static constexpr UCHAR ZIRCLINK_REQ_WRITE_VC_REG = 0x22;
// VC register 0xF1, keep-mask 0xF7: bit 3 switches the isochronous output.
static constexpr USHORT ZIRCLINK_ISO_SWITCH_VALUE = 0xF7F1;
static constexpr USHORT ZIRCLINK_ISO_ON = 0x08;
static constexpr USHORT ZIRCLINK_ISO_OFF = 0x00;
// VC register 0xF0, keep-mask 0xFB, set-bits 0: bit 2 (data-write lock) cleared.
static constexpr USHORT ZIRCLINK_UNLOCK_VALUE = 0xFBF0;

static ULONG mAllFF(const UCHAR *bytes)
{
    for (ULONG i = 0; i < ZIRCLINK_DATA_BYTES; ++i)
        if (bytes[i] != 0xFF)
            return 0;
    return 1;
}

static NTSTATUS mDummyRead(DEVICE_EXTENSION *device)
{
    UCHAR reply[ZIRCLINK_DATA_BYTES];
    std::memset(reply, 0xFF, sizeof(reply));
    NTSTATUS status =
        USBIF_VendorDeviceRequest(device, 1, ZIRCLINK_REQ_CAMERA_STATUS, 0, 0, reply, sizeof(reply));
    if (!NT_SUCCESS(status))
        return status;
    return mAllFF(reply) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

static NTSTATUS mIsochEnable(DEVICE_EXTENSION *device, ULONG enable)
{
    return USBIF_VendorDeviceRequest(device, 0, ZIRCLINK_REQ_WRITE_VC_REG, ZIRCLINK_ISO_SWITCH_VALUE,
                                     enable ? ZIRCLINK_ISO_ON : ZIRCLINK_ISO_OFF, nullptr, 0);
}

static ULONG mReadMessage(DEVICE_EXTENSION *device, UCHAR request, USHORT value, USHORT index, UCHAR *buffer,
                          USHORT length)
{
    for (ULONG attempt = 0; attempt < ZIRCLINK_ATTEMPTS; ++attempt) {
        if (!NT_SUCCESS(mDummyRead(device)))
            continue;
        if (!NT_SUCCESS(mIsochEnable(device, 0)))
            continue;
        std::memset(buffer, 0xFF, ZIRCLINK_DATA_BYTES);
        if (!NT_SUCCESS(USBIF_VendorDeviceRequest(device, 1, request, value, index, buffer, length)))
            continue;
        if (mAllFF(buffer))
            continue;
        if (!NT_SUCCESS(mIsochEnable(device, 1)))
            continue;
        return 1;
    }
    return 0;
}

static ULONG mWriteMessage(DEVICE_EXTENSION *device, UCHAR request, USHORT value, USHORT index, UCHAR *buffer,
                           USHORT length)
{
    for (ULONG attempt = 0; attempt < ZIRCLINK_ATTEMPTS; ++attempt) {
        if (NT_SUCCESS(mDummyRead(device)) &&
            (length == 0 || NT_SUCCESS(USBIF_VendorDeviceRequest(device, 0, ZIRCLINK_REQ_WRITE_VC_REG,
                                                                 ZIRCLINK_UNLOCK_VALUE, 0, nullptr, 0)))) {
            if (NT_SUCCESS(USBIF_VendorDeviceRequest(device, 0, request, value, index, buffer, length)))
                return 1;
            if (length != 0 && USBIF_HasDeviceHalted(device)) {
                device->linkCameraFault = 1;
                Debug_ProblemSet(DEBUG_PROBLEM_CAMERA_FAULT, 1);
                Registry_Write(REG_CAMERA_FAULT, 1);
            }
        }
        if (device->linkCameraFault)
            break;
    }
    return 0;
}

void ZIRCLink_Initialise(DEVICE_EXTENSION *device)
{
    Extns_Excluder_Initialise(&device->linkLock);
    HostVerifierNameLock(&device->linkLock.event, "link lock");
    device->linkFailures = 0;
    // A fresh link carries no fault; the registry says so too.
    if (device->linkCameraFault) {
        device->linkCameraFault = 0;
        Registry_Write(REG_CAMERA_FAULT, 0);
    }
}

void ZIRCLink_Start(DEVICE_EXTENSION *device)
{
    if (device->linkCameraFault) {
        Registry_Write(REG_CAMERA_FAULT, 0);
        device->linkCameraFault = 0;
    }
    Debug_ProblemClearAll();
}

ULONG ZIRCLink_TransferMessage(DEVICE_EXTENSION *device, UCHAR module, UCHAR command, const UCHAR *params,
                               ULONG read, USHORT dataLength, UCHAR *data)
{
    // A message carries no data stage or exactly one of 8 bytes, and a read
    // always has one; anything else is refused before it reaches the camera.
    if ((dataLength != 0 && dataLength != ZIRCLINK_DATA_BYTES) || (dataLength != 0 && data == nullptr) ||
        (read && dataLength == 0))
        return 0;

    Extns_Excluder_Acquire(&device->linkLock, "ZIRCLink_TransferMessage");
    if (device->linkFailures > ZIRCLINK_MAX_FAILURES) {
        Debug_ProblemSet(DEBUG_PROBLEM_LINK_REFUSED, 1);
        Extns_Excluder_Release(&device->linkLock);
        return 0;
    }
    if (device->linkCameraFault) {
        Extns_Excluder_Release(&device->linkLock);
        return 0;
    }

    const UCHAR request = static_cast<UCHAR>((module & 0xE0) | (command & 0x1F));
    const UCHAR p0 = params != nullptr ? params[0] : 0;
    const UCHAR p1 = params != nullptr ? params[1] : 0;
    const UCHAR p2 = params != nullptr ? params[2] : 0;
    const UCHAR p3 = params != nullptr ? params[3] : 0;
    const auto value = static_cast<USHORT>(p0 | (p1 << 8));
    const auto index = static_cast<USHORT>(p2 | (p3 << 8));

    const ULONG result = read ? mReadMessage(device, request, value, index, data, dataLength)
                              : mWriteMessage(device, request, value, index, data, dataLength);
    if (result)
        device->linkFailures = 0;
    else
        ++device->linkFailures;
    Extns_Excluder_Release(&device->linkLock);
    return result;
}
