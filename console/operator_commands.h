// Operator commands: the letters of the command line (and of the debug console), the banner,
// the key list and the full help.
#pragma once

// The one-line banner of the program: name, release date and credit.
extern const wchar_t program_banner[];

// Runs the operator letters of argv[1]; an empty argv[0] marks a call from the debug console.
// 0 lets the program go on, -1 when an executed letter ends the program.
int run_operator_commands(int argc, wchar_t **argv);
// Prints the banner and the list of keys.
void print_key_help();
// Prints the banner and the full list of letters, with the configuration and log-file paths.
void print_help();
