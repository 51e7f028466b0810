// --help and the usage line, written from the option table.
#include <cstring>
#include <string>

#include "driver/option_table.h"

namespace {

constexpr size_t kHelpColumn = 25;  // where the options' texts start

// The operands after the options, with their descriptions in --help.
struct Operand {
    const char* name;
    const char* help;
};
const Operand operands[] = {
    {"tilt_file", "text, one angle in degrees per line (the first number of the line);\n"
                  "line i belongs to section i of the stack, at least NZ lines"},
    {"input_tiltseries", "MRC stack, MODE 0, 1 or 2, either byte order;\n"
                         "section i is the projection at the angle of line i"},
    {"output_rec3d", "MRC volume, MODE 2 floats (or --mode), NX x thickness x NY;\n"
                     "section y is the slice reconstructed from row y of the stack (or --rotx)"},
};
constexpr size_t kOperandColumn = 20;

// head, padded to column (at least one space), then the text's lines, each
// further one indented to column.
std::string entry(const std::string& head, const std::string& text, size_t column) {
    std::string out = "  " + head;
    out += std::string(out.size() < column ? column - out.size() : 1, ' ');
    for (char c : text) {
        out += c;
        if (c == '\n') out += std::string(column, ' ');
    }
    return out + "\n";
}

// The help text with the default phrase in its place: at "{default}", or
// after the last line (on a line of its own when the text ends with one).
std::string option_text(const OptionSpec& option) {
    std::string text = option.help;
    const std::string phrase = default_phrase(option);
    if (phrase.empty()) return text;
    const size_t mark = text.find("{default}");
    if (mark != std::string::npos) return text.replace(mark, strlen("{default}"), phrase);
    return text + (text.ends_with('\n') ? "" : " ") + phrase;
}

std::string build_help() {
    std::string text = usage_line() + "\n" +
                       "Reconstructs a volume from a single-axis tilt series, one slice per row of the stack.\n\n"
                       "Options (values attached: -z256, --exclude=1-3,60; the last occurrence wins):\n";
    for (const OptionSpec& option : option_table()) text += entry(option_head(option), option_text(option), kHelpColumn);
    text += "\nFiles:\n";
    for (const Operand& operand : operands) text += entry(operand.name, operand.help, kOperandColumn);
    return text;
}

}  // namespace

std::string option_head(const OptionSpec& option) {
    if (option_is_short(option))
        return std::string("-") + option.name + (option.value == OptionValue::none ? "" : std::string("<") + option.syntax + ">");
    const std::string name = std::string("--") + option.name;
    switch (option.value) {
        case OptionValue::none: return name;
        case OptionValue::required: return name + "=" + option.syntax;
        case OptionValue::optional: return name + "[=" + option.syntax + "]";
    }
    return name;
}

std::string default_phrase(const OptionSpec& option) {
    if (!option.default_text) return "";
    // A value as typed ("-1", "0,0") follows the word; a description follows a colon.
    const bool literal = strspn(option.default_text, "-0123456789.,") == strlen(option.default_text);
    return std::string("(default") + (literal ? " " : ": ") + option.default_text + ")";
}

std::string usage_line() {
    std::string line = "Usage:\t skarbel ";
    for (const OptionSpec& option : option_table())
        if (option_is_short(option))
            line += std::string("[-") + option.name + (option.syntax ? std::string(" ") + option.syntax : "") + "] ";
    for (const Operand& operand : operands) line += std::string("<") + operand.name + "> ";
    return line;
}

const std::string& usage_text() {
    static const std::string text = "\n" + usage_line() + "\n\n";
    return text;
}

const std::string& help_text() {
    static const std::string text = build_help();
    return text;
}
