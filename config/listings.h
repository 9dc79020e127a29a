// Configuration listings: the whitelists and thresholds in effect, for the operator.
#pragma once

// Lists whitelist_IP, one indexed line per entry.
void show_whitelisted_addresses();
// Prints the six thresholds, then lists whitelist_user.
void show_whitelisted_user_names();
