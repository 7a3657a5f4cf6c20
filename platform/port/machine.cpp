// The machine's wiring: built bottom-up, taken down top-down.
#include "platform/port/machine.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "driver/entry.h"
#include "driver/stream_data.h"

namespace zm4::host {

Machine::Machine(MachineOptions options)
{
    kernel_ = std::make_unique<Kernel>(options.kernel);
    registry_ = options.registryPath.empty() ? RegistryStore::inMemory()
                                             : RegistryStore::openFile(options.registryPath);
    registryScope_ = std::make_unique<RegistryScope>(*registry_);
    inMemory_ = options.registryPath.empty();
    port_ = std::make_unique<PortLibrary>();
    const NTSTATUS status = port_->loadDriver(DriverEntry);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "zm4 machine: the driver did not load (status 0x%08X)\n",
                     static_cast<unsigned>(status));
        std::abort();
    }
    plugCamera(std::move(options.camera), options.addDevice);
}

void Machine::plugCamera(emu::CameraOptions options, bool add)
{
    camera_ = std::make_unique<emu::Camera>(std::move(options));
    usbCamera_ = std::make_unique<emu::UsbCamera>(*camera_);
    bus_ = std::make_unique<UsbBus>(*usbCamera_, kernel_->scheduler());
    if (add)
        addDevice();
}

NTSTATUS Machine::addDevice()
{
    adapter_.reset();
    adapter_ = port_->addDevice(bus_->physicalDeviceObject());
    return adapter_->initialiseStatus();
}

void Machine::replaceCamera(emu::CameraOptions options)
{
    adapter_.reset();
    bus_.reset();
    usbCamera_.reset();
    camera_.reset();
    // An in-memory registry starts empty again, as a new one would; clearing
    // it rather than making a new one lets it reuse its memory.
    if (inMemory_)
        registry_->clear();
    plugCamera(std::move(options), true);
}

Machine::~Machine()
{
    adapter_.reset();
    port_.reset();
    bus_.reset();
    usbCamera_.reset();
    camera_.reset();
    registryScope_.reset();
    registry_.reset();
    kernel_.reset();
}

std::vector<uint8_t> Machine::videoFormat(ULONG formatIndex, LONG width, LONG height)
{
    const HW_STREAM_INFORMATION &stream = StreamData_GetStreamDataPtr()[0];
    if (formatIndex >= stream.NumberOfFormatArrayEntries)
        return {};
    const auto *range = reinterpret_cast<const KS_DATARANGE_VIDEO *>(stream.StreamFormatsArray[formatIndex]);
    return videoFormatFromRange(*range, width, height);
}

void Machine::changeCamera(std::function<void(emu::Camera &)> change)
{
    // The bus runs the camera from scheduled events; so does this change.
    auto done = std::make_shared<std::atomic<bool>>(false);
    scheduler().postAfter(0, [this, change = std::move(change), done] {
        change(*camera_);
        done->store(true);
    });
    if (!runUntil([&] { return done->load(); }, 60 * kSecond)) {
        std::fprintf(stderr, "zm4 machine: the camera change never ran\n");
        std::abort();
    }
}

bool Machine::waitFor(const RequestPtr &request, int64_t limit100ns)
{
    return runUntil([&] { return request->completed(); }, limit100ns);
}

RequestPtr Machine::readFrame(Stream &stream, std::span<uint8_t> buffer, int64_t limit100ns)
{
    RequestPtr read = stream.queueRead(buffer);
    waitFor(read, limit100ns);
    return read;
}

} // namespace zm4::host
