// The zm4 tool: parses the command line with CLI11, runs the subcommand, and
// turns errors into a one-line message on standard error and the exit code
// scripts rely on. Unknown names get the nearest valid one suggested.
#include <algorithm>
#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "tools/cli.h"

#ifndef ZM4_VERSION
#define ZM4_VERSION "unknown"
#endif

namespace zm4::cli {
namespace {

std::vector<std::string> commandNames()
{
    std::vector<std::string> names;
    for (const Command &command : commands())
        names.emplace_back(command.name);
    names.emplace_back("help");
    return names;
}

std::vector<std::string> optionNames(const CLI::App &app)
{
    std::vector<std::string> names;
    for (const CLI::Option *option : app.get_options()) {
        for (const std::string &name : option->get_lnames())
            names.push_back("--" + name);
        for (const std::string &name : option->get_snames())
            names.push_back("-" + name);
    }
    return names;
}

// What CLI11 left over: options the command does not have, or arguments it
// takes none of. Throws a usage error that suggests the nearest valid name.
void rejectLeftovers(const CLI::App &app, const CLI::App *command)
{
    const CLI::App &owner = command ? *command : app;
    for (const std::string &arg : owner.remaining()) {
        if (arg == "--")
            continue;
        const bool option = arg.size() > 1 && arg[0] == '-';
        const std::string word = option ? arg.substr(0, arg.find('=')) : arg;
        std::string message;
        std::string near;
        if (!command) {
            message = "unknown command '" + word + "'";
            near = nearestName(word, commandNames());
        } else if (option) {
            message = "unknown option " + word;
            near = nearestName(word, optionNames(*command));
        } else {
            message = "unexpected argument '" + arg + "'";
        }
        if (!near.empty())
            message += "; did you mean '" + near + "'?";
        if (!command)
            throw CliError(kExitUsage, message + " (see 'zm4 --help')");
        throw usageError(command->get_name(), message);
    }
}

int run(int argc, char **argv)
{
    CLI::App app{"Works with the ZM4 microscope camera: its frames, its driver's formats and registry.",
                 "zm4"};
    app.set_version_flag("--version", "zm4 " ZM4_VERSION);
    app.require_subcommand(0, 1);
    app.allow_extras();
    app.footer("'zm4 help COMMAND' or 'zm4 COMMAND --help' describes a command's options.\n"
               "Exit status: 0 success, 1 I/O error, 2 usage error, 4 a frame failed verification.");

    std::vector<std::pair<CLI::App *, std::function<int()>>> runners;
    for (const Command &command : commands()) {
        CLI::App *sub = app.add_subcommand(std::string(command.name), std::string(command.summary));
        sub->allow_extras();
        runners.emplace_back(sub, command.setup(*sub));
    }
    CLI::App *help = app.add_subcommand("help", "describe a command: 'zm4 help COMMAND'");
    std::string helpTopic;
    help->add_option("COMMAND", helpTopic, "the command to describe");

    std::vector<std::string> args(argv + 1, argv + argc);
    // "zm4 help CMD" is "zm4 CMD --help", to the letter; "zm4 help" is "zm4 --help".
    if (!args.empty() && args[0] == "help" && (args.size() == 1 || (args.size() == 2 && args[1] == "help")))
        args = {"--help"};
    const std::vector<std::string> names = commandNames();
    if (args.size() == 2 && args[0] == "help" && args[1] != "help" &&
        std::find(names.begin(), names.end(), args[1]) != names.end())
        args = {args[1], "--help"};
    std::reverse(args.begin(), args.end()); // CLI11 takes the arguments last first
    try {
        app.parse(args);
    } catch (const CLI::Success &done) { // --help, --version
        return app.exit(done);
    } catch (const CLI::ParseError &error) {
        const std::vector<CLI::App *> parsed = app.get_subcommands();
        const std::string where = parsed.empty() ? "" : parsed.front()->get_name() + ": ";
        const std::string see =
            parsed.empty() ? "zm4 --help" : "zm4 " + parsed.front()->get_name() + " --help";
        throw CliError(kExitUsage, where + error.what() + " (see '" + see + "')");
    }

    const std::vector<CLI::App *> parsed = app.get_subcommands();
    if (parsed.empty()) {
        rejectLeftovers(app, nullptr);
        std::cerr << app.help();
        return kExitUsage;
    }
    if (parsed.front() == help) {
        std::string message = "help: unknown command '" + helpTopic + "'";
        if (std::string near = nearestName(helpTopic, commandNames()); !near.empty())
            message += "; did you mean '" + near + "'?";
        throw CliError(kExitUsage, message + " (see 'zm4 --help')");
    }
    rejectLeftovers(app, parsed.front());
    for (const auto &[sub, runner] : runners)
        if (sub == parsed.front())
            return runner();
    return kExitUsage;
}

} // namespace
} // namespace zm4::cli

int main(int argc, char **argv)
{
    using namespace zm4::cli;
    try {
        return run(argc, argv);
    } catch (const CliError &error) {
        std::cout.flush();
        std::cerr << "zm4: " << printable(error.what()) << '\n';
        return error.code();
    } catch (const std::bad_alloc &) {
        std::cerr << "zm4: out of memory\n";
        return kExitIo;
    } catch (const std::exception &error) {
        std::cerr << "zm4: internal error: " << printable(error.what()) << '\n';
        return kExitIo;
    }
}
