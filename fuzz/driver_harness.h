#pragma once
// What the driver harnesses share: one simulated machine per process whose
// camera is replaced for every input (the kernel, the port library and the
// loaded driver stay, as on a running system, and every input starts with a
// new camera, a new device and an empty in-memory registry), the check that
// removing the device leaves no block behind, and the sanitizer settings.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include <sanitizer/asan_interface.h>

#include "platform/port/machine.h"

// Allocation and free stacks of three frames: recording thirty for each of
// the thousands of blocks an input allocates costs more than the rest of
// the run. Replay a finding with ASAN_OPTIONS=malloc_context_size=30 for
// whole stacks.
extern "C" const char *__asan_default_options()
{
    return "malloc_context_size=3:quarantine_size_mb=16";
}

namespace zm4::fuzz {

inline constexpr uint32_t kWdmTag = 0x206D6457;

// The process's machine with a new camera of these options, its device added.
inline host::Machine &machineWith(const emu::CameraOptions &camera)
{
    static std::unique_ptr<host::Machine> machine;
    if (!machine) {
        host::MachineOptions options;
        // The lock order is the tests' business; checking every acquire
        // would double the cost of an input.
        options.kernel.lockOrderChecks = false;
        options.camera = camera;
        machine = std::make_unique<host::Machine>(options);
        // AddressSanitizer already poisons fresh and freed memory and
        // remembers where each block was freed; the pool's own fills and
        // history would only double that for thousands of blocks an input.
        // Light mode reuses freed blocks, so a stale pool pointer reports a
        // use-after-poison without stacks: replay a finding with
        // ZM4_FUZZ_PLAIN_POOL=1 for AddressSanitizer's own report.
        if (std::getenv("ZM4_FUZZ_PLAIN_POOL") == nullptr)
            machine->kernel().pool().setLight(true);
    } else {
        machine->replaceCamera(camera);
    }
    return *machine;
}

// Read buffers kept from one input to the next: a new buffer for every read
// costs AddressSanitizer a fresh mapping, page faults and all, for the larger
// frames. Each read gets its buffer zeroed, as a new one would be, and the
// bytes past its size poisoned, so a write beyond the frame still reports.
class ReadBuffers {
public:
    // The next buffer of this input; valid until the next input's first.
    std::span<uint8_t> next(size_t bytes)
    {
        if (used_ == buffers_.size())
            buffers_.emplace_back();
        std::vector<uint8_t> &buffer = buffers_[used_++];
        ASAN_UNPOISON_MEMORY_REGION(buffer.data(), buffer.size());
        if (buffer.size() < bytes)
            buffer.assign(bytes, 0);
        std::memset(buffer.data(), 0, bytes);
        ASAN_POISON_MEMORY_REGION(buffer.data() + bytes, buffer.size() - bytes);
        return {buffer.data(), bytes};
    }
    void startInput() { used_ = 0; }

private:
    std::deque<std::vector<uint8_t>> buffers_;
    size_t used_ = 0;
};

inline ReadBuffers &readBuffers()
{
    static ReadBuffers buffers;
    return buffers;
}

// Removes the device, lets whatever the driver left queued run, and stops
// the run if a driver or port block survived.
inline void removeAndCheck(host::Machine &machine)
{
    machine.removeDevice();
    machine.scheduler().runUntilIdle(60 * host::kSecond);
    host::Pool &pool = machine.kernel().pool();
    if (pool.liveBlocks(kWdmTag) != 0 || pool.liveBlocks(host::kPortPoolTag) != 0) {
        std::fprintf(stderr, "blocks left after the device was removed:\n%s", pool.leakReport().c_str());
        std::abort();
    }
}

} // namespace zm4::fuzz
