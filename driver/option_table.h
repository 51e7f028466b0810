#pragma once
// Every option of the program and of the Python module, declared once: its
// name, value, help, default, units, check and the field it sets. --help, the
// usage line and the module's keywords and docstring are written from here.
#include <span>
#include <string>
#include <string_view>

#include "driver/options.h"

// Whether an option takes a value: -z256, --exclude=LIST, --position[=BIN].
enum class OptionValue { none, required, optional };

// How a keyword of the Python module gives its option's value.
enum class KeywordType {
    none,     // not a keyword: the module refuses it as an unknown option
    value,    // None leaves the option out; True gives a flag (False leaves it
              // out); anything else is the value's text, a sequence's items
              // joined by commas
    integer,  // an integer that fits 32 bits
    method,   // "wbp" leaves the option out, "sirt" gives it
};

struct ModuleKeyword {
    const char* name = nullptr;
    KeywordType type = KeywordType::none;
    const char* shown_default = "None";  // as help() shows it; every default leaves the option out
    const char* doc = nullptr;           // lines separated by '\n'
};

struct OptionSpec;

// The text given with an option (null when none was), and the checks its
// setter makes of it; each failure ends with the option's own message.
struct OptionArgument {
    const OptionSpec& option;
    const char* text;

    // "Bad --NAME value "TEXT": [REASON; ]expected EXPECTED.", status 255.
    [[noreturn]] void bad(const char* reason = nullptr) const;
    // A whole number from lo to hi making up the whole text.
    long whole(long lo, long hi) const;
    // A finite decimal number making up the whole text.
    double finite() const;
    // "FIRST,SECOND" (reason: why not); with one_allowed, "FIRST" alone leaves second as it is.
    void two_numbers(double* first, double* second, bool one_allowed, const char* reason = nullptr) const;
    // A single-letter option's base-10 value within 32 bits; none is a usage error.
    int int32() const;
};

struct OptionSpec {
    const char* name;          // "z" for -z, "exclude" for --exclude
    OptionValue value;
    const char* syntax;        // the value as --help names it: "thickness", "LIST", "BIN"
    const char* help;          // --help's lines, '\n' between them; "{default}" places the default inside
    const char* default_text;  // what holds without the option; null: none is shown
    const char* units;         // of the value, or null
    const char* expected;      // what a bad value's message says the value must be
    void (*set)(RunOptions* options, const OptionArgument& value);
    ModuleKeyword keyword;
};

std::span<const OptionSpec> option_table();

bool option_is_short(const OptionSpec& option);
// The long option of that name (without "--") or the single letter, or null.
const OptionSpec* find_long_option(std::string_view name);
const OptionSpec* find_short_option(char letter);

// "-z<thickness>", "--exclude=LIST", "--position[=BIN]", "--rotx".
std::string option_head(const OptionSpec& option);
// "(default 2)" or "(default: NX of the stack)"; empty without a default.
std::string default_phrase(const OptionSpec& option);

// "Usage:\t skarbel [-z thickness] ... <output_rec3d> ", without a line end.
std::string usage_line();
// The text printed on a bad command line.
const std::string& usage_text();
// The text of --help.
const std::string& help_text();
