#pragma once
// The record of every vendor control transfer the camera saw, with the time
// its caller gave, and its text form, one transfer a line:
//   <ms> <IN|OUT> <bRequest:2 hex> <wValue:4 hex> <wIndex:4 hex> <wLength> [<data hex>] <ok|fail>
// Data is what went to the camera (OUT) or what it answered (IN).

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace zm4::emu {

struct TraceEntry {
    int64_t timeMs = 0;
    bool in = false;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    std::vector<uint8_t> data;
    bool ok = false;
};

std::string formatTraceEntry(const TraceEntry &entry);

class Trace {
public:
    using Sink = std::function<void(const TraceEntry &)>;

    explicit Trace(size_t limit = 1000000) : limit_(limit) {}

    void record(TraceEntry entry);
    // Whether a record would be seen (kept or sunk), so that a caller can
    // spare copying the data of one that would only be counted.
    bool wanted() const { return sink_ || entries_.size() < limit_; }
    // Called for every transfer as it happens, e.g. to write a trace file live.
    void setSink(Sink sink) { sink_ = std::move(sink); }

    const std::vector<TraceEntry> &entries() const { return entries_; }
    // Transfers not kept because the limit was reached (the sink still saw them).
    uint64_t dropped() const { return dropped_; }
    void clear();
    void writeText(std::ostream &out) const;
    std::string text() const;

private:
    size_t limit_;
    uint64_t dropped_ = 0;
    std::vector<TraceEntry> entries_;
    Sink sink_;
};

} // namespace zm4::emu
