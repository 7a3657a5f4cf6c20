// libFuzzer harness for the driver facing a malicious camera: the input
// decides the configuration descriptor the camera hands out, which alternate
// settings it grants, and how it answers each control transfer (the model's
// answer, a failure, a stall, other reply bytes, a short reply, a reply too
// slow to wait for). Through the real port library, driver and bus it adds the
// device, reads and writes a few properties, opens a stream, pauses it with a
// read waiting, lets it run, stops and removes the device. Whatever the camera
// does, the driver must not crash, read or write out of bounds, leave a
// request uncompleted (the port aborts) or leave a pool block behind.
//
// Input, read with FuzzedDataProvider: numbers from the end give the
// descriptor (kind, interface number, packet sizes, patches), the refused
// alternates, the counts of property operations, the format, size and run
// time; 96 bytes from the front drive the property operations; then, again
// from the end, one decision byte per control transfer (plus its reply
// bytes). Once the input runs out the model answers everything.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "emulator/camera_script.h"
#include "emulator/descriptors.h"
#include "fuzz/driver_harness.h"
#include "settings/propman.h"

namespace {

using zm4::host::kMillisecond;

// How a control transfer is answered, by its decision byte % 16.
enum Answer : uint8_t {
    kModel = 0,      // 0..7: as the model answers
    kFail = 8,       // no handshake
    kStall = 9,      // the endpoint halts
    kReply = 10,     // the next 8 input bytes replace the answer
    kShort = 11,     // only the first (next byte % 8) bytes arrive
    kAllFF = 12,     // nobody drives the bus
    kSlow = 13,      // with a next byte under 16: takes 0.9 to 1.15 s, in time or after the host gave up
    kEmpty = 14,     // success with no data
    kFailSilent = 15 // a failure that still moved the data
};

class MaliciousCamera final : public zm4::emu::CameraScript {
public:
    explicit MaliciousCamera(FuzzedDataProvider &input) : input_(input) {}

    std::vector<uint8_t> descriptor;
    bool scriptedDescriptor = false;
    uint8_t refused = 0;

    bool configurationDescriptor(std::vector<uint8_t> &out) override
    {
        if (!scriptedDescriptor)
            return false;
        out = descriptor;
        return true;
    }

    bool acceptAlternate(uint8_t, uint8_t alternate) override
    {
        return alternate >= 8 || !(refused >> alternate & 1);
    }

    void controlTransfer(const zm4::emu::SetupPacket &setup, std::span<uint8_t> data,
                         zm4::emu::TransferResult &result) override
    {
        if (input_.remaining_bytes() == 0)
            return;
        const bool in = (setup.requestType & 0x80) != 0;
        const uint8_t decision = input_.ConsumeIntegral<uint8_t>() % 16;
        switch (decision) {
        case kFail:
            result = {zm4::emu::TransferStatus::kFail, 0, 0};
            break;
        case kStall:
            result = {zm4::emu::TransferStatus::kStall, 0, 0};
            break;
        case kReply:
            if (in) {
                for (uint8_t &byte : data)
                    byte = input_.ConsumeIntegral<uint8_t>();
                result.status = zm4::emu::TransferStatus::kOk;
                result.bytes = data.size();
            }
            break;
        case kShort:
            result.bytes = std::min<size_t>(result.bytes, input_.ConsumeIntegral<uint8_t>() % 8);
            break;
        case kAllFF:
            if (in)
                std::memset(data.data(), 0xFF, data.size());
            break;
        case kSlow:
            // Either side of the driver's 1-s wait. A second of simulated
            // time costs as much as a whole quick input (a bus frame each
            // millisecond, and the frames the camera streams meanwhile), so
            // only one decision in 256 is slow, and an input has at most one:
            // the driver's handling of a reply in time or too late needs no
            // more, and the other answers fail a message's later attempts.
            // The rest answer as the model.
            if (input_.ConsumeIntegral<uint8_t>() < 16 && slowAnswers_ < kMaxSlowAnswers) {
                result.delayMs = 900 + input_.ConsumeIntegral<uint8_t>();
                ++slowAnswers_;
            }
            break;
        case kEmpty:
            result.bytes = 0;
            break;
        case kFailSilent:
            result.status = zm4::emu::TransferStatus::kFail;
            break;
        default:
            break;
        }
    }

private:
    static constexpr int kMaxSlowAnswers = 1;
    FuzzedDataProvider &input_;
    int slowAnswers_ = 0;
};

// The camera's own descriptor with fuzzed fields, or bytes of the input's own.
void mBuildDescriptor(FuzzedDataProvider &input, MaliciousCamera &camera)
{
    const uint8_t kind = input.ConsumeIntegral<uint8_t>() % 4;
    if (kind == 0)
        return;
    camera.scriptedDescriptor = true;
    zm4::emu::DescriptorOptions options;
    options.videoInterface = input.ConsumeIntegral<uint8_t>() % 3;
    for (uint16_t &size : options.maxPacketSizes)
        size = input.ConsumeBool() ? input.ConsumeIntegral<uint16_t>() : size;
    camera.descriptor = zm4::emu::configurationDescriptor(options);
    if (kind == 3) {
        camera.descriptor = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 160));
        return;
    }
    // Patches: any byte (lengths, types, numbers, attributes, wTotalLength).
    const int patches = kind == 2 ? input.ConsumeIntegralInRange(1, 6) : 0;
    for (int i = 0; i < patches && !camera.descriptor.empty(); ++i) {
        const size_t at = input.ConsumeIntegralInRange<size_t>(0, camera.descriptor.size() - 1);
        camera.descriptor[at] = input.ConsumeIntegral<uint8_t>();
    }
    if (input.ConsumeBool())
        camera.descriptor.resize(input.ConsumeIntegralInRange<size_t>(0, camera.descriptor.size()));
}

void mProperty(zm4::host::Adapter &adapter, FuzzedDataProvider &input)
{
    const bool custom = input.ConsumeBool();
    const ULONG id = custom ? input.ConsumeIntegralInRange<ULONG>(0, PROPMAN_LUM_IDS)
                            : input.ConsumeIntegralInRange<ULONG>(0, PROPMAN_VPA_IDS);
    const GUID &set = custom ? PROPSETID_LUMPROP : PROPSETID_VIDCAP_VIDEOPROCAMP;
    if (input.ConsumeBool())
        adapter.getProperty(set, id);
    else
        adapter.setProperty(set, id, input.ConsumeIntegral<int32_t>(),
                            input.ConsumeIntegralInRange<ULONG>(0, 3));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    MaliciousCamera script(input);
    mBuildDescriptor(input, script);
    script.refused = input.ConsumeIntegral<uint8_t>();
    const int before = input.ConsumeIntegralInRange(0, 3);
    const int during = input.ConsumeIntegralInRange(0, 3);
    const ULONG format = input.ConsumeIntegralInRange<ULONG>(0, 5);
    // Small pictures mostly (the packet harness explores the frame path); the
    // largest RGB sizes run the camera at half size and double each frame.
    const bool large = input.ConsumeIntegral<uint8_t>() == 0xFF;
    const LONG width = 8 * input.ConsumeIntegralInRange<LONG>(1, large ? 88 : 16);
    const LONG height = 4 * input.ConsumeIntegralInRange<LONG>(1, large ? 144 : 24);
    // Up to 150 ms: past one beat of the driver's 100-ms timer, which is all
    // a running stream adds to what this harness explores (the packet harness
    // takes frames further); every simulated millisecond costs a bus frame.
    const int64_t runMs = input.ConsumeIntegralInRange<int64_t>(0, 150);
    const bool removeStreaming = input.ConsumeBool();
    const std::vector<uint8_t> values = input.ConsumeBytes<uint8_t>(6 * 16);
    FuzzedDataProvider ops(values.data(), values.size());

    zm4::emu::CameraOptions camera;
    camera.script = &script;
    camera.traceLimit = 0;
    camera.initialScene = [] { return zm4::emu::makeFlatScene(120, 100, 160); };
    zm4::host::Machine &machine = zm4::fuzz::machineWith(camera);
    zm4::host::Adapter &adapter = machine.adapter();
    if (NT_SUCCESS(adapter.initialiseStatus())) {
        for (int i = 0; i < before; ++i)
            mProperty(adapter, ops);
        NTSTATUS status = STATUS_PENDING;
        std::unique_ptr<zm4::host::Stream> stream = adapter.openVideoStream(format, width, height, &status);
        if (stream) {
            zm4::fuzz::readBuffers().startInput();
            zm4::host::RequestPtr read =
                stream->queueRead(zm4::fuzz::readBuffers().next(stream->frameBytes()));
            stream->setState(KSSTATE_PAUSE);
            machine.runFor(runMs * kMillisecond);
            for (int i = 0; i < during; ++i)
                mProperty(adapter, ops);
            if (!removeStreaming)
                stream->stop();
            stream->close();
            if (!read->completed()) {
                std::fprintf(stderr, "a read was never completed\n");
                std::abort();
            }
        }
    }
    zm4::fuzz::removeAndCheck(machine);
    return 0;
}
