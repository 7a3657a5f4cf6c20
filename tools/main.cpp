// The zm4 tool: finds the subcommand, runs it, and turns its errors into a
// one-line message on standard error and the exit code scripts rely on.
#include <algorithm>
#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "tools/cli.h"

namespace zm4::cli {
namespace {

void printUsage(std::ostream &out)
{
    out << "Usage: zm4 <command> [options]\n\nCommands:\n";
    for (const Command &command : commands())
        out << "  " << command.name << std::string(10 - std::min<size_t>(command.name.size(), 9), ' ')
            << command.summary << '\n';
    out << "\n'zm4 <command> --help' describes a command's options.\n"
           "Exit status: 0 success, 1 I/O error, 2 usage error, 4 a frame failed verification.\n";
}

int run(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        printUsage(std::cerr);
        return kExitUsage;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        printUsage(std::cout);
        return kExitOk;
    }
    for (const Command &command : commands())
        if (command.name == args[0])
            return command.run(CommandArgs(args).subspan(1));
    std::cerr << "zm4: unknown command '" << args[0] << "' (see 'zm4 --help')\n";
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
        std::cerr << "zm4: " << error.what() << '\n';
        return error.code();
    } catch (const std::bad_alloc &) {
        std::cerr << "zm4: out of memory\n";
        return kExitIo;
    } catch (const std::exception &error) {
        std::cerr << "zm4: internal error: " << error.what() << '\n';
        return kExitIo;
    }
}
