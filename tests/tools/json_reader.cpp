// A strict little JSON parser for checking the tool's --json output.
#include "tests/tools/json_reader.h"

#include <cctype>
#include <cstdlib>

namespace zm4::cli::testing {

namespace {

class Parser {
public:
    explicit Parser(const std::string &text) : text_(text) {}

    JsonValue document()
    {
        JsonValue value = parseValue();
        skipSpace();
        if (pos_ != text_.size())
            fail("trailing characters");
        return value;
    }

private:
    [[noreturn]] void fail(const std::string &what) const
    {
        throw std::runtime_error("JSON: " + what + " at byte " + std::to_string(pos_));
    }

    void skipSpace()
    {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_])))
            ++pos_;
    }

    bool consume(char c)
    {
        skipSpace();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    void expect(char c)
    {
        if (!consume(c))
            fail(std::string("expected '") + c + "'");
    }

    bool consumeWord(const char *word)
    {
        std::string w(word);
        if (text_.compare(pos_, w.size(), w) == 0) {
            pos_ += w.size();
            return true;
        }
        return false;
    }

    std::string parseString()
    {
        expect('"');
        std::string out;
        while (pos_ < text_.size() && text_[pos_] != '"') {
            const char c = text_[pos_++];
            if (static_cast<unsigned char>(c) < 0x20)
                fail("control character in string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= text_.size())
                fail("unfinished escape");
            static const std::string kEscapes = "\"\"\\\\//b\bf\fn\nr\rt\t";
            const char e = text_[pos_++];
            if (e == 'u') {
                if (pos_ + 4 > text_.size())
                    fail("short \\u escape");
                const long code = std::strtol(text_.substr(pos_, 4).c_str(), nullptr, 16);
                pos_ += 4;
                if (code > 0x7F)
                    fail("non-ASCII \\u escape not supported");
                out += static_cast<char>(code);
            } else if (const size_t k = kEscapes.find(e); k != std::string::npos && k % 2 == 0) {
                out += kEscapes[k + 1];
            } else {
                fail("bad escape");
            }
        }
        if (pos_ >= text_.size())
            fail("unfinished string");
        ++pos_;
        return out;
    }

    JsonValue parseValue()
    {
        skipSpace();
        if (pos_ >= text_.size())
            fail("unexpected end");
        JsonValue value;
        char c = text_[pos_];
        if (c == '{') {
            ++pos_;
            value.kind = JsonValue::Kind::Object;
            if (consume('}'))
                return value;
            do {
                skipSpace();
                std::string name = parseString();
                expect(':');
                if (!value.members.emplace(name, parseValue()).second)
                    fail("duplicate member " + name);
            } while (consume(','));
            expect('}');
        } else if (c == '[') {
            ++pos_;
            value.kind = JsonValue::Kind::Array;
            if (consume(']'))
                return value;
            do
                value.items.push_back(parseValue());
            while (consume(','));
            expect(']');
        } else if (c == '"') {
            value.kind = JsonValue::Kind::String;
            value.text = parseString();
        } else if (consumeWord("null")) {
            value.kind = JsonValue::Kind::Null;
        } else if (consumeWord("true")) {
            value.kind = JsonValue::Kind::Bool;
            value.boolean = true;
        } else if (consumeWord("false")) {
            value.kind = JsonValue::Kind::Bool;
        } else if (c == '-' || std::isdigit(static_cast<unsigned char>(c))) {
            const char *start = text_.c_str() + pos_;
            char *end = nullptr;
            value.kind = JsonValue::Kind::Number;
            value.number = std::strtod(start, &end);
            pos_ += static_cast<size_t>(end - start);
        } else {
            fail(std::string("unexpected '") + c + "'");
        }
        return value;
    }

    const std::string &text_;
    size_t pos_ = 0;
};

} // namespace

const JsonValue &JsonValue::at(const std::string &name) const
{
    auto it = members.find(name);
    if (it == members.end())
        throw std::runtime_error("JSON: no member " + name);
    return it->second;
}

JsonValue parseJson(const std::string &document)
{
    return Parser(document).document();
}

} // namespace zm4::cli::testing
