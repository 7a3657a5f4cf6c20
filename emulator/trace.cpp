// Control transfer trace.

#include "emulator/trace.h"

#include <cstdio>
#include <sstream>

namespace zm4::emu {

std::string formatTraceEntry(const TraceEntry &entry)
{
    char head[64];
    std::snprintf(head, sizeof(head), "%lld %s %02X %04X %04X %u", static_cast<long long>(entry.timeMs),
                  entry.in ? "IN" : "OUT", entry.request, entry.value, entry.index, unsigned(entry.length));
    std::string line = head;
    if (!entry.data.empty()) {
        line += ' ';
        static const char kHex[] = "0123456789ABCDEF";
        for (uint8_t byte : entry.data) {
            line += kHex[byte >> 4];
            line += kHex[byte & 0x0F];
        }
    }
    line += entry.ok ? " ok" : " fail";
    return line;
}

void Trace::record(TraceEntry entry)
{
    if (sink_)
        sink_(entry);
    if (entries_.size() >= limit_) {
        ++dropped_;
        return;
    }
    entries_.push_back(std::move(entry));
}

void Trace::clear()
{
    entries_.clear();
    dropped_ = 0;
}

void Trace::writeText(std::ostream &out) const
{
    for (const TraceEntry &entry : entries_)
        out << formatTraceEntry(entry) << '\n';
}

std::string Trace::text() const
{
    std::ostringstream out;
    writeText(out);
    return out.str();
}

} // namespace zm4::emu
