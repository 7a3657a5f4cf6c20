// Command-line parsing for the zm4 subcommands.
#include "tools/args.h"

#include <algorithm>
#include <sstream>

namespace zm4::cli {

ArgParser::ArgParser(std::string command, std::string synopsis, std::string description)
    : command_(std::move(command)), synopsis_(std::move(synopsis)), description_(std::move(description))
{
}

ArgParser &ArgParser::flag(std::string longName, char shortName, std::string help)
{
    specs_.push_back({std::move(longName), shortName, "", std::move(help)});
    return *this;
}

ArgParser &ArgParser::option(std::string longName, char shortName, std::string valueName, std::string help)
{
    specs_.push_back({std::move(longName), shortName, std::move(valueName), std::move(help)});
    return *this;
}

const ArgParser::Spec *ArgParser::findLong(std::string_view name) const
{
    auto it = std::find_if(specs_.begin(), specs_.end(), [&](const Spec &s) { return s.longName == name; });
    return it == specs_.end() ? nullptr : &*it;
}

const ArgParser::Spec *ArgParser::findShort(char name) const
{
    auto it = std::find_if(specs_.begin(), specs_.end(), [&](const Spec &s) { return s.shortName == name; });
    return it == specs_.end() ? nullptr : &*it;
}

void ArgParser::fail(const std::string &message) const
{
    throw CliError(kExitUsage, command_ + ": " + message + " (see 'zm4 " + command_ + " --help')");
}

bool ArgParser::parse(CommandArgs args)
{
    given_.clear();
    positionals_.clear();
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            // A lone "-" is a positional too (standard input or output by convention).
            positionals_.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h")
            return false;

        const Spec *spec = nullptr;
        std::optional<std::string> attached;
        if (arg[1] == '-') {
            std::string_view body = std::string_view(arg).substr(2);
            size_t eq = body.find('=');
            if (eq != std::string_view::npos) {
                attached = std::string(body.substr(eq + 1));
                body = body.substr(0, eq);
            }
            spec = findLong(body);
            if (!spec)
                fail("unknown option --" + std::string(body));
        } else {
            spec = findShort(arg[1]);
            if (!spec)
                fail("unknown option " + arg.substr(0, 2));
            if (arg.size() > 2)
                attached = arg.substr(2);
        }

        if (spec->valueName.empty()) {
            if (attached)
                fail("option --" + spec->longName + " takes no value");
            given_.emplace_back(spec->longName, "");
        } else if (attached) {
            given_.emplace_back(spec->longName, *attached);
        } else {
            if (i + 1 >= args.size())
                fail("option --" + spec->longName + " needs a value " + spec->valueName);
            given_.emplace_back(spec->longName, args[++i]);
        }
    }
    return true;
}

bool ArgParser::has(std::string_view longName) const
{
    return std::any_of(given_.begin(), given_.end(), [&](const auto &g) { return g.first == longName; });
}

std::optional<std::string> ArgParser::value(std::string_view longName) const
{
    std::vector<std::string> all = values(longName);
    if (all.empty())
        return std::nullopt;
    return all.back();
}

std::vector<std::string> ArgParser::values(std::string_view longName) const
{
    std::vector<std::string> out;
    for (const auto &[name, value] : given_)
        if (name == longName)
            out.push_back(value);
    return out;
}

std::string ArgParser::usage() const
{
    std::ostringstream out;
    out << "Usage: zm4 " << command_ << ' ' << synopsis_ << "\n\nOptions:\n";
    std::vector<std::pair<std::string, std::string>> rows;
    for (const Spec &s : specs_) {
        std::string left = s.shortName ? std::string("-") + s.shortName + ", " : "    ";
        left += "--" + s.longName;
        if (!s.valueName.empty())
            left += ' ' + s.valueName;
        rows.emplace_back(left, s.help);
    }
    rows.emplace_back("-h, --help", "show this help");
    size_t width = 0;
    for (const auto &row : rows)
        width = std::max(width, row.first.size());
    for (const auto &[left, help] : rows)
        out << "  " << left << std::string(width - left.size() + 2, ' ') << help << '\n';
    if (!description_.empty())
        out << '\n' << description_;
    if (!description_.empty() && description_.back() != '\n')
        out << '\n';
    return out.str();
}

} // namespace zm4::cli
