// The camera properties by name, and what the driver advertises about them.
#include "tools/properties.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

#include "driver/stream_data.h"
#include "settings/propman.h"
#include "settings/registry.h"

namespace zm4::cli {

namespace {

using enum FlagStyle;

// The rows follow the property ids of each set.
const std::array<PropertyName, 33> kProperties = {{
    {"brightness", "", false, PROPMAN_VPA_BRIGHTNESS, Plain, REG_BRIGHTNESS, "picture brightness"},
    {"contrast", "", false, PROPMAN_VPA_CONTRAST, Plain, REG_CONTRAST, "picture contrast"},
    {"saturation", "", false, PROPMAN_VPA_SATURATION, Plain, REG_SATURATION, "colour saturation"},
    {"compression_quality", "compression_conf", true, PROPMAN_LUM_COMPRESSION_CONF, OnBit, REG_CONF_VALUE,
     "compression by quality (on: this mode in use)"},
    {"compression_cap", "", true, PROPMAN_LUM_COMPRESSION_CAP, OnBit, REG_CAP_VALUE,
     "compression by size cap (on: this mode in use)"},
    {"frame_rate", "framerate", true, PROPMAN_LUM_FRAME_RATE, FrameRate, REG_FRAMERATE,
     "frame-rate index 1 (fastest) to 5, or auto"},
    {"backlight_compensation", "backlit", true, PROPMAN_LUM_BACKLIT, OnBit, REG_BACKLIT,
     "backlight compensation (on/off)"},
    {"power_line_frequency", "flicker", true, PROPMAN_LUM_FLICKER, OnBit, REG_FLICKER_MAINS,
     "flicker avoidance (on/off); value: mains selector 0 or 1"},
    {"sensor_version", "", true, PROPMAN_LUM_SENSOR, Plain, -1, "sensor version"},
    {"firmware_version", "", true, PROPMAN_LUM_FIRMWARE, Plain, -1, "firmware version"},
    {"bandwidth", "alternate_setting", true, PROPMAN_LUM_BANDWIDTH, Plain, REG_BANDWIDTH,
     "USB alternate setting in use or selectable"},
    {"push_button", "", true, PROPMAN_LUM_PUSH_BUTTON, OnBit, -1, "latched button press (on: checking)"},
    {"region_left", "pan", true, PROPMAN_LUM_PAN_TILT_OFF_LEFT, Region, -1,
     "region left offset (on: enabled)"},
    {"region_top", "tilt", true, PROPMAN_LUM_PAN_TILT_OFF_TOP, Region, -1, "region top offset (on: enabled)"},
    {"region_right", "", true, PROPMAN_LUM_PAN_TILT_OFF_RIGHT, Plain, -1, "region right edge"},
    {"region_bottom", "", true, PROPMAN_LUM_PAN_TILT_OFF_BOTTOM, Plain, -1, "region bottom edge"},
    {"exposure_coarse", "exposure", true, PROPMAN_LUM_EXP_COARSE, AutoGains, REG_EXP_COARSE,
     "exposure time, coarse steps (auto/manual)"},
    {"exposure_fine", "", true, PROPMAN_LUM_EXP_FINE, AutoGains, REG_EXP_FINE, "exposure time, fine steps"},
    {"exposure_gain", "gain", true, PROPMAN_LUM_EXP_GAIN, AutoGains, REG_EXP_GAIN, "exposure gain"},
    {"white_balance_red", "acb_red", true, PROPMAN_LUM_ACB_RED, AutoGains, REG_ACB_GAIN_R,
     "colour balance red gain (auto/manual)"},
    {"white_balance_green", "acb_green", true, PROPMAN_LUM_ACB_GREEN, AutoGains, REG_ACB_GAIN_G,
     "colour balance green gain"},
    {"white_balance_blue", "acb_blue", true, PROPMAN_LUM_ACB_BLUE, AutoGains, REG_ACB_GAIN_B,
     "colour balance blue gain"},
    {"gpio", "", true, PROPMAN_LUM_GPIO, Plain, -1, "camera general-purpose port"},
    {"serial", "", true, PROPMAN_LUM_SERIAL, Raw, -1, "camera serial port: VALUE/FLAGS"},
    {"base_comp_r", "", true, PROPMAN_LUM_BASE_COMP_R, Plain, REG_COMP_R, "base compensation R"},
    {"base_comp_g1", "", true, PROPMAN_LUM_BASE_COMP_G1, Plain, REG_COMP_G1, "base compensation G1"},
    {"base_comp_g2", "", true, PROPMAN_LUM_BASE_COMP_G2, Plain, REG_COMP_G2, "base compensation G2"},
    {"base_comp_b", "", true, PROPMAN_LUM_BASE_COMP_B, Plain, REG_COMP_B, "base compensation B"},
    {"matrix_row1", "", true, PROPMAN_LUM_MATRIX_ROW1, Plain, -1, "colour matrix row 1 (sent with row 3)"},
    {"matrix_row2", "", true, PROPMAN_LUM_MATRIX_ROW2, Plain, -1, "colour matrix row 2 (sent with row 3)"},
    {"matrix_row3", "", true, PROPMAN_LUM_MATRIX_ROW3, Plain, -1, "colour matrix row 3"},
    {"gain_ceiling", "", true, PROPMAN_LUM_GAIN_CEILING, Plain, -1, "automatic gain ceiling"},
    {"push_button_state", "", true, PROPMAN_LUM_PUSH_BUTTON_CURRENT_STATE, Plain, -1, "live button state"},
}};

std::string normalised(std::string_view name)
{
    std::string text(name);
    for (char &c : text)
        c = c == '-' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::optional<LONG> parseLong(std::string_view text)
{
    LONG value = 0;
    int base = 10;
    bool negative = false;
    if (text.starts_with('-')) {
        negative = true;
        text.remove_prefix(1);
    }
    if (text.starts_with("0x") || text.starts_with("0X")) {
        base = 16;
        text.remove_prefix(2);
    }
    // Hexadecimal takes the whole 32 bits (matrix rows are packed bytes).
    uint32_t magnitude = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    if (base == 10 && magnitude > (negative ? 0x80000000u : 0x7FFFFFFFu))
        return std::nullopt;
    value = static_cast<LONG>(negative ? 0u - magnitude : magnitude);
    return value;
}

} // namespace

std::span<const PropertyName> propertyNames()
{
    return kProperties;
}

const PropertyName *findProperty(std::string_view name)
{
    const std::string wanted = normalised(name);
    for (const PropertyName &p : kProperties)
        if (wanted == p.name || (!p.alias.empty() && wanted == p.alias))
            return &p;
    return nullptr;
}

std::vector<std::string> propertyNameList()
{
    std::vector<std::string> names;
    for (const PropertyName &p : kProperties) {
        names.emplace_back(p.name);
        if (!p.alias.empty())
            names.emplace_back(p.alias);
    }
    return names;
}

const GUID &propertySet(const PropertyName &property)
{
    return property.driverSet ? PROPSETID_LUMPROP : PROPSETID_VIDCAP_VIDEOPROCAMP;
}

std::string_view propertySetName(const PropertyName &property)
{
    return property.driverSet ? "camera" : "procamp";
}

std::optional<SetRequest> parseSetValue(const PropertyName &property, std::string_view text,
                                        const PropertyResult &current, std::string *why)
{
    const std::string word = normalised(text);
    const std::optional<LONG> number = parseLong(text);
    SetRequest request{current.value, 0};
    switch (property.style) {
    case Plain:
        if (number) {
            request = {*number, PROPMAN_FLAG_MANUAL};
            return request;
        }
        *why = "expected a number";
        return std::nullopt;
    case AutoGains:
        if (word == "auto")
            request.flags = PROPMAN_FLAG_ON;
        else if (word == "manual")
            request.flags = 0;
        else if (number)
            request = {*number, PROPMAN_FLAG_MANUAL | PROPMAN_FLAG_APPLY};
        else
            break;
        return request;
    case FrameRate:
        if (word == "auto")
            request.flags = PROPMAN_FLAG_AUTO;
        else if (number)
            request = {*number, PROPMAN_FLAG_MANUAL};
        else
            break;
        return request;
    case OnBit:
    case Region: {
        const ULONG apply = property.style == Region ? PROPMAN_FLAG_APPLY : 0;
        if (word == "on" || word == "off")
            request.flags = (word == "on" ? PROPMAN_FLAG_ON : 0) | apply;
        else if (number)
            request = {*number, (current.flags & PROPMAN_FLAG_ON) | apply};
        else
            break;
        return request;
    }
    case Raw: {
        const size_t slash = text.find('/');
        const std::optional<LONG> value = parseLong(text.substr(0, slash));
        const std::optional<LONG> flags =
            slash == std::string_view::npos ? std::optional<LONG>(0) : parseLong(text.substr(slash + 1));
        if (value && flags) {
            request = {*value, static_cast<ULONG>(*flags)};
            return request;
        }
        *why = "expected VALUE or VALUE/FLAGS";
        return std::nullopt;
    }
    }
    *why = property.style == FrameRate   ? "expected a number or 'auto'"
           : property.style == AutoGains ? "expected a number, 'auto' or 'manual'"
                                         : "expected a number, 'on' or 'off'";
    return std::nullopt;
}

Advertised advertised(const PropertyName &property)
{
    Advertised result;
    const KSPROPERTY_SET *sets = StreamData_GetPropertyTablePtr();
    for (ULONG s = 0; s < StreamData_GetPropertyTableCount(); ++s) {
        if (!IsEqualGUID(*sets[s].Set, propertySet(property)))
            continue;
        for (ULONG i = 0; i < sets[s].PropertiesCount; ++i) {
            const KSPROPERTY_ITEM &item = sets[s].PropertyItem[i];
            if (item.PropertyId != property.id || item.Values == nullptr)
                continue;
            for (ULONG m = 0; m < item.Values->MembersListCount; ++m) {
                const KSPROPERTY_MEMBERSLIST &list = item.Values->MembersList[m];
                const KSPROPERTY_MEMBERSHEADER &header = list.MembersHeader;
                if (header.MembersCount == 0 || list.Members == nullptr)
                    continue;
                if (header.MembersFlags == KSPROPERTY_MEMBER_RANGES &&
                    header.MembersSize >= sizeof(KSPROPERTY_STEPPING_LONG)) {
                    const auto *stepping = static_cast<const KSPROPERTY_STEPPING_LONG *>(list.Members);
                    result.min = stepping->Bounds.SignedMinimum;
                    result.max = stepping->Bounds.SignedMaximum;
                    result.step = stepping->SteppingDelta;
                } else if (header.MembersFlags == KSPROPERTY_MEMBER_VALUES &&
                           (header.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT) &&
                           header.MembersSize >= sizeof(LONG)) {
                    result.defaultValue = *static_cast<const LONG *>(list.Members);
                }
            }
        }
    }
    // The driver's own set advertises no members: its defaults are those of
    // the registry values the settings load from.
    if (!result.defaultValue && property.registryIndex >= 0)
        result.defaultValue =
            static_cast<LONG>(Registry_Table[static_cast<ULONG>(property.registryIndex)].defaultValue);
    return result;
}

} // namespace zm4::cli
