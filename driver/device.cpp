// The device object. Device requests are serialised by the device request
// queue, so the routing below never runs alongside another device request.

#include "driver/device.h"

#include "driver/debug.h"
#include "driver/device_extension.h"
#include "driver/entry.h"
#include "driver/extns.h"
#include "driver/stream.h"
#include "settings/propman.h"
#include "settings/registry.h"

// The driver time, in ms, at which the one-time maintenance action runs: the
// 100th timer tick.
constexpr ULONG kTenSecondsDriverTime = 10000;
// The first timer tick comes 1 ms after initialise.
constexpr ULONG kFirstTickMicroseconds = 1000;
// Uninitialise waits this long for the timer to acknowledge its stop.
constexpr ULONG kTimerStopWaitMs = 1000;

void Device_Initialise(HW_STREAM_REQUEST_BLOCK *srb)
{
    auto *device = static_cast<DEVICE_EXTENSION *>(srb->HwDeviceExtension);
    PORT_CONFIGURATION_INFORMATION *config = srb->CommandData.ConfigInfo;

    Registry_Write(REG_CAMERA_PRESENT, 1);
    Registry_Write(REG_CAMERA_FAULT, 0);
    Debug_ProblemClearAll();
    Debug_SetDeviceExtension(device);
    device->PhysicalDeviceObject = config->PhysicalDeviceObject;
    PropMan_Initialise(device);

    const NTSTATUS status = Stream_Initialise(device);
    if (!NT_SUCCESS(status)) {
        // The settings stay loaded and the registry still says present.
        srb->Status = status;
    } else {
        InterlockedExchange(reinterpret_cast<LONG volatile *>(&device->timerRunning), 1);
        StreamClassScheduleTimer(nullptr, device, kFirstTickMicroseconds, Entry_TimerCallback, device);
    }
    config->StreamDescriptorSize = Stream_DescriptorSize();
    Entry_CompleteDeviceSRB(srb);
}

void Device_UnInitialise(HW_STREAM_REQUEST_BLOCK *srb)
{
    auto *device = static_cast<DEVICE_EXTENSION *>(srb->HwDeviceExtension);
    Registry_Write(REG_CAMERA_PRESENT, 0);

    // The next tick sees 0, answers 1 and does not reschedule. A timer that
    // never comes (already gone) is waited for one second only.
    auto *running = reinterpret_cast<LONG volatile *>(&device->timerRunning);
    InterlockedExchange(running, 0);
    LARGE_INTEGER deadline;
    LARGE_INTEGER pause;
    pause.QuadPart = -10000; // 1 ms, relative
    Extns_TimeOut_Set(&deadline, kTimerStopWaitMs);
    while (InterlockedCompareExchange(running, 0, 0) != 1 && !Extns_TimeOut_TimedOut(&deadline))
        KeDelayExecutionThread(KernelMode, FALSE, &pause);

    Stream_Terminate(device);
    PropMan_Terminate(device);
    Entry_CompleteDeviceSRB(srb);
}

void Device_ChangePowerState(HW_STREAM_REQUEST_BLOCK *srb)
{
    srb->Status = STATUS_NOT_IMPLEMENTED;
    srb->ActualBytesTransferred = 0; // no data: not the request's own byte count
    Entry_CompleteDeviceSRB(srb);
}

// Picks the handler of a property request, or reports why there is none. An
// answered set with a whole buffer but an id past its table or with no handler
// is STATUS_NOT_IMPLEMENTED; any other set or a short buffer leaves the status
// alone and runs nothing.
static PROPMAN_HANDLER mFindHandler(const STREAM_PROPERTY_DESCRIPTOR *descriptor, bool get, NTSTATUS *status)
{
    if (descriptor == nullptr || descriptor->Property == nullptr || descriptor->PropertyInfo == nullptr ||
        descriptor->PropertyOutputSize < sizeof(KSPROPERTY_VIDEOPROCAMP_S))
        return nullptr;

    const GUID &set = descriptor->Property->Set;
    const ULONG id = descriptor->Property->Id;
    const PROPMAN_HANDLERS *table;
    ULONG entries;
    if (IsEqualGUID(set, PROPSETID_VIDCAP_VIDEOPROCAMP)) {
        table = PropMan_VideoProcAmpHandlers;
        entries = PROPMAN_VPA_IDS;
    } else if (IsEqualGUID(set, PROPSETID_LUMPROP)) {
        table = PropMan_LumPropHandlers;
        entries = PROPMAN_LUM_IDS;
    } else {
        return nullptr;
    }

    PROPMAN_HANDLER handler = nullptr;
    if (id < entries)
        handler = get ? table[id].get : table[id].set;
    if (handler == nullptr)
        *status = STATUS_NOT_IMPLEMENTED;
    return handler;
}

static void mRouteProperty(HW_STREAM_REQUEST_BLOCK *srb, bool get)
{
    const STREAM_PROPERTY_DESCRIPTOR *descriptor = srb->CommandData.PropertyInfo;
    PROPMAN_HANDLER handler = mFindHandler(descriptor, get, &srb->Status);
    if (handler != nullptr) {
        // The handler's own result is not looked at: one that fails to reach
        // the camera has still stored the value, and the request succeeds.
        handler(static_cast<KSPROPERTY_VIDEOPROCAMP_S *>(descriptor->PropertyInfo),
                static_cast<DEVICE_EXTENSION *>(srb->HwDeviceExtension));
        if (srb->Status == STATUS_SUCCESS)
            srb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
    }
    if (srb->Status != STATUS_SUCCESS)
        srb->ActualBytesTransferred = 0;
    Entry_CompleteDeviceSRB(srb);
}

void Device_GetProperty(HW_STREAM_REQUEST_BLOCK *srb)
{
    mRouteProperty(srb, true);
}

void Device_SetProperty(HW_STREAM_REQUEST_BLOCK *srb)
{
    mRouteProperty(srb, false);
}

void Device_WatchdogTimer(DEVICE_EXTENSION *device, ULONG driverTime)
{
    // Exactly 10,000: the tick count is never reset, so this happens once. A
    // worker that cannot be allocated is not retried.
    if (driverTime == kTenSecondsDriverTime)
        Extns_Worker_Create(device, 0, 0, Entry_DeviceTenSeconds);
}

void Device_TenSecondsThread(EXTNS_WORKER *worker)
{
    PVOID context;
    ULONG_PTR value1;
    ULONG_PTR value2;
    Extns_Worker_Destroy(worker, &context, &value1, &value2);

    // A failed read leaves the value's default, 0: nothing is deleted.
    ULONG enumFix = 0;
    Registry_Read(REG_PU_ENUM_FIX, &enumFix);
    if (enumFix != 0)
        Registry_EnumTreeDelete();
}
