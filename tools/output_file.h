// Every file the tool writes goes through here, so that nothing the user did
// not ask to replace is ever deleted or truncated. A regular file (or a name
// that does not exist yet) is written to a temporary file beside it and
// renamed over it on commit(), so a failed run leaves the old file as it was;
// a symbolic link to one keeps the link and has its target replaced that way.
// Anything else (a device, a FIFO, standard output as "-" or /dev/stdout, a
// link to such) is written in place and never unlinked.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zm4::cli {

class OutputFile {
public:
    // Opens for writing; throws CliError(kExitIo) naming the path on failure.
    explicit OutputFile(std::string path);
    // Without commit(): the temporary file goes, the destination is untouched.
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    void write(std::span<const uint8_t> bytes);
    void write(std::string_view text);
    // Flushes and puts the file in place; throws CliError(kExitIo) on failure.
    void commit();
    const std::string &path() const { return path_; }

private:
    std::string path_;        // as the user gave it, for messages
    std::string destination_; // the file renamed over, or empty when written in place
    std::string temporary_;   // the file being written, beside destination_
    int fd_ = -1;
    bool ownsFd_ = true; // false for standard output
};

// Whether `path` is written in place: standard output or another open file
// of this process, a device, a FIFO (or a link to one).
bool writesInPlace(const std::string &path);

// The whole input: standard input for "-", else the file. Throws
// CliError(kExitIo) naming the path when it cannot be read.
std::vector<uint8_t> readInput(const std::string &path);

} // namespace zm4::cli
