// Argument helpers: numbers and image arguments.
#include <cstdio>
#include <cstring>
#include <string>

#include "common/error.h"
#include "common/number.h"
#include "romwright/front_end.h"

uint32_t number_argument(const char* word, const char* text, uint32_t min, uint32_t max, std::string* warning) {
    uint32_t value = 0;
    bool fits = true;
    const char* p = text + 2;
    bool read = (std::strncmp(text, "0x", 2) == 0 && scan_number(p, 16, &value, &fits)) ||
                (p = text + 2, std::strncmp(text, "0X", 2) == 0 && scan_number(p, 16, &value, &fits)) ||
                (p = text, scan_number(p, 10, &value, &fits));
    if (!read)
        throw failure(error_kind::usage,
                      strprintf("Argument to %s must be a hex or decimal number.  %s not allowed\n", word, text));
    warning->clear();
    if (value < min)
        *warning = strprintf("You entered  %s %s. Value must be greater than %u (0x%x)\n", word, text, min, min);
    else if (value > max)
        *warning = strprintf("You entered  %s %s. Value must be less than %u (0x%x)\n", word, text, max, max);
    return value;
}

bool get_binfile_type_and_name(const char* arg, image_type* type, std::string* name) {
    auto is_separator = [](char c) { return c == '-' || c == ':' || c == ' '; };
    // The type word: from after the leading '-' up to the first separator.
    const char* word = *arg == '-' ? arg + 1 : arg;
    size_t length = 0;
    while (word[length] && !is_separator(word[length]))
        ++length;
    const std::string type_word(word, length);
    if (type_word == "fvpd")
        *type = image_type::vpd;
    else if (type_word == "finit")
        *type = image_type::init;
    else if (type_word == "f")
        *type = image_type::full;
    else
        usage_error("ERROR: Unknown binary file type\n");
    // The file name: everything behind the run of separators, verbatim.
    const char* p = word + length;
    while (*p && is_separator(*p))
        ++p;
    if (!*p)
        return false;
    *name = p;
    return true;
}
