// The registry editor's export format: "Windows Registry Editor Version 5.00",
// [key] sections, "Name"=dword:..., "Name"="text" and hex byte lists that wrap
// at 80 columns.
#include <cstdio>

#include "platform/kernel/registry_store_internal.h"

namespace zm4::host {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
// The registry editor keeps export lines within 80 columns.
constexpr size_t kLineWidth = 80;

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

using Tree = RegistryStore::Tree;
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

} // namespace

std::string formatTree(const Tree &tree)
{
    std::string text = std::string(kHeader) + "\n\n";
    for (const auto &entry : tree.keys) {
        text += "[" + entry.second.path + "]\n";
        for (const auto &[sequence, nv] : entry.second.ordered)
            text += formatValue(nv) + "\n";
        text += "\n";
    }
    return text;
}

namespace {

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

} // namespace

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
                    section->setValue(*name, *value);
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

} // namespace zm4::host
