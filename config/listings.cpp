// Configuration listings. They only read the configuration globals, and may run on the key
// console's thread: between config_read_begin and config_read_end.
#include "config/listings.h"
#include "config/config.h"
#include "console/output.h"

namespace {

// The entries with their zero-based index, or "EMPTY"; the header line is already printed.
void print_list(const TextList &list)
{
    const uint64_t count = list.items != nullptr ? list.count : 0;
    if (count == 0) {
        print_out(L"EMPTY\n\n");
        return;
    }
    print_out(L"\n\n");
    for (uint64_t i = 0; i < count; ++i)
        print_out(L"[%4llu] %ls\n", static_cast<unsigned long long>(i), list.items[i]);
    print_out(L"\n");
}

} // namespace

void show_whitelisted_addresses()
{
    set_console_color(color_heading);
    print_out(L"\n# IP addresses on the whitelist:");
    reset_console_color();
    config_read_begin();
    print_list(whitelist_IP);
    config_read_end();
}

void show_whitelisted_user_names()
{
    config_read_begin();
    set_console_color(color_heading);
    print_out(L"# max logon count for network logon          normal:%2u, whitelist users:%2u\n"
              L"# max logon count for network clear text     normal:%2u, whitelist users:%2u\n"
              L"# max logon count for Remote Desktop         normal:%2u, whitelist users:%2u\n",
              max_logon_count_normal_net, max_logon_count_whitelist_net,
              max_logon_count_normal_net_clear_text, max_logon_count_whitelist_net_clear_text,
              max_logon_count_normal_RDP, max_logon_count_whitelist_RDP);
    print_out(L"\n# User names on the whitelist:");
    reset_console_color();
    print_list(whitelist_user);
    config_read_end();
}
