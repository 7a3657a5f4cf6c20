// A strict little JSON parser for checking the tool's --json output: it
// rejects anything that is not one well-formed JSON document.
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace zm4::cli::testing {

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    bool has(const std::string &name) const { return members.count(name) != 0; }
    const JsonValue &at(const std::string &name) const;
    const JsonValue &operator[](size_t index) const { return items.at(index); }
};

// Throws std::runtime_error with the position of the first error.
JsonValue parseJson(const std::string &document);

} // namespace zm4::cli::testing
