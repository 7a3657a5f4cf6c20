// Frame pacing on the accurate millisecond clock. All times are 32-bit
// milliseconds compared unsigned, as the clock wraps after 49 days.

#include "driver/stream_time.h"

#include "driver/device_extension.h"

// An interval below 1 ms cannot be paced: asked to stay one interval ahead, the
// due time would never move. Such words (1 to 999 us) mean "as fast as frames
// come", like 0.
constexpr ULONG kMinPacedIntervalWord = 1000;

ULONG mGetMSAccurateTime()
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return static_cast<ULONG>(now.QuadPart / 10000);
}

void StreamTime_VfWStreamReset(DEVICE_EXTENSION *device, ULONG unused)
{
    (void)unused;
    device->pacingActive = 0;
    device->previousCallTime = 0;
    device->nextDueTime = 0;
    device->earliestTime = 0;
}

ULONG StreamTime_VfWStreamTiming(DEVICE_EXTENSION *device, HW_STREAM_REQUEST_BLOCK *srb)
{
    STREAM_VFW_INFO *client = StreamClassGetVfWInfo(srb);
    if (client == nullptr) {
        device->pacingActive = 0;
        return 1;
    }
    const ULONG now = mGetMSAccurateTime();
    const ULONG word = client->FrameInterval;
    const ULONG interval = word / 1000;

    ULONG deliver;
    if (word == STREAM_VFW_DELIVER_NOTHING) {
        device->pacingActive = 0;
        deliver = 0;
    } else if (word < kMinPacedIntervalWord) {
        device->pacingActive = 0;
        deliver = 1;
    } else if (device->pacingActive == 0) {
        device->pacingActive = 1;
        device->nextDueTime = now;
        device->earliestTime = now;
        deliver = 1;
    } else if (now <= device->earliestTime) {
        deliver = 0; // too early
    } else if (now > device->nextDueTime) {
        deliver = 1; // late
    } else {
        // Deliver when one and a half times the gap since the previous decision
        // reaches the time still to go: the next frame would come later still.
        deliver = (now - device->previousCallTime) * 3 / 2 >= device->nextDueTime - now ? 1 : 0;
    }
    device->previousCallTime = now;

    if (deliver == 1 && device->pacingActive == 1) {
        // Advance the due time by whole intervals until it is at least one
        // interval ahead. Done in one step: the count of intervals is what the
        // repeated addition would reach.
        const ULONG target = now + interval;
        if (device->nextDueTime < target) {
            const ULONGLONG behind = target - device->nextDueTime;
            const ULONGLONG steps = (behind + interval - 1) / interval;
            device->nextDueTime += static_cast<ULONG>(steps * interval);
        }
        device->earliestTime = device->nextDueTime - interval;
    }
    return deliver;
}

ULONG StreamTime_StreamMode(DEVICE_EXTENSION *device, HW_STREAM_REQUEST_BLOCK *srb)
{
    (void)device;
    STREAM_VFW_INFO *client = StreamClassGetVfWInfo(srb);
    return client != nullptr && client->FrameInterval != 0 ? 1 : 0;
}

void StreamTime_VfWStreamFrameDone(DEVICE_EXTENSION *device, HW_STREAM_REQUEST_BLOCK *srb)
{
    (void)device;
    STREAM_VFW_INFO *client = StreamClassGetVfWInfo(srb);
    if (client != nullptr)
        client->FrameInterval = STREAM_VFW_DELIVERED;
}
