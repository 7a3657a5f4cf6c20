// Registry text and values: UTF-16 in the kernel, UTF-8 in the store, the
// encodings a registry file is read in, and the raw bytes of the value types
// the driver and the tools use.
#include <string_view>

#include "platform/kernel/registry_store_internal.h"

namespace zm4::host {

std::optional<std::string> utf8FromUtf16(std::u16string_view text)
{
    std::string out;
    if (!utf8FromUtf16(text, out))
        return std::nullopt;
    return out;
}

bool utf8FromUtf16(std::u16string_view text, std::string &out)
{
    out.clear();
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00u);
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
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
    return true;
}

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

// Registry file encodings: UTF-8 as it is, UTF-16LE with its byte-order mark
// decoded, anything else refused with the accepted encodings named.
namespace {

constexpr std::string_view kAccepted =
    "a registry file is read as UTF-8 or as UTF-16LE with a byte-order mark";

struct ForeignMark {
    std::string_view bytes;
    std::string_view name;
};

// Longest marks first: the UTF-32LE mark starts with the UTF-16LE one.
constexpr ForeignMark kForeignMarks[] = {
    {std::string_view("\xFF\xFE\x00\x00", 4), "UTF-32LE"},
    {std::string_view("\x00\x00\xFE\xFF", 4), "UTF-32BE"},
    {"\xFE\xFF", "UTF-16BE"},
};

} // namespace

std::optional<std::string> decodeRegistryText(std::string &bytes)
{
    for (const ForeignMark &mark : kForeignMarks)
        if (std::string_view(bytes).starts_with(mark.bytes))
            return "line 1: the file is " + std::string(mark.name) + "; " + std::string(kAccepted);

    if (!std::string_view(bytes).starts_with("\xFF\xFE")) {
        // UTF-16 without its mark puts a zero byte beside every ASCII character.
        if (bytes.find('\0') != std::string::npos)
            return "line 1: the file holds zero bytes (UTF-16 without a byte-order mark?); " +
                   std::string(kAccepted);
        return std::nullopt;
    }
    if (bytes.size() % 2 != 0)
        return "the UTF-16LE file ends in half a character; " + std::string(kAccepted);
    std::u16string wide;
    wide.reserve(bytes.size() / 2 - 1);
    for (size_t i = 2; i < bytes.size(); i += 2)
        wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                             static_cast<unsigned char>(bytes[i + 1]) << 8));
    std::optional<std::string> text = utf8FromUtf16(wide);
    if (!text)
        return "the UTF-16LE file has a broken surrogate pair; " + std::string(kAccepted);
    bytes = std::move(*text);
    return std::nullopt;
}

} // namespace zm4::host
