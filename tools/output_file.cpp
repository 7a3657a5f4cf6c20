// Output files that never destroy what they were not asked to replace.
#include "tools/output_file.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/cli.h"
#include "tools/frame_check.h"

namespace zm4::cli {

namespace {

[[noreturn]] void failIo(const std::string &path, int error)
{
    throw CliError(kExitIo, path + ": " + std::strerror(error));
}

// The descriptor a name stands for when it is one of this process's own open
// files ("-", /dev/stdout, /dev/fd/N): written through as it is, so that a
// shell's redirection (even ">>") keeps its meaning. -1 for other names.
int ownDescriptor(const std::string &path)
{
    if (path == "-" || path == "/dev/stdout")
        return STDOUT_FILENO;
    if (path == "/dev/stderr")
        return STDERR_FILENO;
    for (std::string_view prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        if (path.starts_with(prefix)) {
            int fd = -1;
            const char *first = path.data() + prefix.size();
            const char *last = path.data() + path.size();
            auto [end, ec] = std::from_chars(first, last, fd);
            if (ec == std::errc() && end == last && first != last)
                return fd;
        }
    }
    return -1;
}

// Follows symbolic links to the name that is not one (it may not exist).
std::filesystem::path finalTarget(const std::filesystem::path &path)
{
    std::filesystem::path at = path;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(at, ec)))
            return at;
        std::filesystem::path link = std::filesystem::read_symlink(at, ec);
        if (ec)
            return at;
        at = link.is_absolute() ? link : at.parent_path() / link;
    }
    return at; // a loop: opening it reports the error
}

void writeAll(int fd, const uint8_t *data, size_t size, const std::string &path)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            failIo(path, errno);
        data += n;
        size -= static_cast<size_t>(n);
    }
}

} // namespace

OutputFile::OutputFile(std::string path) : path_(std::move(path))
{
    if (path_.empty())
        throw CliError(kExitIo, "an output file name is empty");
    if (const int own = ownDescriptor(path_); own >= 0) {
        fd_ = own;
        ownsFd_ = false;
        return;
    }
    const std::filesystem::path target = finalTarget(path_);
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        // A device or FIFO is written as it is; it has no contents to keep.
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd_ < 0)
            failIo(path_, errno);
        return;
    }
    // Replacing a file the user may not write to would go around its mode.
    if (exists && ::access(target.c_str(), W_OK) != 0)
        failIo(path_, errno);
    destination_ = target.string();
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
    temporary_ = (folder / ("." + target.filename().string() + ".zm4-XXXXXX")).string();
    fd_ = ::mkstemp(temporary_.data());
    if (fd_ < 0) {
        temporary_.clear();
        failIo(path_, errno);
    }
    // The mode a new file would get, or the replaced file's own.
    mode_t mode = exists ? (st.st_mode & 07777) : 0;
    if (!exists) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd_, mode);
}

OutputFile::~OutputFile()
{
    if (fd_ >= 0 && ownsFd_)
        ::close(fd_);
    if (!temporary_.empty())
        ::unlink(temporary_.c_str());
}

void OutputFile::write(std::span<const uint8_t> bytes)
{
    if (fd_ < 0)
        throw std::logic_error("OutputFile written after commit");
    writeAll(fd_, bytes.data(), bytes.size(), path_);
}

void OutputFile::write(std::string_view text)
{
    write({reinterpret_cast<const uint8_t *>(text.data()), text.size()});
}

void OutputFile::commit()
{
    const int fd = fd_;
    fd_ = -1;
    if (!ownsFd_ || fd < 0)
        return;
    if (temporary_.empty()) {
        if (::close(fd) != 0)
            failIo(path_, errno);
        return;
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        const int error = errno;
        ::close(fd);
        failIo(path_, error);
    }
    if (::rename(temporary_.c_str(), destination_.c_str()) != 0)
        failIo(path_, errno);
    temporary_.clear();
}

bool writesInPlace(const std::string &path)
{
    struct stat st {};
    return ownDescriptor(path) >= 0 || (::stat(finalTarget(path).c_str(), &st) == 0 && !S_ISREG(st.st_mode));
}

std::vector<uint8_t> readInput(const std::string &path)
{
    // The frame reader's size limit and messages apply to standard input too.
    return readFrameFile(path == "-" ? "/dev/stdin" : path);
}

} // namespace zm4::cli
