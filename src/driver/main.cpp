#include "driver/driver.h"
#include "platform/platform.h"

#include <cstdio>

int main(int argc, char **argv)
{
    set_binary_output();
    // An exec'd process may be handed no argument vector at all.
    if (argc < 2)
        print_usage(argc > 0 ? argv[0] : "");
    install_signal_cleanup();
    run_options options;
    run_state state;
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        if (argument[0] != '-')
            process_file(argument, &options, &state);
        else if (!apply_option(&options, argument))
            std::fprintf(stderr, "A invalid option was ignored. '%s'\n", argument);
    }
    return 0;
}
