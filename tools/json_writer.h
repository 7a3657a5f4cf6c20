// A small streaming JSON writer for the subcommands' --json output: it places
// the commas and escapes strings, so each subcommand only states its fields.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zm4::cli {

class JsonWriter {
public:
    JsonWriter &beginObject();
    JsonWriter &endObject();
    JsonWriter &beginArray();
    JsonWriter &endArray();
    JsonWriter &key(std::string_view name);
    JsonWriter &value(std::string_view text);
    JsonWriter &value(const char *text) { return value(std::string_view(text)); }
    JsonWriter &value(uint64_t number);
    JsonWriter &value(bool flag);
    JsonWriter &null();

    // The document so far, ending in a newline once every object and array is closed.
    std::string str() const;

private:
    void beforeValue();
    JsonWriter &close(char bracket);
    void indent();

    std::string out_;
    // Per open object or array: whether it has a member yet.
    std::vector<bool> hasMember_;
    bool afterKey_ = false;
};

} // namespace zm4::cli
