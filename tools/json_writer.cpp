// A small streaming JSON writer.
#include "tools/json_writer.h"

#include <cstdio>
#include <stdexcept>

namespace zm4::cli {

void JsonWriter::indent()
{
    out_ += '\n';
    out_.append(hasMember_.size() * 2, ' ');
}

void JsonWriter::beforeValue()
{
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!hasMember_.empty()) {
        if (hasMember_.back())
            out_ += ',';
        hasMember_.back() = true;
        indent();
    }
}

JsonWriter &JsonWriter::beginObject()
{
    beforeValue();
    out_ += '{';
    hasMember_.push_back(false);
    return *this;
}

JsonWriter &JsonWriter::close(char bracket)
{
    if (hasMember_.empty())
        throw std::logic_error("JsonWriter: nothing open to close");
    bool had = hasMember_.back();
    hasMember_.pop_back();
    if (had)
        indent();
    out_ += bracket;
    return *this;
}

JsonWriter &JsonWriter::endObject()
{
    return close('}');
}

JsonWriter &JsonWriter::beginArray()
{
    beforeValue();
    out_ += '[';
    hasMember_.push_back(false);
    return *this;
}

JsonWriter &JsonWriter::endArray()
{
    return close(']');
}

JsonWriter &JsonWriter::key(std::string_view name)
{
    value(name);
    out_ += ": ";
    afterKey_ = true;
    return *this;
}

JsonWriter &JsonWriter::value(std::string_view text)
{
    beforeValue();
    out_ += '"';
    for (char c : text) {
        switch (c) {
        case '"':
            out_ += "\\\"";
            break;
        case '\\':
            out_ += "\\\\";
            break;
        case '\n':
            out_ += "\\n";
            break;
        case '\t':
            out_ += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out_ += escaped;
            } else {
                out_ += c;
            }
        }
    }
    out_ += '"';
    return *this;
}

JsonWriter &JsonWriter::value(uint64_t number)
{
    beforeValue();
    out_ += std::to_string(number);
    return *this;
}

JsonWriter &JsonWriter::value(bool flag)
{
    beforeValue();
    out_ += flag ? "true" : "false";
    return *this;
}

JsonWriter &JsonWriter::null()
{
    beforeValue();
    out_ += "null";
    return *this;
}

std::string JsonWriter::str() const
{
    return hasMember_.empty() ? out_ + '\n' : out_;
}

} // namespace zm4::cli
