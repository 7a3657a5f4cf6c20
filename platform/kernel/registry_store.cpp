// The host registry store: a tree of keys and values in memory, optionally
// mirrored in a registry-editor export file that every write replaces
// atomically under an flock shared with other processes.
#include "platform/kernel/registry_store.h"
#include "platform/kernel/registry_text_encoding.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zm4::host {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::array<std::string_view, 5> kRoots = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",
                                                    "HKEY_CLASSES_ROOT", "HKEY_USERS", "HKEY_CURRENT_CONFIG"};
// A registry file is a few hundred bytes; anything this large is not ours.
constexpr size_t kMaxFileSize = 16 * 1024 * 1024;
// The registry editor keeps export lines within 80 columns.
constexpr size_t kLineWidth = 80;

std::atomic<uint64_t> gNextSerial{1};

// Names compare without regard to ASCII case, as the kernel does for the
// names a driver uses. Other letters compare exactly: the host has no
// locale-independent Unicode case table and no driver name needs one.
char foldChar(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalFolded(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (foldChar(a[i]) != foldChar(b[i]))
            return false;
    return true;
}

// The map key of a key path: folded, with the separator below every other
// character so that a key sorts directly before its subkeys and siblings sort
// by name, which is the registry editor's export order.
std::string treeKey(std::string_view path)
{
    std::string key(path);
    for (char &c : key)
        c = (c == '\\') ? '\x01' : foldChar(c);
    return key;
}

bool hasLineBreakOrNul(std::string_view s)
{
    return s.find_first_of(std::string_view("\n\r\0", 3)) != s.npos;
}

std::string hexByte(uint8_t b)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    return {kDigits[b >> 4], kDigits[b & 15]};
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// 1 to 8 hex digits and nothing else.
std::optional<uint32_t> parseHex32(std::string_view s)
{
    if (s.empty() || s.size() > 8)
        return std::nullopt;
    uint32_t v = 0;
    for (char c : s) {
        int d = hexDigit(c);
        if (d < 0)
            return std::nullopt;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    return v;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::string quote(std::string_view s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + '"';
}

// Reads a quoted string at the start of s (\\ and \" escapes); returns the
// text and leaves s after the closing quote.
std::optional<std::string> unquote(std::string_view &s, std::string &why)
{
    std::string out;
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i] == '"') {
            s.remove_prefix(i + 1);
            return out;
        }
        if (s[i] == '\\') {
            if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) {
                why = "bad escape (only \\\\ and \\\" are allowed)";
                return std::nullopt;
            }
            ++i;
        }
        out += s[i];
    }
    why = "missing closing quote";
    return std::nullopt;
}

} // namespace

// ---- Text -----------------------------------------------------------------

std::optional<std::string> utf8FromUtf16(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
                return std::nullopt;
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00u);
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return std::nullopt;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

namespace {

// Decodes the UTF-8 sequence at text[i] and moves i past it; nullopt (i
// unchanged) for a malformed sequence.
std::optional<uint32_t> decodeUtf8(std::string_view text, size_t &i)
{
    const auto b0 = static_cast<uint8_t>(text[i]);
    size_t extra;
    uint32_t c, minimum;
    if (b0 < 0x80) {
        extra = 0, c = b0, minimum = 0;
    } else if ((b0 & 0xE0) == 0xC0) {
        extra = 1, c = b0 & 0x1Fu, minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2, c = b0 & 0x0Fu, minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3, c = b0 & 0x07u, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (i + extra >= text.size())
        return std::nullopt;
    for (size_t k = 1; k <= extra; ++k) {
        const auto b = static_cast<uint8_t>(text[i + k]);
        if ((b & 0xC0) != 0x80)
            return std::nullopt;
        c = (c << 6) | (b & 0x3Fu);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not text.
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return std::nullopt;
    i += extra + 1;
    return c;
}

void appendUtf16(std::u16string &out, uint32_t c)
{
    if (c >= 0x10000) {
        out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
        out += static_cast<char16_t>(c);
    }
}

} // namespace

std::optional<std::u16string> utf16FromUtf8(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        auto c = decodeUtf8(text, i);
        if (!c)
            return std::nullopt;
        appendUtf16(out, *c);
    }
    return out;
}

// ---- Values ---------------------------------------------------------------

RegistryValue RegistryValue::dword(uint32_t value)
{
    return {REG_DWORD,
            {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
             static_cast<uint8_t>(value >> 24)}};
}

RegistryValue RegistryValue::binary(std::vector<uint8_t> bytes)
{
    return {REG_BINARY, std::move(bytes)};
}

RegistryValue RegistryValue::string(std::string_view utf8)
{
    // Text that is not UTF-8 is a caller's mistake; keep what can be kept
    // rather than store nothing: each bad byte becomes U+FFFD.
    std::u16string wide;
    for (size_t i = 0; i < utf8.size();) {
        auto c = decodeUtf8(utf8, i);
        if (!c)
            ++i;
        appendUtf16(wide, c.value_or(0xFFFD));
    }
    RegistryValue v{REG_SZ, {}};
    for (char16_t c : wide) {
        v.data.push_back(static_cast<uint8_t>(c));
        v.data.push_back(static_cast<uint8_t>(c >> 8));
    }
    v.data.push_back(0);
    v.data.push_back(0);
    return v;
}

std::optional<uint32_t> RegistryValue::asDword() const
{
    if (type != REG_DWORD || data.size() != 4)
        return std::nullopt;
    return uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
}

std::optional<std::string> RegistryValue::asString() const
{
    // A well-formed string: whole code units, one terminator at the end only.
    if (type != REG_SZ || data.size() < 2 || data.size() % 2 != 0)
        return std::nullopt;
    std::u16string wide;
    for (size_t i = 0; i + 2 < data.size(); i += 2)
        wide += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (data[data.size() - 2] != 0 || data[data.size() - 1] != 0 || wide.find(u'\0') != wide.npos)
        return std::nullopt;
    return utf8FromUtf16(wide);
}

// ---- The tree -------------------------------------------------------------

struct RegistryStore::Tree {
    struct Key {
        std::string path; // as first created
        std::vector<NamedValue> values;
        bool operator==(const Key &) const = default;
    };
    std::map<std::string, Key> keys; // by treeKey(path)

    bool operator==(const Tree &) const = default;

    Key *find(std::string_view path)
    {
        auto it = keys.find(treeKey(path));
        return it == keys.end() ? nullptr : &it->second;
    }
    bool hasSubkeys(std::string_view path) const
    {
        const std::string prefix = treeKey(path) + '\x01';
        auto it = keys.lower_bound(prefix);
        return it != keys.end() && it->first.compare(0, prefix.size(), prefix) == 0;
    }
    Key &create(std::string_view path)
    {
        auto [it, inserted] = keys.try_emplace(treeKey(path));
        if (inserted)
            it->second.path = std::string(path);
        return it->second;
    }
    static NamedValue *findValue(Key &key, std::string_view name)
    {
        for (auto &nv : key.values)
            if (equalFolded(nv.first, name))
                return &nv;
        return nullptr;
    }
    static void setValue(Key &key, std::string_view name, const RegistryValue &value)
    {
        // A rewritten value keeps the name it was created with.
        if (NamedValue *nv = findValue(key, name))
            nv->second = value;
        else
            key.values.emplace_back(std::string(name), value);
    }
};

namespace {

using Tree = RegistryStore::Tree;

std::string formatValue(const NamedValue &nv)
{
    const auto &[name, value] = nv;
    std::string line = name.empty() ? "@=" : quote(name) + "=";
    if (auto d = value.asDword()) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", *d);
        return line + buf;
    }
    if (auto s = value.asString(); s && !hasLineBreakOrNul(*s))
        return line + quote(*s);
    if (value.type == REG_BINARY) {
        line += "hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", value.type);
        line += buf;
    }
    // Long byte lists continue on indented lines, each break after a comma.
    size_t column = line.size();
    for (size_t i = 0; i < value.data.size(); ++i) {
        std::string token = hexByte(value.data[i]) + (i + 1 < value.data.size() ? "," : "");
        if (i > 0 && column + token.size() + 1 > kLineWidth) {
            line += "\\\n  ";
            column = 2;
        }
        line += token;
        column += token.size();
    }
    return line;
}

std::string formatTree(const Tree &tree)
{
    std::string text = std::string(kHeader) + "\n\n";
    for (const auto &entry : tree.keys) {
        text += "[" + entry.second.path + "]\n";
        for (const auto &nv : entry.second.values)
            text += formatValue(nv) + "\n";
        text += "\n";
    }
    return text;
}

// The data after "Name"=. `more` yields continuation lines of a byte list.
template <typename NextLine>
std::optional<RegistryValue> parseData(std::string_view data, NextLine &&more, std::string &why)
{
    if (data.size() >= 1 && data.front() == '"') {
        auto s = unquote(data, why);
        if (!s)
            return std::nullopt;
        if (!trim(data).empty()) {
            why = "text after the closing quote";
            return std::nullopt;
        }
        return RegistryValue::string(*s);
    }
    if (data.starts_with("dword:")) {
        auto v = parseHex32(data.substr(6));
        if (!v) {
            why = "bad dword (expected 1 to 8 hex digits)";
            return std::nullopt;
        }
        return RegistryValue::dword(*v);
    }
    RegistryValue value;
    if (data.starts_with("hex:")) {
        value.type = REG_BINARY;
        data.remove_prefix(4);
    } else if (data.starts_with("hex(")) {
        const size_t close = data.find("):");
        auto type = close == data.npos ? std::nullopt : parseHex32(data.substr(4, close - 4));
        if (!type) {
            why = "bad value type in hex(...)";
            return std::nullopt;
        }
        value.type = *type;
        data.remove_prefix(close + 2);
    } else if (data == "-") {
        why = "value deletion entries are not supported";
        return std::nullopt;
    } else {
        why = "unknown value type";
        return std::nullopt;
    }
    std::string bytes(trim(data));
    while (!bytes.empty() && bytes.back() == '\\') {
        bytes.pop_back();
        auto next = more();
        if (!next) {
            why = "byte list continues past the end of the file";
            return std::nullopt;
        }
        bytes += trim(*next);
    }
    std::string_view rest = bytes;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        std::string_view token = trim(rest.substr(0, comma));
        if (token.size() != 2 || hexDigit(token[0]) < 0 || hexDigit(token[1]) < 0) {
            why = "bad hex byte \"" + std::string(token) + "\"";
            return std::nullopt;
        }
        value.data.push_back(static_cast<uint8_t>(hexDigit(token[0]) << 4 | hexDigit(token[1])));
        if (comma == rest.npos)
            break;
        rest.remove_prefix(comma + 1);
        if (rest.empty()) {
            why = "byte list ends with a comma";
            return std::nullopt;
        }
    }
    return value;
}

// Parses a whole file; on failure returns "line N: reason".
std::optional<std::string> parseTree(std::string_view text, Tree &tree)
{
    std::vector<std::string_view> lines;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        if (end == text.npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (!lines.empty() && lines.back().empty())
        lines.pop_back();

    std::string_view first = lines.empty() ? std::string_view() : lines[0];
    if (first.starts_with("\xEF\xBB\xBF"))
        first.remove_prefix(3);
    if (!first.empty() && first.back() == '\r')
        first.remove_suffix(1);
    if (first != kHeader)
        return "line 1: bad header (expected \"" + std::string(kHeader) + "\")";

    Tree::Key *section = nullptr;
    for (size_t i = 1; i < lines.size(); ++i) {
        const size_t number = i + 1;
        std::string_view line = trim(lines[i]);
        std::string why;
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            if (line.back() != ']') {
                why = "key line without a closing ]";
            } else if (line.size() > 1 && line[1] == '-') {
                why = "key deletion entries are not supported";
            } else if (std::string_view path = line.substr(1, line.size() - 2);
                       !RegistryStore::isValidKeyPath(path)) {
                why = "bad key name (expected a standard root and no empty parts)";
            } else {
                section = &tree.create(path);
                continue;
            }
        } else if (line.front() == '"' || line.front() == '@') {
            std::optional<std::string> name = std::string(); // @ is the key's default value
            if (line.front() == '@')
                line.remove_prefix(1);
            else
                name = unquote(line, why);
            if (name && (line.empty() || line.front() != '=')) {
                why = "expected = after the value name";
                name.reset();
            }
            if (name && !section) {
                why = "value outside a section";
                name.reset();
            }
            auto more = [&]() -> std::optional<std::string_view> {
                if (i + 1 >= lines.size())
                    return std::nullopt;
                return lines[++i];
            };
            if (name) {
                if (auto value = parseData(line.substr(1), more, why)) {
                    Tree::setValue(*section, *name, *value);
                    continue;
                }
            }
        } else {
            why = "not a key, a value, a comment or a blank line";
        }
        return "line " + std::to_string(number) + ": " + why;
    }
    return std::nullopt;
}

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

} // namespace

// ---- The store --------------------------------------------------------------

RegistryStore::RegistryStore(std::filesystem::path path)
    : path_(std::move(path)), serial_(gNextSerial.fetch_add(1)), tree_(std::make_unique<Tree>())
{
}

RegistryStore::~RegistryStore() = default;

std::unique_ptr<RegistryStore> RegistryStore::inMemory()
{
    return std::unique_ptr<RegistryStore>(new RegistryStore({}));
}

std::unique_ptr<RegistryStore> RegistryStore::openFile(std::filesystem::path path)
{
    std::unique_ptr<RegistryStore> store(new RegistryStore(std::move(path)));
    std::lock_guard lock(store->mutex_);
    store->loadLocked();
    return store;
}

std::filesystem::path RegistryStore::defaultPath(const std::filesystem::path &commandLinePath)
{
    if (!commandLinePath.empty())
        return commandLinePath;
    if (const char *env = std::getenv("ZM4_REGISTRY"); env && *env)
        return env;
    // The base directory rules only accept an absolute XDG_CONFIG_HOME.
    if (const char *xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
        return std::filesystem::path(xdg) / "zm4" / "registry.reg";
    std::string home;
    if (const char *env = std::getenv("HOME"); env && *env) {
        home = env;
    } else {
        std::vector<char> buf(16384);
        passwd pw{}, *result = nullptr;
        if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result && result->pw_dir)
            home = result->pw_dir;
    }
    // With no home at all the file goes to the working folder rather than the
    // root of the file system.
    return std::filesystem::path(home.empty() ? "." : home) / ".config" / "zm4" / "registry.reg";
}

bool RegistryStore::isValidKeyPath(std::string_view key)
{
    if (hasLineBreakOrNul(key))
        return false;
    const size_t firstSep = key.find('\\');
    const std::string_view root = key.substr(0, firstSep);
    bool knownRoot = false;
    for (auto r : kRoots)
        knownRoot = knownRoot || equalFolded(r, root);
    if (!knownRoot)
        return false;
    if (firstSep == key.npos)
        return true;
    // No empty part: no doubled, leading or trailing separator.
    std::string_view rest = key.substr(firstSep + 1);
    return !rest.empty() && rest.back() != '\\' && rest.find("\\\\") == rest.npos;
}

bool RegistryStore::isValidValueName(std::string_view name)
{
    return !hasLineBreakOrNul(name);
}

bool RegistryStore::sameName(std::string_view a, std::string_view b)
{
    return equalFolded(a, b);
}

std::optional<std::string> RegistryStore::damage() const
{
    std::lock_guard lock(mutex_);
    return damage_;
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
    static std::atomic<uint64_t> counter{0};
    const std::filesystem::path folder = path_.has_parent_path() ? path_.parent_path() : ".";
    std::filesystem::path temp = path_;
    temp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));

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
template <typename Change> bool RegistryStore::change(Change &&apply)
{
    std::lock_guard lock(mutex_);
    if (path_.empty() || damage_)
        return apply(*tree_);

    std::error_code ec;
    if (path_.has_parent_path())
        std::filesystem::create_directories(path_.parent_path(), ec);
    std::filesystem::path lockPath = path_;
    lockPath += ".lock";
    FileLock fileLock(lockPath);
    if (!fileLock.locked())
        return false;
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

std::optional<RegistryValue> RegistryStore::read(std::string_view key, std::string_view name) const
{
    std::lock_guard lock(mutex_);
    loadLocked();
    Tree::Key *k = tree_->find(key);
    NamedValue *nv = k ? Tree::findValue(*k, name) : nullptr;
    if (!nv)
        return std::nullopt;
    return nv->second;
}

bool RegistryStore::write(std::string_view key, std::string_view name, const RegistryValue &value)
{
    if (!isValidKeyPath(key) || !isValidValueName(name))
        return false;
    return change([&](Tree &tree) {
        Tree::setValue(tree.create(key), name, value);
        return true;
    });
}

bool RegistryStore::deleteValue(std::string_view key, std::string_view name)
{
    return change([&](Tree &tree) {
        Tree::Key *k = tree.find(key);
        if (!k)
            return false;
        for (auto it = k->values.begin(); it != k->values.end(); ++it) {
            if (equalFolded(it->first, name)) {
                k->values.erase(it);
                return true;
            }
        }
        return false;
    });
}

bool RegistryStore::keyExists(std::string_view key) const
{
    std::lock_guard lock(mutex_);
    loadLocked();
    return tree_->find(key) || tree_->hasSubkeys(key);
}

bool RegistryStore::createKey(std::string_view key)
{
    if (!isValidKeyPath(key))
        return false;
    return change([&](Tree &tree) {
        tree.create(key);
        return true;
    });
}

KeyDeletion RegistryStore::deleteKey(std::string_view key)
{
    KeyDeletion refused = KeyDeletion::Failed;
    const bool done = change([&](Tree &tree) {
        if (tree.hasSubkeys(key)) {
            refused = KeyDeletion::HasSubkeys;
            return false;
        }
        if (tree.keys.erase(treeKey(key)) == 0) {
            refused = KeyDeletion::NotFound;
            return false;
        }
        return true;
    });
    return done ? KeyDeletion::Deleted : refused;
}

std::vector<std::string> RegistryStore::keys() const
{
    std::lock_guard lock(mutex_);
    loadLocked();
    std::vector<std::string> out;
    for (const auto &entry : tree_->keys)
        out.push_back(entry.second.path);
    return out;
}

std::optional<std::vector<NamedValue>> RegistryStore::values(std::string_view key) const
{
    std::lock_guard lock(mutex_);
    loadLocked();
    if (Tree::Key *k = tree_->find(key))
        return k->values;
    if (tree_->hasSubkeys(key))
        return std::vector<NamedValue>{};
    return std::nullopt;
}

} // namespace zm4::host
