#pragma once
// The TypeError texts of argument matching. Free of interpreter types so the
// wording can be checked on its own.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace corvalinth::binding {

// "{full} takes {total} positional arguments but {given} {was|were} given", or
// "{full} takes from {required} to {total} ..." when some are optional.
inline std::string too_many_positional_message(std::string_view full, std::size_t required, std::size_t total,
                                               std::size_t given) {
    std::string text(full);
    text += " takes ";
    if (required != total) text += "from " + std::to_string(required) + " to ";
    text += std::to_string(total) + " positional arguments but " + std::to_string(given);
    text += given == 1 ? " was given" : " were given";
    return text;
}

// "{full} {phrase} '{name}'".
inline std::string quoted_name_message(std::string_view full, std::string_view phrase, std::string_view name) {
    std::string text(full);
    text += " ";
    text += phrase;
    text += " '";
    text += name;
    text += "'";
    return text;
}

inline std::string multiple_values_message(std::string_view full, std::string_view name) {
    return quoted_name_message(full, "got multiple values for argument", name);
}

inline std::string unexpected_keyword_message(std::string_view full, std::string_view key) {
    return quoted_name_message(full, "got an unexpected keyword argument", key);
}

// "{full} missing {m} required positional argument(s): 'a'", "'a' and 'b'",
// "'a', 'b', and 'c'".
inline std::string missing_required_message(std::string_view full, const std::vector<std::string_view>& missing) {
    const std::size_t m = missing.size();
    std::string text(full);
    text += " missing " + std::to_string(m) + " required positional ";
    text += m == 1 ? "argument: " : "arguments: ";
    for (std::size_t i = 0; i < m; ++i) {
        if (i > 0) {
            if (m > 2) text += ",";
            text += " ";
            if (i + 1 == m) text += "and ";
        }
        text += "'";
        text += missing[i];
        text += "'";
    }
    return text;
}

}  // namespace corvalinth::binding
