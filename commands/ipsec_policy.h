// IPsec policy commands: the policy "block+ESP" with rule and filter list "Brek".
#pragma once

// Creates the policy, filter action, filter list and rule (seven netsh commands).
void write_initial_policy();
// Assigns the policy.
void activate_policy();
// Unassigns the policy.
void deactivate_policy();
// Unassigns the policy and deletes rule, filter list and filter action.
void erase_policy();
// Lists the filter list "Brek" with every blocked address.
void show_blocked_hosts();
