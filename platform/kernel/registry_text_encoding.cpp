// Registry file encodings: UTF-8 as it is, UTF-16LE with its byte-order mark
// decoded, anything else refused with the accepted encodings named.
#include "platform/kernel/registry_text_encoding.h"

#include <string_view>

#include "platform/kernel/registry_store.h"

namespace zm4::host {

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
