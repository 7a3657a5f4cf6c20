// What the files of the registry store share and nobody else: name folding,
// the in-memory tree of keys and values, the export-format text and the UTF-8
// helpers behind RegistryValue.
#pragma once

#include <algorithm>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/kernel/registry_store.h"

namespace zm4::host {

// Names compare without regard to ASCII case, as the kernel does for the
// names a driver uses. Other letters compare exactly: the host has no
// locale-independent Unicode case table and no driver name needs one.
inline char foldChar(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool equalFolded(std::string_view a, std::string_view b)
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
// by name, which is the registry editor's export order. The scratch forms
// are built in a per-thread buffer, so that a registry query or write looks
// its key and values up without allocating.
inline std::string_view scratchTreeKey(std::string_view path)
{
    thread_local std::string scratch;
    scratch.assign(path);
    for (char &c : scratch)
        c = (c == '\\') ? '\x01' : foldChar(c);
    return scratch;
}

inline std::string treeKey(std::string_view path)
{
    return std::string(scratchTreeKey(path));
}

// What the map keys of path's subkeys start with: its own key and the
// separator. Asked of every read of a key not (yet) created.
inline std::string_view scratchSubkeyPrefix(std::string_view path)
{
    thread_local std::string scratch;
    scratch.assign(scratchTreeKey(path));
    scratch += '\x01';
    return scratch;
}

inline std::string_view scratchFoldedName(std::string_view name)
{
    thread_local std::string scratch;
    scratch.assign(name);
    for (char &c : scratch)
        c = foldChar(c);
    return scratch;
}

// Orders value names byte by byte, as std::less does, but without memcmp:
// the fuzzers' runtime inspects every memcmp call for the bytes it compares,
// and a driver's run makes thousands of value lookups, each a few compares of
// short names that differ early. (Key paths share long prefixes: their map
// keeps memcmp.)
struct ByteLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const
    {
        const size_t common = std::min(a.size(), b.size());
        for (size_t i = 0; i < common; ++i)
            if (a[i] != b[i])
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
        return a.size() < b.size();
    }
};

inline bool hasLineBreakOrNul(std::string_view s)
{
    // A plain loop: find_first_of searches its three characters once per
    // character of s, a library call each.
    for (char c : s)
        if (c == '\n' || c == '\r' || c == '\0')
            return true;
    return false;
}

// Decodes the UTF-8 sequence at text[i] and moves i past it; nullopt (i
// unchanged) for a malformed sequence.
std::optional<uint32_t> decodeUtf8(std::string_view text, size_t &i);
void appendUtf16(std::u16string &out, uint32_t c);

// A value or key name as the maps order it: ASCII case folded.
inline std::string foldName(std::string_view name)
{
    return std::string(scratchFoldedName(name));
}

struct RegistryStore::Tree {
    // A key's values in the order they were created, with an index by folded
    // name into that order: finding, adding and removing a value cost O(log n)
    // in the number of values, so a file of many values loads in O(n log n).
    struct Key {
        std::string path;                                 // as first created
        std::map<uint64_t, NamedValue> ordered;           // by creation sequence
        std::map<std::string, uint64_t, ByteLess> byName; // folded name -> sequence
        uint64_t nextSequence = 0;

        bool operator==(const Key &) const = default;

        NamedValue *findValue(std::string_view name)
        {
            auto it = byName.find(scratchFoldedName(name));
            return it == byName.end() ? nullptr : &ordered.at(it->second);
        }
        void setValue(std::string_view name, const RegistryValue &value)
        {
            setValue(name, value.type, value.data);
        }
        // spares, when given, supplies the nodes of a new value (see Spares).
        void setValue(std::string_view name, ULONG type, std::span<const uint8_t> data,
                      Spares *spares = nullptr);
        bool eraseValue(std::string_view name)
        {
            auto it = byName.find(scratchFoldedName(name));
            if (it == byName.end())
                return false;
            ordered.erase(it->second);
            byName.erase(it);
            return true;
        }
        // Copy-assigns into out's first elements, keeping their buffers, and
        // returns how many (see RegistryStore::values).
        size_t values(std::vector<NamedValue> &out) const
        {
            if (out.size() < ordered.size())
                out.resize(ordered.size());
            size_t count = 0;
            for (const auto &entry : ordered)
                out[count++] = entry.second;
            return count;
        }
    };
    std::map<std::string, Key, std::less<>> keys; // by treeKey(path)

    bool operator==(const Tree &) const = default;

    Key *find(std::string_view path)
    {
        auto it = keys.find(scratchTreeKey(path));
        return it == keys.end() ? nullptr : &it->second;
    }
    bool hasSubkeys(std::string_view path) const
    {
        const std::string_view prefix = scratchSubkeyPrefix(path);
        auto it = keys.lower_bound(prefix);
        return it != keys.end() && it->first.starts_with(prefix);
    }
    Key &create(std::string_view path, Spares *spares = nullptr);
    // Empties the tree into spares.
    void clear(Spares &spares);
};

// The nodes of keys and values a cleared store emptied, with their strings'
// and buffers' memory, for the keys and values written next. A machine whose
// registry starts empty for every run writes the same few dozen values each
// time: once warmed up, filling it again allocates nothing.
struct RegistryStore::Spares {
    std::vector<decltype(Tree::keys)::node_type> keys;
    std::vector<decltype(Tree::Key::ordered)::node_type> values;
    std::vector<decltype(Tree::Key::byName)::node_type> names;
};

inline void RegistryStore::Tree::Key::setValue(std::string_view name, ULONG type,
                                               std::span<const uint8_t> data, Spares *spares)
{
    // A rewritten value keeps the name it was created with, and its buffer
    // when the new data fits in it.
    if (NamedValue *existing = findValue(name)) {
        existing->second.type = type;
        existing->second.data.assign(data.begin(), data.end());
        return;
    }
    if (!spares || spares->values.empty() || spares->names.empty()) {
        byName.emplace(foldName(name), nextSequence);
        ordered.emplace(nextSequence++,
                        NamedValue(std::string(name), RegistryValue{type, {data.begin(), data.end()}}));
        return;
    }
    auto folded = std::move(spares->names.back());
    spares->names.pop_back();
    folded.key().assign(scratchFoldedName(name));
    folded.mapped() = nextSequence;
    byName.insert(std::move(folded));
    auto value = std::move(spares->values.back());
    spares->values.pop_back();
    value.key() = nextSequence++;
    value.mapped().first.assign(name);
    value.mapped().second.type = type;
    value.mapped().second.data.assign(data.begin(), data.end());
    ordered.insert(std::move(value));
}

inline RegistryStore::Tree::Key &RegistryStore::Tree::create(std::string_view path, Spares *spares)
{
    if (Key *key = find(path))
        return *key;
    if (!spares || spares->keys.empty()) {
        Key &key = keys[treeKey(path)];
        key.path = std::string(path);
        return key;
    }
    auto node = std::move(spares->keys.back());
    spares->keys.pop_back();
    node.key().assign(scratchTreeKey(path));
    node.mapped().path.assign(path);
    return keys.insert(std::move(node)).position->second;
}

inline void RegistryStore::Tree::clear(Spares &spares)
{
    while (!keys.empty()) {
        auto node = keys.extract(keys.begin());
        Key &key = node.mapped();
        while (!key.ordered.empty())
            spares.values.push_back(key.ordered.extract(key.ordered.begin()));
        while (!key.byName.empty())
            spares.names.push_back(key.byName.extract(key.byName.begin()));
        spares.keys.push_back(std::move(node));
    }
}

// Converts a registry file's bytes to UTF-8 in place: UTF-16LE with a
// byte-order mark (the registry editor's default export) is decoded, UTF-8
// (with or without its mark) stays as it is. Returns why the bytes cannot be
// read for any other encoding or broken UTF-16LE, naming the accepted ones.
std::optional<std::string> decodeRegistryText(std::string &bytes);

// The registry editor's export text of a tree, and back. parseTree fills tree
// and returns nullopt, or returns "line N: reason".
std::string formatTree(const RegistryStore::Tree &tree);
std::optional<std::string> parseTree(std::string_view text, RegistryStore::Tree &tree);

} // namespace zm4::host
