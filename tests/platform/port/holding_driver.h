// A minimal minidriver for exercising the port library: it answers device and
// stream control requests at once with success and holds every read until the
// test completes it, cancels it or lets it time out.
#pragma once

#include <algorithm>
#include <vector>

#include "platform/port/stream_class.h"

namespace holding {

struct State {
    ULONG extensionSize = 64;
    std::vector<HW_STREAM_REQUEST_BLOCK *> reads; // held, oldest first
    unsigned cancels = 0;
    unsigned timeouts = 0;
};

inline State &state()
{
    static State s;
    return s;
}

inline void completeStream(HW_STREAM_REQUEST_BLOCK *srb, NTSTATUS status)
{
    srb->Status = status;
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
    ExFreePool(srb);
}

// Completes the oldest held read with the given status and fill.
inline void completeRead(NTSTATUS status, ULONG dataUsed)
{
    HW_STREAM_REQUEST_BLOCK *srb = state().reads.front();
    state().reads.erase(state().reads.begin());
    srb->CommandData.DataBufferArray->DataUsed = dataUsed;
    completeStream(srb, status);
}

inline void receiveData(HW_STREAM_REQUEST_BLOCK *srb)
{
    state().reads.push_back(srb);
}

inline void receiveControl(HW_STREAM_REQUEST_BLOCK *srb)
{
    completeStream(srb, STATUS_SUCCESS);
}

inline void receiveDevice(HW_STREAM_REQUEST_BLOCK *srb)
{
    if (srb->Command == SRB_OPEN_STREAM) {
        srb->StreamObject->ReceiveDataPacket = receiveData;
        srb->StreamObject->ReceiveControlPacket = receiveControl;
    }
    srb->Status = STATUS_SUCCESS;
    StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
    ExFreePool(srb);
}

inline void cancel(HW_STREAM_REQUEST_BLOCK *srb)
{
    ++state().cancels;
    auto &reads = state().reads;
    reads.erase(std::remove(reads.begin(), reads.end(), srb), reads.end());
    completeStream(srb, STATUS_CANCELLED);
}

inline void timeout(HW_STREAM_REQUEST_BLOCK *srb)
{
    ++state().timeouts;
    srb->TimeoutCounter = srb->TimeoutOriginal;
}

inline NTSTATUS driverEntry(DRIVER_OBJECT *driverObject, UNICODE_STRING *registryPath)
{
    const ULONG extensionSize = state().extensionSize;
    state() = State();
    state().extensionSize = extensionSize;
    HW_INITIALIZATION_DATA data{};
    data.HwInitializationDataSize = sizeof(data);
    data.HwReceivePacket = receiveDevice;
    data.HwCancelPacket = cancel;
    data.HwRequestTimeoutHandler = timeout;
    data.DeviceExtensionSize = state().extensionSize;
    data.PerRequestExtensionSize = 8;
    data.PerStreamExtensionSize = 16;
    data.TurnOffSynchronization = TRUE;
    return StreamClassRegisterAdapter(driverObject, registryPath, &data);
}

} // namespace holding
