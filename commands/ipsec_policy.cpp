// IPsec policy commands: the netsh command lines that write, activate, deactivate, erase and
// show the policy "block+ESP", whose rule "Brek" ties the filter list "Brek" to the
// filter action "block". Every command is echoed and waited for; exit codes are not
// examined, so each operation runs all of its commands whatever netsh answers. Each operation
// acts on the store that the configuration names (commands/ipsec_store.h).
#include "commands/ipsec_policy.h"
#include "commands/ipsec_store.h"
#include <cstddef>

static const wchar_t unassign_command[] = L"netsh ipsec static set policy name=\"block+ESP\" assign=no";

// netsh refuses a rule whose filter list is empty, so the list gets a filter for the probe
// address 6.6.6.6 while the rule is created, and loses it right after.
static const wchar_t *const initial_policy_commands[] = {
    L"netsh ipsec static add policy name=\"block+ESP\" description=\"Brek default policy\"",
    L"netsh ipsec static add filteraction name=\"block\" description=\"blocks the packets\" action=block",
    L"netsh ipsec static add filterlist Brek description=\"Blacklist filter of blocked hosts, created by Brek. "
    L"\ntosmire's Intrusion Prevention System\"",
    L"netsh ipsec static add filter filterlist=\"Brek\" srcaddr=me dstaddr=6.6.6.6 description=\"6.6.6.6\" "
    L"protocol=ANY mirrored=yes",
    L"netsh ipsec static add rule name=\"Brek\" policy=\"block+ESP\" filterlist=\"Brek\" filteraction=\"block\"",
    L"netsh ipsec static delete filter filterlist=\"Brek\" srcaddr=me dstaddr=6.6.6.6",
    L"netsh ipsec static show rule name=\"Brek\" policy=\"block+ESP\" level=verbose",
};

// The policy itself stays in the store: only unassigned, then emptied of rule, list and action.
static const wchar_t *const erase_policy_commands[] = {
    unassign_command,
    L"netsh ipsec static delete rule name=\"Brek\" policy=\"block+ESP\"",
    L"netsh ipsec static delete filterlist name=\"Brek\"",
    L"netsh ipsec static delete filteraction name=\"block\"",
};

static void run_policy_commands(const wchar_t *const *commands, size_t count)
{
    run_ipsec_commands(commands, count, true, INFINITE);
}

static void run_policy_command(const wchar_t *command)
{
    run_policy_commands(&command, 1);
}

void write_initial_policy()
{
    run_policy_commands(initial_policy_commands, sizeof(initial_policy_commands) / sizeof(initial_policy_commands[0]));
}

void activate_policy()
{
    run_policy_command(L"netsh ipsec static set policy name=\"block+ESP\" assign=yes");
}

void deactivate_policy()
{
    run_policy_command(unassign_command);
}

void erase_policy()
{
    run_policy_commands(erase_policy_commands, sizeof(erase_policy_commands) / sizeof(erase_policy_commands[0]));
}

void show_blocked_hosts()
{
    run_policy_command(L"netsh ipsec static show filterlist name=Brek level=verbose");
}
