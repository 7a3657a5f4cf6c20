// Real time: a capture run starting and stopping, frames being grabbed, every
// property request and the 100-ms watchdog, all at once on the emulated camera
// with the host's delay fuzzing. Fields that camera control and the property
// manager share without a lock must be read and written as whole words (run
// under ThreadSanitizer); every operation must leave cameraLock free.
#include <atomic>

#include <gtest/gtest.h>

#include "camera/camera.h"
#include "driver/debug.h"
#include "driver/device_extension.h"
#include "driver/entry.h"
#include "link/usbif.h"
#include "settings/propman.h"
#include "tests/support/camera_rig.h"

namespace {

using zm4::testing::CameraRig;

TEST(CameraStress, StartStopPropertiesAndWatchdogTogether)
{
    CameraRig rig({.camera = {}, .kernel = {.clock = zm4::host::Clock::Real, .delayFuzz = true}});
    DEVICE_EXTENSION *device = rig.device();
    Debug_Init();
    ASSERT_EQ(USBIF_Initialise(device), STATUS_SUCCESS);
    Camera_Initialise(device);
    PropMan_Initialise(device);

    std::atomic<int> done{0};
    std::atomic<bool> stop{false};
    auto &scheduler = rig.kernel().scheduler();
    scheduler.queueWork([&] { // the capture flow: start, grab, stop
        for (int run = 0; run < 6; ++run) {
            Camera_Start(device, run % 2 ? 176 : 352, run % 2 ? 144 : 288);
            for (int frame = 0; frame < 4; ++frame) {
                ULONG fullFrame = 0;
                Camera_Update(device, &fullFrame);
                Camera_Capture(device);
            }
            Camera_Stop(device);
        }
        stop = true;
        done.fetch_add(1);
    });
    scheduler.queueWork([&] { // property requests, one at a time as the port sends them
        for (ULONG round = 0; !stop; ++round) {
            for (ULONG id = 0; id < PROPMAN_LUM_IDS; ++id) {
                if (id == 10)
                    continue; // the bandwidth probe would fight the transfer for the interface
                KSPROPERTY_VIDEOPROCAMP_S p = {};
                if (PropMan_LumPropHandlers[id].get)
                    PropMan_LumPropHandlers[id].get(&p, device);
                p.Value = static_cast<LONG>(round % 3 + 1);
                p.Flags = round % 2 ? 0x0A : 0x04;
                if (PropMan_LumPropHandlers[id].set && id != 23)
                    PropMan_LumPropHandlers[id].set(&p, device);
            }
            KSPROPERTY_VIDEOPROCAMP_S p = {};
            p.Value = static_cast<LONG>(4000 + round);
            PropMan_SetBrightness(&p, device);
        }
        done.fetch_add(1);
    });
    scheduler.queueWork([&] { // the timer: driver time, watchdog, lock-free getters
        while (!stop) {
            InterlockedIncrement(reinterpret_cast<LONG volatile *>(&device->tickCount));
            Camera_WatchdogTimer(device, Entry_GetDriverTime(device));
            ULONG index = 0, automatic = 0;
            Camera_GetSpeed(device, &index, &automatic);
            Camera_CompressionEnabled(device);
            Camera_ButtonCheckGet(device);
            Camera_ButtonStateGet(device);
            LARGE_INTEGER pause{.QuadPart = -5 * 10000}; // 5 ms
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
        }
        done.fetch_add(1);
    });
    ASSERT_TRUE(scheduler.runUntil([&] { return done.load() == 3; }, 120 * zm4::host::kSecond));
    rig.runFor(200); // background steps still queued
    EXPECT_EQ(KeReadStateEvent(&device->camera.cameraLock.event), 1);
    EXPECT_EQ(Debug_GetRecord()->problemBits & DEBUG_PROBLEM_EXCLUDER_TIMEOUT, 0u);
    PropMan_Terminate(device);
    USBIF_Terminate(device);
    EXPECT_EQ(rig.driverBlocks(), 0u);
}

} // namespace
