// Shared fixture of the camera-control and property-manager tests: an emulated
// camera behind the host bus in simulated time, the link brought up, camera
// control initialised, and the camera's commands read back from its trace.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "driver/device_extension.h"
#include "driver/entry.h"
#include "link/usbif.h"
#include "platform/kernel/registry_store.h"
#include "tests/support/camera_rig.h"

class CameraTestBase : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(NT_SUCCESS(USBIF_Initialise(dev())));
        Camera_Initialise(dev());
    }

    void TearDown() override
    {
        EXPECT_TRUE(lockFree());
        if (dev()->camera.started)
            Camera_Stop(dev());
        EXPECT_TRUE(lockFree());
        rig_.runFor(10);
        USBIF_Terminate(dev());
        EXPECT_EQ(rig_.driverBlocks(), 0u);
    }

    DEVICE_EXTENSION *dev() { return rig_.device(); }
    // No camera operation may return holding cameraLock: the next one would
    // wait 1.2 s for it and go on without it.
    bool lockFree() { return KeReadStateEvent(&dev()->camera.cameraLock.event) == 1; }
    zm4::emu::Camera &camera() { return rig_.camera(); }

    void setValue(const char *name, uint32_t value)
    {
        rig_.registry().write(zm4::host::kDriverKeyPath, name, zm4::host::RegistryValue::dword(value));
    }

    std::optional<uint32_t> value(const char *name)
    {
        auto stored = rig_.registry().read(zm4::host::kDriverKeyPath, name);
        return stored ? stored->asDword() : std::nullopt;
    }

    size_t mark() { return camera().trace().entries().size(); }

    // A command as "RR VVVV IIII[ data]" (request, wValue, wIndex, hex data of
    // writes).
    static std::string describe(const zm4::emu::TraceEntry &e)
    {
        char text[32];
        std::snprintf(text, sizeof(text), "%02X %04X %04X", e.request, e.value, e.index);
        std::string s = text;
        if (!e.in && !e.data.empty()) {
            s += ' ';
            for (uint8_t b : e.data) {
                std::snprintf(text, sizeof(text), "%02X", b);
                s += text;
            }
        }
        return s;
    }

    // Status reads (the link's presence check and the status check after every
    // command) and the link's own register switches around each message.
    static bool isHousekeeping(const zm4::emu::TraceEntry &e)
    {
        return e.request == 0x03 || (e.request == 0x22 && (e.value == 0xF7F1 || e.value == 0xFBF0));
    }

    std::vector<std::string> commandsSince(size_t from)
    {
        std::vector<std::string> out;
        const auto &entries = camera().trace().entries();
        for (size_t i = from; i < entries.size(); ++i)
            if (!isHousekeeping(entries[i]))
                out.push_back(describe(entries[i]));
        return out;
    }

    // Just the request codes, for long sequences.
    std::vector<std::string> codesSince(size_t from)
    {
        std::vector<std::string> out;
        for (const std::string &c : commandsSince(from))
            out.push_back(c.substr(0, 2));
        return out;
    }

    // Trace index of the first command since from that starts with prefix
    // (status reads left out); the trace size if there is none.
    size_t indexOf(size_t from, const std::string &prefix)
    {
        const auto &entries = camera().trace().entries();
        for (size_t i = from; i < entries.size(); ++i)
            if (!isHousekeeping(entries[i]) && describe(entries[i]).rfind(prefix, 0) == 0)
                return i;
        return entries.size();
    }

    // Time of that command; -1 if none.
    int64_t timeOf(size_t from, const std::string &prefix)
    {
        size_t i = indexOf(from, prefix);
        const auto &entries = camera().trace().entries();
        return i < entries.size() ? entries[i].timeMs : -1;
    }

    // Timer ticks as the capture watchdog gives them: each queues the
    // background step when a sequence runs, then 100 ms pass.
    void ticks(int count)
    {
        for (int i = 0; i < count; ++i) {
            Camera_WatchdogTimer(dev(), Entry_GetDriverTime(dev()));
            rig_.advanceDriverTime(100);
            EXPECT_TRUE(lockFree());
        }
    }

    zm4::testing::CameraRig rig_;
};
