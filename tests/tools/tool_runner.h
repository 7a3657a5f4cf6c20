// Runs the built zm4 program in a child process and collects its exit code,
// standard output and standard error, and gives each test a scratch folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace zm4::cli::testing {

struct ToolResult {
    int exitCode = -1; // -1 when the program did not exit normally (a crash)
    std::string out;
    std::string err;
};

// stdinPath: the file the program reads as standard input (default /dev/null).
ToolResult runTool(const std::vector<std::string> &args, const std::string &stdinPath = "/dev/null");

// A fresh temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    std::string path(const std::string &name) const { return (dir_ / name).string(); }
    // Writes the named file in the folder; returns its path.
    std::string write(const std::string &name, std::span<const uint8_t> bytes) const;
    std::string write(const std::string &name, const std::string &text) const
    {
        return write(name, std::span(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
    }
    std::string text(const std::string &name) const; // the named file's bytes

private:
    std::filesystem::path dir_;
};

std::vector<uint8_t> readBytes(const std::string &path);
void writeBytes(const std::string &path, std::span<const uint8_t> bytes);

} // namespace zm4::cli::testing
