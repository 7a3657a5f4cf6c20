// The registry store's file: loading it, replacing it durably and atomically,
// and the flock that keeps processes from interleaving their changes.
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/kernel/registry_store_internal.h"

namespace zm4::host {

namespace {

// A registry file is a few hundred bytes; anything this large is not ours.
constexpr size_t kMaxFileSize = 16 * 1024 * 1024;

// An exclusive flock on the lock file beside the registry file for the life
// of the object. flock locks go away with the process, so a killed writer
// never leaves the registry locked.
class FileLock {
public:
    explicit FileLock(const std::filesystem::path &path)
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0)
            return;
        int rc;
        do {
            rc = ::flock(fd_, LOCK_EX);
        } while (rc < 0 && errno == EINTR);
        if (rc < 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~FileLock()
    {
        if (fd_ >= 0)
            ::close(fd_); // closing drops the lock
    }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    bool locked() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

bool writeAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The one temporary file a writer replaces the registry through. Writers take
// turns under the flock, so one name serves them all: a writer killed halfway
// leaves at most this file, which the next writer truncates and renames.
std::filesystem::path tempPath(const std::filesystem::path &path)
{
    std::filesystem::path temp = path;
    temp += ".tmp";
    return temp;
}

std::filesystem::path lockPath(const std::filesystem::path &path)
{
    std::filesystem::path lock = path;
    lock += ".lock";
    return lock;
}

// Temporaries beside the registry file: ours, and the "<name>.tmp.<pid>.<n>"
// ones that writers made before they shared one name.
std::vector<std::filesystem::path> temporaries(const std::filesystem::path &path)
{
    std::vector<std::filesystem::path> found;
    const std::string ours = tempPath(path).filename().string();
    std::error_code ec;
    std::filesystem::directory_iterator it(path.has_parent_path() ? path.parent_path() : ".", ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name == ours || name.starts_with(ours + "."))
            found.push_back(it->path());
    }
    return found;
}

void removeAll(const std::vector<std::filesystem::path> &files)
{
    for (const auto &file : files)
        ::unlink(file.c_str());
}

} // namespace

// Whoever holds the file lock is the only writer, so every temporary found
// then belongs to a writer that died before renaming it.
void RegistryStore::removeStaleTemporaries() const
{
    if (path_.empty() || temporaries(path_).empty())
        return;
    FileLock fileLock(lockPath(path_));
    if (fileLock.locked())
        removeAll(temporaries(path_));
}

// Reads the file afresh: other processes replace it at any time, and a file
// is small enough that comparing stamps would buy nothing but a chance to miss
// a change made within the file system's time granularity. Returns false when
// the store is (now) damaged. A file found damaged after a good start leaves
// the last good contents in memory: the driver keeps working with what it had.
bool RegistryStore::loadLocked() const
{
    if (path_.empty() || damage_)
        return !damage_;
    auto fail = [&](const std::string &why) {
        // Never touch a file we cannot read: it may hold the user's settings.
        // Changes from now on live in this store only; reopen the store once
        // the file is repaired.
        damage_ = path_.string() + " " + why +
                  "; the registry starts from defaults and keeps changes in memory only, "
                  "leaving the file as it is";
        return false;
    };
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        // No file (or not even its folder): an empty registry, nothing to protect.
        if (errno != ENOENT && errno != ENOTDIR)
            return fail(std::string("cannot be read: ") + std::strerror(errno));
        tree_->keys.clear();
        return true;
    }
    struct stat st {};
    if (::fstat(fd, &st) < 0) {
        const int err = errno;
        ::close(fd);
        return fail(std::string("cannot be read: ") + std::strerror(err));
    }
    if (static_cast<uint64_t>(st.st_size) > kMaxFileSize) {
        ::close(fd);
        return fail("is too large to be a registry file");
    }
    std::string text;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            return fail(std::string("cannot be read: ") + std::strerror(err));
        }
        if (n == 0)
            break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > kMaxFileSize) {
            ::close(fd);
            return fail("is too large to be a registry file");
        }
    }
    ::close(fd);
    Tree parsed;
    if (auto why = decodeRegistryText(text); why || (why = parseTree(text, parsed)))
        return fail(*why);
    *tree_ = std::move(parsed);
    return true;
}

// Replaces the file with the tree's text: a temporary file in the same folder,
// flushed, renamed over the old one, then the folder flushed so the rename
// itself survives a crash. Readers see the old file or the new one, never a
// part of either.
bool RegistryStore::saveLocked(const Tree &tree) const
{
    const std::filesystem::path folder = path_.has_parent_path() ? path_.parent_path() : ".";
    const std::filesystem::path temp = tempPath(path_);

    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    struct stat old {};
    if (::stat(path_.c_str(), &old) == 0)
        ::fchmod(fd, old.st_mode & 07777); // keep the permissions the user gave the file
    const bool written = writeAll(fd, formatTree(tree)) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || ::rename(temp.c_str(), path_.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        // The new file is in place; a folder that cannot be flushed only
        // weakens durability, so the write still counts as done.
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

// Applies a change (a callable that edits a tree and says whether it applied)
// as one transaction: under the process-wide file lock, on the file's current
// contents, so that another process's writes since our last read survive.
bool RegistryStore::change(TreeChange apply)
{
    std::lock_guard lock(mutex_);
    if (path_.empty() || damage_)
        return apply(*tree_);

    std::error_code ec;
    if (path_.has_parent_path())
        std::filesystem::create_directories(path_.parent_path(), ec);
    FileLock fileLock(lockPath(path_));
    if (!fileLock.locked())
        return false;
    removeAll(temporaries(path_));
    if (!loadLocked())
        return apply(*tree_);
    Tree next = *tree_;
    if (!apply(next))
        return false;
    if (next == *tree_)
        return true;
    if (!saveLocked(next))
        return false;
    *tree_ = std::move(next);
    return true;
}

} // namespace zm4::host
