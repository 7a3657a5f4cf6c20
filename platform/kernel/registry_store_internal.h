// What the files of the registry store share and nobody else: name folding,
// the in-memory tree of keys and values, the export-format text and the UTF-8
// helpers behind RegistryValue.
#pragma once

#include <map>
#include <optional>
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
// by name, which is the registry editor's export order.
inline std::string treeKey(std::string_view path)
{
    std::string key(path);
    for (char &c : key)
        c = (c == '\\') ? '\x01' : foldChar(c);
    return key;
}

inline bool hasLineBreakOrNul(std::string_view s)
{
    return s.find_first_of(std::string_view("\n\r\0", 3)) != s.npos;
}

// Decodes the UTF-8 sequence at text[i] and moves i past it; nullopt (i
// unchanged) for a malformed sequence.
std::optional<uint32_t> decodeUtf8(std::string_view text, size_t &i);
void appendUtf16(std::u16string &out, uint32_t c);

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

// The registry editor's export text of a tree, and back. parseTree fills tree
// and returns nullopt, or returns "line N: reason".
std::string formatTree(const RegistryStore::Tree &tree);
std::optional<std::string> parseTree(std::string_view text, RegistryStore::Tree &tree);

} // namespace zm4::host
