// The host registry store: a tree of keys and values in memory, optionally
// mirrored in a registry-editor export file (registry_file.cpp) that every
// change replaces atomically under an flock shared with other processes.
#include "platform/kernel/registry_store.h"

#include <array>
#include <atomic>
#include <cstdlib>

#include <pwd.h>
#include <unistd.h>

#include "platform/kernel/registry_store_internal.h"

namespace zm4::host {

namespace {

constexpr std::array<std::string_view, 5> kRoots = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",
                                                    "HKEY_CLASSES_ROOT", "HKEY_USERS", "HKEY_CURRENT_CONFIG"};

std::atomic<uint64_t> gNextSerial{1};

} // namespace

RegistryStore::RegistryStore(std::filesystem::path path)
    : path_(std::move(path)), serial_(gNextSerial.fetch_add(1)), tree_(std::make_unique<Tree>()),
      spares_(std::make_unique<Spares>())
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
    store->removeStaleTemporaries();
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
    // Every write names a key, nearly always the driver's own: the last path
    // found valid is remembered per thread (validity is a matter of the text
    // alone).
    thread_local std::string lastValid;
    if (!lastValid.empty() && key == lastValid)
        return true;
    if (!checkKeyPath(key))
        return false;
    lastValid.assign(key);
    return true;
}

bool RegistryStore::checkKeyPath(std::string_view key)
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

std::optional<RegistryValue> RegistryStore::read(std::string_view key, std::string_view name) const
{
    std::lock_guard lock(mutex_);
    loadLocked();
    Tree::Key *k = tree_->find(key);
    NamedValue *nv = k ? k->findValue(name) : nullptr;
    if (!nv)
        return std::nullopt;
    return nv->second;
}

bool RegistryStore::write(std::string_view key, std::string_view name, const RegistryValue &value)
{
    return write(key, name, value.type, value.data);
}

bool RegistryStore::write(std::string_view key, std::string_view name, ULONG type,
                          std::span<const uint8_t> data)
{
    if (!isValidKeyPath(key) || !isValidValueName(name))
        return false;
    return change([&](Tree &tree) {
        tree.create(key, spares_.get()).setValue(name, type, data, spares_.get());
        return true;
    });
}

bool RegistryStore::deleteValue(std::string_view key, std::string_view name)
{
    return change([&](Tree &tree) {
        Tree::Key *k = tree.find(key);
        return k && k->eraseValue(name);
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
        tree.create(key, spares_.get());
        return true;
    });
}

bool RegistryStore::clear()
{
    const bool cleared = change([&](Tree &tree) {
        tree.clear(*spares_);
        return true;
    });
    if (cleared)
        serial_ = gNextSerial.fetch_add(1);
    return cleared;
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
    std::vector<NamedValue> out;
    const std::optional<size_t> count = values(key, out);
    if (!count)
        return std::nullopt;
    out.resize(*count);
    return out;
}

std::optional<std::vector<NamedValue>> RegistryStore::values(std::string_view key,
                                                             std::span<const std::string> names) const
{
    std::vector<NamedValue> out;
    const std::optional<size_t> count = values(key, names, out);
    if (!count)
        return std::nullopt;
    out.resize(*count);
    return out;
}

std::optional<size_t> RegistryStore::values(std::string_view key, std::vector<NamedValue> &out) const
{
    std::lock_guard lock(mutex_);
    loadLocked();
    if (Tree::Key *k = tree_->find(key))
        return k->values(out);
    if (tree_->hasSubkeys(key))
        return 0;
    return std::nullopt;
}

std::optional<size_t> RegistryStore::values(std::string_view key, std::span<const std::string> names,
                                            std::vector<NamedValue> &out) const
{
    std::lock_guard lock(mutex_);
    loadLocked();
    if (Tree::Key *k = tree_->find(key)) {
        size_t count = 0;
        for (const std::string &name : names) {
            if (const NamedValue *value = k->findValue(name)) {
                if (count < out.size())
                    out[count] = *value; // keeps the element's buffers
                else
                    out.push_back(*value);
                ++count;
            }
        }
        return count;
    }
    if (tree_->hasSubkeys(key))
        return 0;
    return std::nullopt;
}

} // namespace zm4::host
