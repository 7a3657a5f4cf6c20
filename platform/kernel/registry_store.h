// The host's registry: keys holding named values, kept in memory or in a text
// file in the registry editor's export format. The kernel's registry routines
// (RtlQueryRegistryValues, RtlWriteRegistryValue, ZwOpenKey...) work on the
// store installed with setCurrentRegistry; tools read and edit it directly.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/kernel/kernel.h"

namespace zm4::host {

// Where the driver's values live in the store. The driver names its key
// without a root and with RTL_REGISTRY_ABSOLUTE; the host resolves such names
// under HKEY_LOCAL_MACHINE (see registry.cpp).
inline constexpr std::string_view kDriverKeyPath = "HKEY_LOCAL_MACHINE\\Software\\Lumena\\ZM4 Microscope";
inline constexpr std::string_view kEnumKeyPath = "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1E7A&PID_0001";

// One value as the kernel hands it over: a type number and its raw bytes
// (REG_DWORD: 4 bytes little-endian; REG_SZ: UTF-16LE with its terminator).
struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;

    static RegistryValue dword(uint32_t value);
    static RegistryValue binary(std::vector<uint8_t> bytes);
    static RegistryValue string(std::string_view utf8); // stored as UTF-16LE + terminator

    std::optional<uint32_t> asDword() const;     // a REG_DWORD of exactly 4 bytes
    std::optional<std::string> asString() const; // a well-formed REG_SZ, as UTF-8

    bool operator==(const RegistryValue &) const = default;
};

using NamedValue = std::pair<std::string, RegistryValue>;

enum class KeyDeletion { Deleted, NotFound, HasSubkeys, Failed };

// Key paths are full paths with a standard root ("HKEY_LOCAL_MACHINE\A\B");
// key and value names compare without regard to ASCII case and keep the case
// they were created with. A key exists when it was created or when it has a
// subkey. All members are safe to call from several threads.
class RegistryStore {
public:
    static std::unique_ptr<RegistryStore> inMemory();
    // A missing file is an empty registry; it (and its folder) is created by
    // the first write. Never fails: a damaged file is reported by damage().
    static std::unique_ptr<RegistryStore> openFile(std::filesystem::path path);
    // commandLinePath if not empty, else $ZM4_REGISTRY, else
    // $XDG_CONFIG_HOME/zm4/registry.reg, else ~/.config/zm4/registry.reg.
    static std::filesystem::path defaultPath(const std::filesystem::path &commandLinePath = {});
    // "HKEY_LOCAL_MACHINE\A\B": a standard root, no empty part, no line breaks.
    static bool isValidKeyPath(std::string_view key);
    static bool isValidValueName(std::string_view name); // "" is the key's default value
    // Whether two key or value names are the same name (ASCII case ignored).
    static bool sameName(std::string_view a, std::string_view b);

    ~RegistryStore();
    RegistryStore(const RegistryStore &) = delete;
    RegistryStore &operator=(const RegistryStore &) = delete;

    std::optional<RegistryValue> read(std::string_view key, std::string_view name) const;
    // Creates the key if needed. False when the names are invalid or the file
    // could not be replaced (then nothing changed).
    bool write(std::string_view key, std::string_view name, const RegistryValue &value);
    // The same from the caller's bytes: rewriting a value reuses its buffer
    // when the new data fits, so a repeated write allocates nothing.
    bool write(std::string_view key, std::string_view name, ULONG type, std::span<const uint8_t> data);
    bool deleteValue(std::string_view key, std::string_view name); // false when absent or on failure
    bool keyExists(std::string_view key) const;
    bool createKey(std::string_view key);
    KeyDeletion deleteKey(std::string_view key); // only a key without subkeys
    std::vector<std::string> keys() const;       // created keys, in tree order
    // The key's values in the order they were created; nullopt for a missing key.
    std::optional<std::vector<NamedValue>> values(std::string_view key) const;
    // Only the values of those names (matched as names are, whatever their
    // case; missing ones left out), for a caller that wants a few of many.
    std::optional<std::vector<NamedValue>> values(std::string_view key,
                                                  std::span<const std::string> names) const;
    // The two above into the first elements of out, returning how many
    // (nullopt for a missing key). out only grows: its elements are assigned
    // in place and those past the count stay, so that a caller keeping out
    // from call to call reuses their name and data buffers instead of
    // allocating anew.
    std::optional<size_t> values(std::string_view key, std::vector<NamedValue> &out) const;
    std::optional<size_t> values(std::string_view key, std::span<const std::string> names,
                                 std::vector<NamedValue> &out) const;

    // Why the file could not be used ("registry.reg line 4: bad hex byte..."),
    // or nullopt while the store is sound.
    std::optional<std::string> damage() const;
    // The backing file, or empty for an in-memory store.
    const std::filesystem::path &path() const { return path_; }
    // A number no other store in this process has had: key handles remember it.
    uint64_t serial() const { return serial_; }

    // Empties the store; key handles opened on it become invalid, as if it
    // were a new store. An in-memory store keeps the emptied keys' and
    // values' memory for the next ones (see Spares). False when the file
    // could not be replaced (then nothing changed).
    bool clear();

    struct Tree;   // the keys and values; defined in registry_store_internal.h
    struct Spares; // nodes kept by clear(); the same

private:
    static bool checkKeyPath(std::string_view key); // isValidKeyPath without its memory
    explicit RegistryStore(std::filesystem::path path);

    // A callable that edits a tree and says whether it applied, by reference:
    // unlike std::function it never copies the caller's lambda to the heap,
    // and every write goes through it. Lives no longer than the call it is
    // passed to.
    class TreeChange {
    public:
        template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, TreeChange>) TreeChange(F &&apply)
            : apply_(const_cast<void *>(static_cast<const void *>(std::addressof(apply)))),
              call_([](void *f, Tree &tree) -> bool {
                  return (*static_cast<std::remove_reference_t<F> *>(f))(tree);
              })
        {
        }
        bool operator()(Tree &tree) const { return call_(apply_, tree); }

    private:
        void *apply_;
        bool (*call_)(void *, Tree &);
    };

    // One change to the tree as a transaction (registry_file.cpp).
    bool change(TreeChange apply);
    bool loadLocked() const;
    bool saveLocked(const Tree &tree) const;
    // Removes the temporaries of writers killed while saving (under the file lock).
    void removeStaleTemporaries() const;

    const std::filesystem::path path_;
    std::atomic<uint64_t> serial_;
    mutable std::mutex mutex_; // guards everything below
    mutable std::unique_ptr<Tree> tree_;
    std::unique_ptr<Spares> spares_;
    mutable std::optional<std::string> damage_;
};

// The store the kernel's registry routines use; null when none is installed
// (they then fail with STATUS_UNSUCCESSFUL).
void setCurrentRegistry(RegistryStore *store);
RegistryStore *currentRegistry();

// Installs a store for its lifetime and puts the previous one back after.
class RegistryScope {
public:
    explicit RegistryScope(RegistryStore &store) : previous_(currentRegistry())
    {
        setCurrentRegistry(&store);
    }
    ~RegistryScope() { setCurrentRegistry(previous_); }
    RegistryScope(const RegistryScope &) = delete;
    RegistryScope &operator=(const RegistryScope &) = delete;

private:
    RegistryStore *previous_;
};

// Registry text is UTF-8 in the store and UTF-16 in the kernel. nullopt for
// malformed input (a lone surrogate, a bad UTF-8 sequence).
std::optional<std::string> utf8FromUtf16(std::u16string_view text);
// The same into out, whose buffer is reused; false (out unspecified) for
// malformed input.
bool utf8FromUtf16(std::u16string_view text, std::string &out);
std::optional<std::u16string> utf16FromUtf8(std::string_view text);

// Key handles from ZwOpenKey not yet closed with ZwClose: a driver that leaks
// one shows up here.
size_t openKeyHandleCount();

} // namespace zm4::host
