// The camera properties by the names a user types: one row per property of
// the driver's two property sets, with how a typed value becomes the Value and
// Flags of a set request. Ranges and defaults are not here: they come from the
// driver's advertised member lists and its registry table.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/port/port.h"

namespace zm4::cli {

using host::PropertyResult;

// How the Flags of a set request are made from what the user typed.
enum class FlagStyle {
    Plain,     // a number; Flags 2 (manual value)
    AutoGains, // a number (manual, applied: 0x0A), "auto" (0x04) or "manual" (0: automatic off, values kept)
    FrameRate, // a number (manual: 0x02) or "auto" (0x01, the current index kept)
    OnBit,     // a number keeps the on bit (0x04) as it is; "on"/"off" set it, the value kept
    Region,    // as OnBit, always with the apply bit (0x08)
    Raw,       // VALUE or VALUE/FLAGS: the driver's own flag bits, given by the user
};

struct PropertyName {
    std::string_view name;  // snake_case, what get/set take
    std::string_view alias; // a second accepted name, or empty
    bool driverSet;         // false: the video processing amplifier set; true: the driver's own set
    ULONG id;
    FlagStyle style;
    int registryIndex; // the registry value holding its default, or -1
    std::string_view help;
};

std::span<const PropertyName> propertyNames();
// By name or alias (case ignored, '-' taken as '_'); nullptr when unknown.
const PropertyName *findProperty(std::string_view name);
std::vector<std::string> propertyNameList();
const GUID &propertySet(const PropertyName &property);
std::string_view propertySetName(const PropertyName &property);

// A set request's Value and Flags from the typed text and the property's
// current answer; nullopt (with *why) when the text does not fit its style.
struct SetRequest {
    LONG value = 0;
    ULONG flags = 0;
};
std::optional<SetRequest> parseSetValue(const PropertyName &property, std::string_view text,
                                        const PropertyResult &current, std::string *why);

// What the driver advertises for a property in its property sets: the stepped
// range and the default value, when it lists them.
struct Advertised {
    std::optional<LONG> min, max;
    std::optional<ULONG> step;
    std::optional<LONG> defaultValue;
};
Advertised advertised(const PropertyName &property);

} // namespace zm4::cli
