// The command line's option forms: --song, --info, --help, --version.
#pragma once

// For a command line whose first argument starts with "--".
int td_options_main(int argc, char** argv);
