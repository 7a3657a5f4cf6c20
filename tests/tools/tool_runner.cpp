// Runs the built zm4 program in a child process.
#include "tests/tools/tool_runner.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/wait.h>

namespace zm4::cli::testing {

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One shell word: single-quoted, with single quotes inside closed and escaped.
std::string quoted(const std::string &word)
{
    std::string out = "'";
    for (const char c : word)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace

ToolResult runTool(const std::vector<std::string> &args, const std::string &stdinPath)
{
    TempDir capture;
    // exec: the shell becomes the program, so a crash shows as a signal, not as an exit code.
    std::string command = "exec " + quoted(ZM4_TOOL_PATH);
    for (const std::string &arg : args)
        command += " " + quoted(arg);
    command += " <" + quoted(stdinPath) + " >" + quoted(capture.path("stdout")) + " 2>" +
               quoted(capture.path("stderr"));
    const int status = std::system(command.c_str());
    if (status == -1)
        throw std::runtime_error(std::string("cannot start ") + ZM4_TOOL_PATH);
    ToolResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = slurp(capture.path("stdout"));
    result.err = slurp(capture.path("stderr"));
    return result;
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "zm4-tool-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string TempDir::write(const std::string &name, std::span<const uint8_t> bytes) const
{
    writeBytes(path(name), bytes);
    return path(name);
}

std::string TempDir::text(const std::string &name) const
{
    return slurp(path(name));
}

std::vector<uint8_t> readBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::string &path, std::span<const uint8_t> bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

} // namespace zm4::cli::testing
