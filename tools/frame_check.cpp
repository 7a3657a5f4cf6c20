// Reading raw frame files and checking them the way the driver does.
#include "tools/frame_check.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "decode/frame_header.h"
#include "tools/cli.h"

namespace zm4::cli {

namespace {

// A frame is at most about 200 KB; anything far larger is not a frame file and
// is refused rather than read into memory.
constexpr size_t kLargestFile = 64u * 1024 * 1024;

constexpr std::array<std::string_view, 9> kStatusNames = {
    "ok",          "bad-line-length", "early-end-of-line", "no-end-of-line", "bad-header",
    "magic-moved", "no-end-of-frame", "bad-format",        "size-mismatch",
};

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

[[noreturn]] void failIo(const std::string &path, int error)
{
    throw CliError(kExitIo, path + ": " + std::strerror(error));
}

std::string headerFault(std::span<const uint8_t> bytes, size_t magicOffset)
{
    // The header is known to be all there (checked by the caller).
    const decode::FrameHeaderField *field = decode::FrameHeader_FirstBadField(bytes.data() + magicOffset);
    if (field == nullptr)
        return "a header field is out of range";
    char text[96];
    std::snprintf(text, sizeof text, "header byte 0x%02X (%s) is %u, above %u", field->offset, field->name,
                  bytes[magicOffset + field->offset], field->largest);
    return text;
}

std::string describeVerifyFault(const FrameCheck &check, std::span<const uint8_t> bytes)
{
    const StreamErrorDetails &d = check.details;
    const std::string fileEnd = "the file ends at byte " + std::to_string(bytes.size());
    const bool cutShort = check.faultOffset >= bytes.size();
    switch (check.status) {
    case ZM4_FRAME_BAD_LINE_LENGTH:
        return "line " + std::to_string(d.line) + ": line length " + std::to_string(d.length) +
               " is longer than a line of this frame";
    case ZM4_FRAME_NO_END_OF_LINE:
        return "line " + std::to_string(d.line) + ": line does not end with 0xFD";
    case ZM4_FRAME_BAD_HEADER:
        if (d.offset >= decode::FrameHeader_Bytes)
            return "no frame magic (0x19 0x68) in the first 64 bytes";
        if (bytes.size() < check.magicOffset + decode::FrameHeader_Bytes)
            return "frame header cut short, " + fileEnd;
        return headerFault(bytes, check.magicOffset);
    case ZM4_FRAME_MAGIC_MOVED:
        return "frame magic at byte " + std::to_string(check.faultOffset) + ", not at the start";
    case ZM4_FRAME_NO_END_OF_FRAME:
        // Verification reports a frame that runs past the end of the buffer as
        // a missing end marker at the buffer's end; say which it was.
        if (cutShort && check.headerKnown && d.line < check.info.rowEnd)
            return "line " + std::to_string(d.line) + ": frame cut short, " + fileEnd;
        if (cutShort)
            return "end-of-frame marker cut short, " + fileEnd;
        return "end-of-frame marker missing at byte " + std::to_string(check.faultOffset);
    default:
        return "verification failed";
    }
}

} // namespace

std::vector<uint8_t> readFrameFile(const std::string &path)
{
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        failIo(path, errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        failIo(path, errno);
    if (S_ISDIR(st.st_mode))
        failIo(path, EISDIR);

    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    for (;;) {
        ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            failIo(path, errno);
        }
        if (got == 0)
            break;
        if (bytes.size() + static_cast<size_t>(got) > kLargestFile)
            throw CliError(kExitIo, path + ": file is too large to be a camera frame");
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

FrameCheck checkFrame(std::span<const uint8_t> bytes)
{
    FrameCheck check;
    check.status = VerifyStreamBounded(bytes.data(), bytes.size(), &check.info, &check.details);
    check.faultOffset = check.details.offset;
    if (check.status == ZM4_FRAME_MAGIC_MOVED) {
        // As the driver does: one more verification from where the magic is.
        check.magicOffset = check.details.offset;
        std::span<const uint8_t> moved = bytes.subspan(check.magicOffset);
        check.info = {};
        check.status = VerifyStreamBounded(moved.data(), moved.size(), &check.info, &check.details);
        check.faultOffset = check.magicOffset + check.details.offset;
    }
    // Verification fills the header record only on success, but a line or
    // end-marker fault lies past a valid header, which is worth showing.
    if (check.status == ZM4_FRAME_OK) {
        check.headerKnown = true;
    } else if (check.status == ZM4_FRAME_BAD_LINE_LENGTH || check.status == ZM4_FRAME_NO_END_OF_LINE ||
               check.status == ZM4_FRAME_NO_END_OF_FRAME) {
        check.headerKnown = check.info.rawHeader[0] == 0x19 && check.info.rawHeader[1] == 0x68;
    }
    if (check.status != ZM4_FRAME_OK) {
        check.reason = describeVerifyFault(check, bytes);
        check.message = check.reason + " (status " + std::to_string(check.status) + ")";
    }
    return check;
}

uint32_t frameWidth(const FrameHeaderInfo &info)
{
    return info.colEnd > info.colStart ? (info.colEnd - info.colStart) / 2u : 0u;
}

uint32_t frameHeight(const FrameHeaderInfo &info)
{
    return info.rowEnd > info.rowStart ? static_cast<uint32_t>(info.rowEnd - info.rowStart) : 0u;
}

std::string_view statusName(uint32_t status)
{
    return status < kStatusNames.size() ? kStatusNames[status] : "unknown";
}

std::string describeDecodeStatus(uint32_t status)
{
    std::string text;
    switch (status) {
    case ZM4_FRAME_BAD_LINE_LENGTH:
        text = "a line's data does not fill its declared length";
        break;
    case ZM4_FRAME_EARLY_END_OF_LINE:
        text = "end-of-line marker came before the line's data ended";
        break;
    case ZM4_FRAME_NO_END_OF_LINE:
        text = "line does not end with 0xFD";
        break;
    case ZM4_FRAME_BAD_HEADER:
        text = "no frame magic (0x19 0x68) in the first 64 bytes";
        break;
    case ZM4_FRAME_BAD_FORMAT:
        text = "output format not supported";
        break;
    case ZM4_FRAME_SIZE_MISMATCH:
        text = "output size does not match the frame";
        break;
    default:
        text = "decoding failed";
        break;
    }
    return text + " (status " + std::to_string(status) + ")";
}

} // namespace zm4::cli
