// PLACEHOLDER: the operator letters, banner and help arrive with their own issue. Until then
// no letter is acted upon and nothing is printed.
#include "console/operator_commands.h"

int run_operator_commands(int, wchar_t **)
{
    return 0;
}

void print_key_help() {}

void print_help() {}
