// zm4 controls, get and set: the camera's properties through the driver's
// property requests on a running camera, so that every value is the one the
// driver answers and every change goes through its handlers and persists as
// it persists them (saved to the registry when the camera stops).
#include <iostream>
#include <nlohmann/json.hpp>

#include "driver/stream_data.h"
#include "settings/propman.h"
#include "tools/camera_session.h"
#include "tools/cli.h"

namespace zm4::cli {

namespace {

// The modes a property's flags report, in words.
std::string modeText(const PropertyName &p, const PropertyResult &r)
{
    switch (p.style) {
    case FlagStyle::AutoGains:
        return r.flags & PROPMAN_FLAG_ON ? "auto" : "manual";
    case FlagStyle::FrameRate:
        return r.flags & PROPMAN_FLAG_AUTO ? "auto" : "manual";
    case FlagStyle::OnBit:
    case FlagStyle::Region:
        return r.flags & PROPMAN_FLAG_ON ? "on" : "off";
    default:
        return "";
    }
}

bool readOnly(const PropertyResult &r)
{
    return (r.flags | r.capabilities) & PROPMAN_FLAG_READ_ONLY;
}

std::string hex8(ULONG value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
    return text;
}

nlohmann::ordered_json controlJson(const PropertyName &p, const PropertyResult &r)
{
    const Advertised a = advertised(p);
    nlohmann::ordered_json j{{"name", p.name}, {"set", propertySetName(p)}, {"id", p.id}, {"type", "int"}};
    if (a.min) {
        j["min"] = *a.min;
        j["max"] = *a.max;
        j["step"] = *a.step;
    }
    j["default"] = a.defaultValue ? nlohmann::ordered_json(*a.defaultValue) : nlohmann::ordered_json();
    j["value"] = r.value;
    j["flags"] = r.flags;
    j["capabilities"] = r.capabilities;
    if (std::string mode = modeText(p, r); !mode.empty())
        j["mode"] = mode;
    j["readOnly"] = readOnly(r);
    return j;
}

// One line as 'v4l2-ctl --list-ctrls' has them.
std::string controlLine(const PropertyName &p, const PropertyResult &r)
{
    const Advertised a = advertised(p);
    std::string name(p.name);
    std::string line = std::string(name.size() < 24 ? 24 - name.size() : 0, ' ') + name + " " +
                       hex8((p.driverSet ? 0x100u : 0u) + p.id) + " (" + std::string(propertySetName(p)) +
                       " int)";
    line += std::string(line.size() < 48 ? 48 - line.size() : 1, ' ') + ":";
    if (a.min)
        line += " min=" + std::to_string(*a.min) + " max=" + std::to_string(*a.max) +
                " step=" + std::to_string(*a.step);
    if (a.defaultValue)
        line += " default=" + std::to_string(*a.defaultValue);
    line += " value=" + std::to_string(r.value);
    if (std::string mode = modeText(p, r); !mode.empty())
        line += " mode=" + mode;
    if (readOnly(r))
        line += " flags=read-only";
    return line;
}

struct ControlsOptions {
    SessionOptions session;
    std::vector<std::string> names;
    bool json = false;
};

int runControls(const ControlsOptions &o)
{
    CameraSession session(o.session, "controls", host::Clock::Simulated);
    session.start(STREAM_FORMAT_I420, 176, 144);
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    std::string text;
    std::string_view lastSet;
    for (const PropertyName &p : propertyNames()) {
        const PropertyResult r = session.get(p);
        if (o.json) {
            all.push_back(controlJson(p, r));
            continue;
        }
        if (propertySetName(p) != lastSet) {
            lastSet = propertySetName(p);
            text += p.driverSet ? "\nCamera controls (the driver's own set)\n\n"
                                : "User controls (video processing amplifier)\n\n";
        }
        text += controlLine(p, r) + "\n";
    }
    session.finish();
    std::cout << (o.json ? all.dump(2) + "\n" : text);
    return kExitOk;
}

int runGet(const ControlsOptions &o)
{
    if (o.names.empty())
        throw usageError("get", "no property named ('zm4 controls' lists them)");
    std::vector<const PropertyName *> wanted;
    for (const std::string &name : o.names)
        wanted.push_back(&propertyOrThrow(name, "get"));
    CameraSession session(o.session, "get", host::Clock::Simulated);
    session.start(STREAM_FORMAT_I420, 176, 144);
    nlohmann::ordered_json all = nlohmann::ordered_json::object();
    std::string text;
    for (const PropertyName *p : wanted) {
        const PropertyResult r = session.get(*p);
        all[std::string(p->name)] = controlJson(*p, r);
        const std::string mode = modeText(*p, r);
        text += std::string(p->name) + ": " + std::to_string(r.value) +
                (mode.empty() ? "" : " (" + mode + ")") + "\n";
    }
    session.finish();
    std::cout << (o.json ? all.dump(2) + "\n" : text);
    return kExitOk;
}

int runSet(const ControlsOptions &o)
{
    if (o.names.empty())
        throw usageError("set", "nothing to set: give NAME=VALUE ('zm4 controls' lists the names)");
    for (const std::string &assignment : o.names) {
        const size_t eq = assignment.find('=');
        if (eq == std::string::npos || eq + 1 == assignment.size())
            throw usageError("set", "expected NAME=VALUE, not '" + assignment + "'");
        propertyOrThrow(std::string_view(assignment).substr(0, eq), "set");
    }
    CameraSession session(o.session, "set", host::Clock::Simulated);
    session.start(STREAM_FORMAT_I420, 176, 144);
    std::string text;
    for (const std::string &assignment : o.names) {
        session.set(assignment);
        const PropertyName &p = *findProperty(std::string_view(assignment).substr(0, assignment.find('=')));
        const PropertyResult r = session.get(p);
        const std::string mode = modeText(p, r);
        text += std::string(p.name) + ": " + std::to_string(r.value) +
                (mode.empty() ? "" : " (" + mode + ")") + "\n";
    }
    // Stopping the camera saves the settings to the registry.
    session.finish();
    std::cout << text;
    return kExitOk;
}

std::function<int()> setup(CLI::App &cmd, int (*run)(const ControlsOptions &), const char *positional,
                           const char *footer)
{
    auto o = std::make_shared<ControlsOptions>();
    addSessionOptions(cmd, o->session, false);
    if (positional)
        cmd.add_option(positional, o->names, "property names (see 'zm4 controls')");
    if (run != runSet)
        cmd.add_flag("--json", o->json, "print JSON");
    cmd.footer(footer);
    return [o, run] { return run(*o); };
}

} // namespace

std::function<int()> setupControls(CLI::App &cmd)
{
    return setup(cmd, runControls, nullptr,
                 "Starts the emulated camera through the driver and lists every property of its two\n"
                 "sets, as the driver answers them: name, id (0x100 + id for the driver's own set), the\n"
                 "advertised range and step, the default (advertised, or the registry value's default),\n"
                 "the current value, the mode (auto/manual, on/off) where it has one, and read-only ones.");
}

std::function<int()> setupGet(CLI::App &cmd)
{
    return setup(cmd, runGet, "NAME",
                 "Reads properties through the driver on a started camera, which loads its settings\n"
                 "from the registry file (--registry PATH, else $ZM4_REGISTRY, else ~/.config/zm4/).");
}

std::function<int()> setupSet(CLI::App &cmd)
{
    return setup(cmd, runSet, "NAME=VALUE",
                 "Sets properties through the driver on a started camera and prints each as read back.\n"
                 "Values: a number; 'auto' or 'manual' for exposure and colour balance gains; 'auto'\n"
                 "for frame_rate; 'on' or 'off' for those with an on/off mode; serial takes VALUE/FLAGS.\n"
                 "The driver saves its settings to the registry file when the camera stops, so the\n"
                 "values persist for the next run. Exposure and colour gains under automatic control\n"
                 "are saved as the camera left them.");
}

} // namespace zm4::cli
