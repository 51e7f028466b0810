#include "driver/long_options.h"

#include <cstring>
#include <string>

#include "driver/option_table.h"
#include "io/fail.h"

void apply_long_option(const char* arg, RunOptions* options) {
    const char* equals = strchr(arg, '=');
    const std::string name(arg + 2, equals ? (size_t)(equals - arg - 2) : strlen(arg + 2));
    const OptionSpec* option = find_long_option(name);
    if (!option) failf("Unknown option --%s.\n%s", name.c_str(), usage_text().c_str());
    if (option->value == OptionValue::required && !equals)
        failf("Option --%s needs a value: --%s=...\n\n", option->name, option->name);
    if (option->value == OptionValue::none && equals) failf("Option --%s takes no value.\n\n", option->name);
    option->set(options, {*option, equals ? equals + 1 : nullptr});
}

std::vector<char*> take_long_options(int argc, char** argv, RunOptions* options) {
    std::vector<char*> rest(argv, argv + (argc > 0 ? 1 : 0));
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const bool is_long = !options_ended && strncmp(argv[i], "--", 2) == 0 && argv[i][2] != '\0';
        if (strcmp(argv[i], "--") == 0) options_ended = true;
        if (is_long)
            apply_long_option(argv[i], options);
        else
            rest.push_back(argv[i]);
    }
    return rest;
}
