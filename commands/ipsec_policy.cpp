// PLACEHOLDER: the IPsec policy commands arrive with their own issue.
#include "commands/ipsec_policy.h"

void write_initial_policy() {}
void activate_policy() {}
void deactivate_policy() {}
void erase_policy() {}
void show_blocked_hosts() {}
