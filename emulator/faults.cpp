// Fault switches and their text form, driven by one table of fault names.

#include "emulator/faults.h"

#include <array>
#include <charconv>
#include <cstdlib>
#include <vector>

namespace zm4::emu {

bool FaultSwitch::fire(std::mt19937_64 &rng)
{
    if (!on || count == 0)
        return false;
    if (p < 1.0) {
        std::uniform_real_distribution<double> draw(0.0, 1.0);
        if (draw(rng) >= p)
            return false;
    }
    if (count > 0 && --count == 0)
        on = false;
    return true;
}

namespace {

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == text.npos ? text.npos : end - start));
        if (end == text.npos)
            return parts;
        start = end + 1;
    }
}

bool parseInteger(std::string_view text, int64_t min, int64_t max, int64_t &out)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size() && out >= min && out <= max;
}

bool parseProbability(std::string_view text, double &out)
{
    // from_chars for doubles is not in every library this builds with.
    const std::string copy(text);
    char *end = nullptr;
    out = std::strtod(copy.c_str(), &end);
    return !copy.empty() && end == copy.c_str() + copy.size() && out >= 0.0 && out <= 1.0;
}

// One parameter: its key ("" for the VALUE after the name), the message for a
// bad value, and what it sets. `sw` is the fault's switch, or null.
struct Param {
    std::string_view key;
    std::string_view error;
    bool (*set)(std::string_view value, Faults &faults, FaultSwitch *sw);
};

bool setCount(std::string_view value, Faults &, FaultSwitch *sw)
{
    return parseInteger(value, 1, INT64_MAX, sw->count);
}

bool setProbability(std::string_view value, Faults &, FaultSwitch *sw)
{
    return parseProbability(value, sw->p);
}

// A switch's VALUE: a whole number counts firings, a decimal is a probability.
bool setCountOrProbability(std::string_view value, Faults &faults, FaultSwitch *sw)
{
    if (value.find('.') != value.npos)
        return setProbability(value, faults, sw);
    return setCount(value, faults, sw);
}

bool setSeed(std::string_view value, Faults &faults, FaultSwitch *)
{
    int64_t seed = 0;
    if (!parseInteger(value, 0, INT64_MAX, seed))
        return false;
    faults.seed = static_cast<uint64_t>(seed);
    return true;
}

bool setStatusBits(std::string_view value, Faults &faults, FaultSwitch *)
{
    int64_t bits = 0;
    if (!parseInteger(value, 1, 0xFF, bits))
        return false;
    faults.statusErrorBits = static_cast<uint8_t>(bits);
    return true;
}

bool setCorruption(std::string_view value, Faults &faults, FaultSwitch *)
{
    static constexpr std::pair<std::string_view, Corruption> kKinds[] = {
        {"linelength", Corruption::kLineLength},
        {"eol", Corruption::kEndOfLine},
        {"eof", Corruption::kEndOfFrame},
        {"magic", Corruption::kMagic},
    };
    for (const auto &[name, kind] : kKinds) {
        if (value == name) {
            faults.corruption = kind;
            return true;
        }
    }
    return false;
}

bool setCorruptLine(std::string_view value, Faults &faults, FaultSwitch *)
{
    int64_t line = 0;
    if (!parseInteger(value, 0, 287, line))
        return false;
    faults.corruptLine = static_cast<int>(line);
    return true;
}

bool setMagicOffset(std::string_view value, Faults &faults, FaultSwitch *)
{
    int64_t offset = 0;
    if (!parseInteger(value, 1, 1000, offset))
        return false;
    faults.magicOffset = static_cast<int>(offset);
    return true;
}

bool setRefusedAlternate(std::string_view value, Faults &faults, FaultSwitch *)
{
    int64_t alternate = 0;
    if (!parseInteger(value, 0, 3, alternate))
        return false;
    faults.refusedAlternates = static_cast<uint8_t>(faults.refusedAlternates | (1u << alternate));
    return true;
}

bool setShortBytes(std::string_view value, Faults &faults, FaultSwitch *)
{
    int64_t bytes = 0;
    if (!parseInteger(value, 1, 1023, bytes))
        return false;
    faults.isoShortBytes = static_cast<int>(bytes);
    return true;
}

bool setFirmware(std::string_view value, Faults &faults, FaultSwitch *)
{
    int64_t version = 0;
    if (!parseInteger(value, 0, 0xFFFF, version))
        return false;
    faults.versionFirmware = static_cast<uint16_t>(version);
    return true;
}

bool setVersionByte2(std::string_view value, Faults &faults, FaultSwitch *)
{
    int64_t byte = 0;
    if (!parseInteger(value, 0, 0xFF, byte))
        return false;
    faults.versionByte2 = static_cast<uint8_t>(byte);
    return true;
}

bool setVpVersionByte2(std::string_view value, Faults &faults, FaultSwitch *)
{
    int64_t byte = 0;
    if (!parseInteger(value, 0, 0xFF, byte))
        return false;
    faults.vpVersionByte2 = static_cast<uint8_t>(byte);
    return true;
}

bool setDisconnectAfter(std::string_view value, Faults &faults, FaultSwitch *)
{
    return parseInteger(value, 0, INT64_MAX, faults.disconnectAfter);
}

bool setSlowMs(std::string_view value, Faults &faults, FaultSwitch *)
{
    int64_t ms = 0;
    if (!parseInteger(value, 0, 60000, ms))
        return false;
    faults.slowCtrlMs = static_cast<int>(ms);
    return true;
}

constexpr Param kCountOrP{"", "VALUE must be a count of at least 1 or a probability from 0.0 to 1.0",
                          setCountOrProbability};
constexpr Param kNone{};

struct FaultKind {
    FaultInfo info;
    FaultSwitch Faults::*sw; // null for the faults that are not switches
    Param value;
    std::array<Param, 3> keys;
    // For the faults that are not switches: switches them on or off.
    void (*turn)(Faults &faults, bool on);
};

const FaultKind kFaults[] = {
    {{"noanswer", "[COUNT|P]", "", "reads come back as eight 0xFF bytes, writes do nothing"},
     &Faults::noAnswer,
     kCountOrP,
     {},
     nullptr},
    {{"ctrlfail", "[COUNT|P]", "", "control transfers fail"}, &Faults::ctrlFail, kCountOrP, {}, nullptr},
    {{"halt-on-write", "[COUNT|P]", "", "writes with a data stage stall the endpoint"},
     &Faults::haltOnWrite,
     kCountOrP,
     {},
     nullptr},
    {{"status-error", "[BITS]", "", "every command sets BITS (default 0x04) in the camera's error byte"},
     &Faults::statusError,
     {"", "BITS must be 1 to 0xFF", setStatusBits},
     {Param{"bits", "bits must be 1 to 0xFF", setStatusBits}},
     nullptr},
    {{"isoerror", "[COUNT|P]", "", "isochronous packets arrive damaged"},
     &Faults::isoError,
     kCountOrP,
     {},
     nullptr},
    {{"isofail", "[COUNT|P]", "", "whole isochronous requests fail"},
     &Faults::isoFail,
     kCountOrP,
     {},
     nullptr},
    {{"stall", "[COUNT|P]", "", "the isochronous endpoint sends nothing"},
     &Faults::stall,
     kCountOrP,
     {},
     nullptr},
    {{"isodrop", "[COUNT|P]", "", "isochronous packets are lost on the way: the host sees an empty slot"},
     &Faults::isoDrop,
     kCountOrP,
     {},
     nullptr},
    {{"isoshort", "[COUNT|P]", "bytes=N",
      "isochronous packets lose their last N bytes (default 1) on the way"},
     &Faults::isoShort,
     kCountOrP,
     {Param{"bytes", "bytes must be 1 to 1023", setShortBytes}},
     nullptr},
    {{"corrupt", "[linelength|eol|eof|magic]", "line=N, offset=N",
      "frames leave the camera damaged: a line too long, a wrong end-of-line marker (line N, else the "
      "middle one), no end-of-frame marker, or N junk bytes (default 10) before the magic"},
     &Faults::corrupt,
     {"", "VALUE is one of linelength, eol, eof, magic", setCorruption},
     {Param{"line", "line must be 0 to 287", setCorruptLine},
      Param{"offset", "offset must be 1 to 1000", setMagicOffset}},
     nullptr},
    {{"refuse-alt", "N", "", "the camera refuses alternate setting N (0 to 3)"},
     nullptr,
     {"", "the alternate settings are 0 to 3", setRefusedAlternate},
     {},
     [](Faults &faults, bool on) {
         if (!on)
             faults.refusedAlternates = 0;
     }},
    {{"slowctrl", "[MS]", "ms=MS", "control transfers take MS milliseconds (default 1500, at most 60000)"},
     &Faults::slowCtrl,
     {"", "MS must be 0 to 60000", setSlowMs},
     {Param{"ms", "ms must be 0 to 60000", setSlowMs}},
     nullptr},
    {{"version", "[COUNT|P]", "fw=N, byte2=B, vp=B",
      "version replies report firmware N (default 0x0100), version byte 2 B (default 1: no status "
      "reporting) and VP version byte 2 B (default 4: the 612 sensor)"},
     &Faults::version,
     kCountOrP,
     {Param{"fw", "fw must be 0 to 0xFFFF", setFirmware},
      Param{"byte2", "byte2 must be 0 to 0xFF", setVersionByte2},
      Param{"vp", "vp must be 0 to 0xFF", setVpVersionByte2}},
     nullptr},
    {{"disconnect", "", "after=N", "the camera leaves the bus, now or after answering N more requests"},
     nullptr,
     kNone,
     {Param{"after", "after must be a whole number", setDisconnectAfter}},
     [](Faults &faults, bool on) {
         // With a countdown the camera stays until it runs out.
         faults.disconnect = on && faults.disconnectAfter < 0;
         if (!on)
             faults.disconnectAfter = -1;
     }},
};

// The keys every switch takes.
constexpr Param kSwitchKeys[] = {
    {"count", "count must be a whole number of at least 1", setCount},
    {"p", "p must lie between 0 and 1", setProbability},
};
constexpr Param kSeed{"seed", "seed must be a whole number", setSeed};

const FaultKind *findFault(std::string_view name)
{
    for (const FaultKind &kind : kFaults)
        if (kind.info.name == name)
            return &kind;
    return nullptr;
}

const Param *findKey(const FaultKind &kind, std::string_view key)
{
    if (key == kSeed.key)
        return &kSeed;
    for (const Param &param : kind.keys)
        if (param.set && param.key == key)
            return &param;
    if (kind.sw)
        for (const Param &param : kSwitchKeys)
            if (param.key == key)
                return &param;
    return nullptr;
}

} // namespace

std::span<const FaultInfo> faultTable()
{
    static const auto kInfos = [] {
        std::array<FaultInfo, std::size(kFaults)> infos;
        for (size_t i = 0; i < infos.size(); ++i)
            infos[i] = kFaults[i].info;
        return infos;
    }();
    return kInfos;
}

bool parseFault(std::string_view spec, Faults &faults, std::string *error)
{
    auto fail = [&](std::string_view message) {
        if (error)
            *error = "fault '" + std::string(spec) + "': " + std::string(message);
        return false;
    };

    const size_t separator = spec.find_first_of(":=");
    const FaultKind *kind = findFault(spec.substr(0, separator));
    if (!kind)
        return fail("unknown fault name");
    std::vector<std::string_view> args;
    if (separator != spec.npos)
        args = split(spec.substr(separator + 1), ',');

    Faults result = faults;
    FaultSwitch *sw = kind->sw ? &(result.*(kind->sw)) : nullptr;
    if (sw)
        *sw = FaultSwitch{true, 1.0, -1};
    bool off = false;
    bool valueSeen = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        const size_t eq = arg.find('=');
        if (arg.empty())
            return fail("empty argument");
        if (i == 0 && arg == "off") {
            off = true;
            continue;
        }
        const Param *param = nullptr;
        std::string_view value = arg;
        if (eq != arg.npos) {
            param = findKey(*kind, arg.substr(0, eq));
            value = arg.substr(eq + 1);
        } else if (i == 0 && kind->value.set) {
            param = &kind->value;
            valueSeen = true;
        }
        if (!param)
            return fail("unexpected argument '" + std::string(arg) + "'");
        if (!param->set(value, result, sw))
            return fail(param->error);
    }
    if (kind->value.set && !kind->sw && !valueSeen && !off)
        return fail("name the value, e.g. " + std::string(kind->info.name) + "=" +
                    std::string(kind->info.value));

    if (sw && off)
        sw->on = false;
    if (kind->turn)
        kind->turn(result, !off);
    faults = result;
    return true;
}

bool parseFaults(std::string_view specs, Faults &faults, std::string *error)
{
    Faults result = faults;
    for (std::string_view spec : split(specs, ';'))
        if (!spec.empty() && !parseFault(spec, result, error))
            return false;
    faults = result;
    return true;
}

bool parseTimedFault(std::string_view text, TimedFault &out, std::string *error)
{
    TimedFault result;
    const size_t at = text.rfind('@');
    result.spec = std::string(text.substr(0, at));
    if (at != text.npos) {
        std::string_view time = text.substr(at + 1);
        int64_t scale = 1;
        if (time.ends_with("ms")) {
            time.remove_suffix(2);
        } else if (time.ends_with("s")) {
            time.remove_suffix(1);
            scale = 1000;
        }
        if (!parseInteger(time, 0, INT64_MAX / 1000, result.atMs)) {
            if (error)
                *error = "fault '" + std::string(text) +
                         "': TIME must be whole milliseconds or seconds, "
                         "e.g. @1500 or @2s";
            return false;
        }
        result.atMs *= scale;
    }
    Faults scratch;
    if (!parseFault(result.spec, scratch, error))
        return false;
    out = std::move(result);
    return true;
}

} // namespace zm4::emu
