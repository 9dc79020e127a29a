// Simulated netsh.exe for Wine, whose own netsh accepts every command silently. It carries out
// the "ipsec static" commands that tosmire-ips uses (add, delete and show of policies, filter
// actions, filter lists, filters and rules; set policy; show all; set store) on a store file in the
// simulation folder, and journals every command line it receives (netsh_store.h). Other
// commands are answered as unknown ones.
//
// The command line is taken from GetCommandLineW and split exactly as the Microsoft C runtime
// (msvcrt) splits it for a program's argv, as the real netsh receives it: so a quote or a
// "tag=value" smuggled into a value lands where it would land on Windows. Then, as netsh does:
// context and command words and tag names are matched whole, ignoring case; an argument is
// split into tag and value at its first '='; an argument without '=' takes the tag at its own
// position in the command's tag list (so "add filterlist Brek" names the list); a tag given
// twice rejects the command (netsh's "tag already present" error), nothing is changed.
//
// "netsh -f FILE" runs the commands of a script file, as Windows' netsh does: one command a line,
// written as on the command line after "netsh" and split by the same rules, each journalled as
// "<program> <line>" with its own exit code, then the "-f" command line itself with the exit
// code of the run: that of the first failing command, or 0 (the commands after a failing one
// still run). Blank lines and lines beginning with '#' are skipped. A line ends at its line feed
// (a carriage return before it is dropped): a quote still open there closes with the line, as
// at the end of a command line, so a command never takes text from the next line; a NUL ends
// the line's command too. The file is UTF-16LE with a byte-order mark, or else ANSI text; one
// over 1 MiB, a line over 8,191 characters or a file that does not decode is refused whole,
// before any of its commands runs (exit code 1).
//
// "ipsec static set store location=local|persistent|domain [domain=NAME]" switches the store that
// the following commands of the same run act on (netsh_store.h names the files); as on Windows
// the choice ends with the run, so on the command line it changes nothing. location=domain
// without a name takes the machine's domain: TOSMIRE_SIM_NETSH_DOMAIN names it (a machine under
// Wine is in none); with no machine domain, or a name that is no domain name, the command fails
// as netsh does when it finds no domain controller, and the store stays what it was (the
// commands that follow in the script act on that one).
//
// Output goes to standard output, with carriage return and line feed at line ends; failures
// exit with code 1. TOSMIRE_SIM_NETSH_EXIT (a decimal number) replaces the exit code that the
// command would have had; the command itself is carried out and journalled as usual.
// TOSMIRE_SIM_NETSH_HANG_MS (a decimal number of milliseconds) makes netsh wait that long before
// it does anything, as behind a stuck policy agent; then it carries on as usual.
#include "tools/netsh/netsh_store.h"
#include <cwchar>

// ---- output ----

static void out(const std::wstring &text)
{
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return;
    std::wstring crlf;
    crlf.reserve(text.size() + 16);
    for (wchar_t c : text) {
        if (c == L'\n')
            crlf += L'\r';
        crlf += c;
    }
    DWORD done = 0;
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, crlf.data(), static_cast<DWORD>(crlf.size()), &done, nullptr);
        return;
    }
    // Redirected, a console program writes narrow text in the ANSI code page.
    int size = WideCharToMultiByte(CP_ACP, 0, crlf.data(), static_cast<int>(crlf.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return;
    std::string narrow(size, '\0');
    WideCharToMultiByte(CP_ACP, 0, crlf.data(), static_cast<int>(crlf.size()), narrow.data(), size, nullptr, nullptr);
    WriteFile(handle, narrow.data(), static_cast<DWORD>(narrow.size()), &done, nullptr);
}

static std::wstring quoted(const std::wstring &text)
{
    return L"\"" + text + L"\"";
}

// ---- command line ----

// argv as the Microsoft C runtime builds it: white space (blank, tab) separates arguments
// outside quotes; 2n backslashes before a quote give n backslashes and the quote opens or
// closes quoting; 2n+1 give n backslashes and a literal quote; inside quotes "" gives a
// literal quote and quoting goes on; other backslashes are literal. The program name ends
// at white space, or at the closing quote when it begins with one, with no escapes.
static std::vector<std::wstring> split_command_line(const wchar_t *line)
{
    std::vector<std::wstring> args;
    const wchar_t *p = line;
    std::wstring arg;
    if (*p == L'"') {
        for (++p; *p != L'\0' && *p != L'"'; ++p)
            arg += *p;
        if (*p == L'"')
            ++p;
    } else {
        for (; *p != L'\0' && *p != L' ' && *p != L'\t'; ++p)
            arg += *p;
    }
    args.push_back(arg);
    for (;;) {
        while (*p == L' ' || *p == L'\t')
            ++p;
        if (*p == L'\0')
            break;
        arg.clear();
        bool in_quotes = false;
        for (;;) {
            size_t backslashes = 0;
            while (*p == L'\\') {
                ++backslashes;
                ++p;
            }
            if (*p == L'"') {
                arg.append(backslashes / 2, L'\\');
                if (backslashes % 2 == 1) {
                    arg += L'"';
                    ++p;
                } else if (in_quotes && p[1] == L'"') {
                    arg += L'"';
                    p += 2;
                } else {
                    in_quotes = !in_quotes;
                    ++p;
                }
                continue;
            }
            arg.append(backslashes, L'\\');
            if (*p == L'\0' || (!in_quotes && (*p == L' ' || *p == L'\t')))
                break;
            arg += *p++;
        }
        args.push_back(arg);
    }
    return args;
}

// ---- values ----

static bool is_decimal(const std::wstring &text, unsigned long max, unsigned long &value)
{
    if (text.empty() || text.size() > 10)
        return false;
    unsigned long long v = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        v = v * 10 + (c - L'0');
    }
    if (v > max)
        return false;
    value = static_cast<unsigned long>(v);
    return true;
}

static bool is_ipv4(const std::wstring &text)
{
    size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        size_t end = text.find(L'.', start);
        if ((part < 3) != (end != std::wstring::npos))
            return false;
        std::wstring piece = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        unsigned long value = 0;
        if (piece.size() > 3 || !is_decimal(piece, 255, value))
            return false;
        start = end + 1;
    }
    return true;
}

static bool is_hex_group(const std::wstring &group)
{
    if (group.empty() || group.size() > 4)
        return false;
    for (wchar_t c : group)
        if (!iswxdigit(c))
            return false;
    return true;
}

// Textual IPv6: eight groups of up to four hex digits, one "::" standing for one or more zero
// groups, the last two groups possibly written as a dotted IPv4 address.
static bool is_ipv6(const std::wstring &text)
{
    size_t gap = text.find(L"::");
    if (gap != std::wstring::npos && text.find(L"::", gap + 1) != std::wstring::npos)
        return false;
    std::vector<std::wstring> groups;
    auto split = [&groups](const std::wstring &part) {
        for (size_t start = 0; !part.empty();) {
            size_t end = part.find(L':', start);
            groups.push_back(part.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
            if (end == std::wstring::npos)
                break;
            start = end + 1;
        }
    };
    split(gap == std::wstring::npos ? text : text.substr(0, gap));
    if (gap != std::wstring::npos)
        split(text.substr(gap + 2));
    size_t count = 0;
    for (size_t i = 0; i < groups.size(); ++i) {
        if (i + 1 == groups.size() && groups[i].find(L'.') != std::wstring::npos) {
            if (!is_ipv4(groups[i]))
                return false;
            count += 2;
        } else if (is_hex_group(groups[i])) {
            ++count;
        } else {
            return false;
        }
    }
    return gap == std::wstring::npos ? count == 8 : count < 8;
}

static bool is_host_name(const std::wstring &text)
{
    if (text.empty() || text.size() > 255 || text.front() == L'.' || text.front() == L'-')
        return false;
    bool letter = false;
    for (wchar_t c : text) {
        if ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'))
            letter = true;
        else if (!((c >= L'0' && c <= L'9') || c == L'-' || c == L'.' || c == L'_'))
            return false;
    }
    return letter;
}

// The address forms of srcaddr and dstaddr: me, any, a server keyword, an IPv4 or IPv6
// address, or a host name (the real tool resolves names; the simulation keeps them).
static bool is_address(const std::wstring &text)
{
    static const wchar_t *const keywords[] = {L"me", L"any", L"dns", L"wins", L"dhcp", L"gateway"};
    for (const wchar_t *k : keywords)
        if (same_text(text, k))
            return true;
    return is_ipv4(text) || is_ipv6(text) || is_host_name(text);
}

static bool is_mask(const std::wstring &text)
{
    unsigned long bits = 0;
    return is_ipv4(text) || is_decimal(text, 32, bits);
}

static bool is_port(const std::wstring &text)
{
    unsigned long port = 0;
    return is_decimal(text, 65535, port);
}

static bool parse_yes_no(const std::wstring &text, bool &flag)
{
    if (same_text(text, L"yes") || same_text(text, L"y"))
        flag = true;
    else if (same_text(text, L"no") || same_text(text, L"n"))
        flag = false;
    else
        return false;
    return true;
}

// ANY, ICMP, TCP, UDP, RAW or a protocol number 0-255; kept in capitals.
static bool parse_protocol(const std::wstring &text, std::wstring &protocol)
{
    static const wchar_t *const names[] = {L"ANY", L"ICMP", L"TCP", L"UDP", L"RAW"};
    for (const wchar_t *name : names)
        if (same_text(text, name)) {
            protocol = name;
            return true;
        }
    unsigned long number = 0;
    if (!is_decimal(text, 255, number))
        return false;
    protocol = text;
    return true;
}

static bool parse_action(const std::wstring &text, std::wstring &action)
{
    static const wchar_t *const names[] = {L"permit", L"block", L"negotiate"};
    for (const wchar_t *name : names)
        if (same_text(text, name)) {
            action = name;
            return true;
        }
    return false;
}

// ---- commands ----

enum Tag {
    t_name, t_newname, t_description, t_assign, t_action, t_filterlist, t_filteraction, t_policy, t_srcaddr,
    t_dstaddr, t_protocol, t_mirrored, t_srcmask, t_dstmask, t_srcport, t_dstport, t_level, t_format, t_wide,
    t_location, t_domain,
    t_other, // accepted for the real tool's sake, without effect here
};

struct TagSpec {
    const wchar_t *name;
    Tag tag;
};

struct Args {
    const std::vector<TagSpec> *specs = nullptr;
    std::vector<std::wstring> texts; // the values given, one per argument
    std::vector<int> slots;          // per tag of the command: index into texts, or -1

    const std::wstring *get(Tag tag) const
    {
        for (size_t i = 0; i < specs->size(); ++i)
            if ((*specs)[i].tag == tag && slots[i] >= 0)
                return &texts[slots[i]];
        return nullptr;
    }
};

struct Outcome {
    DWORD code = 0;
    bool changed = false;
};

// Written by set_store on the only thread: the store the next commands act on (taken, and
// emptied, by run) and how "show" names it, for the rest of the run.
static std::wstring g_switch_store;
static std::wstring g_store_label = L"Local Store";

using Handler = Outcome (*)(const Args &, SimStore &);

struct CommandSpec {
    const wchar_t *verb;
    const wchar_t *kind;
    std::vector<TagSpec> tags; // in the real tool's order, which positional arguments follow
    std::vector<Tag> required;
    Handler handler;
};

static Outcome fail(const std::wstring &message)
{
    out(message + L"\n");
    return Outcome{1, false};
}

static Outcome invalid_value(const wchar_t *tag, const std::wstring &value)
{
    return fail(L"The value " + quoted(value) + L" of tag " + quoted(tag) + L" is not valid.");
}

template <typename T> static T *find_named(std::vector<T> &items, const std::wstring &name)
{
    for (T &item : items)
        if (same_text(item.name, name))
            return &item;
    return nullptr;
}

static SimRule *find_rule(SimStore &store, const std::wstring &name, const std::wstring &policy)
{
    for (SimRule &rule : store.rules)
        if (same_text(rule.name, name) && same_text(rule.policy, policy))
            return &rule;
    return nullptr;
}

static size_t filter_count(const SimStore &store, const std::wstring &list)
{
    size_t count = 0;
    for (const SimFilter &filter : store.filters)
        if (same_text(filter.filterlist, list))
            ++count;
    return count;
}

static bool is_all(const std::wstring *name)
{
    return name != nullptr && same_text(*name, L"all");
}

static bool verbose(const Args &args, bool &ok)
{
    ok = true;
    const std::wstring *level = args.get(t_level);
    if (level == nullptr || same_text(*level, L"normal") || same_text(*level, L"n"))
        return false;
    if (same_text(*level, L"verbose") || same_text(*level, L"v"))
        return true;
    ok = false;
    return false;
}

static std::wstring line(const wchar_t *label, const std::wstring &value)
{
    std::wstring text = label;
    text.resize(23, L' ');
    return text + L": " + value + L"\n";
}

static std::wstring show_address(const std::wstring &address)
{
    if (same_text(address, L"me"))
        return L"<My IP Address>";
    if (same_text(address, L"any"))
        return L"<Any IP Address>";
    return address;
}

static std::wstring show_filter(const SimFilter &filter)
{
    auto port = [](const std::wstring &p) { return p.empty() || p == L"0" ? std::wstring(L"ANY") : p; };
    auto mask = [](const std::wstring &m) { return m.empty() ? std::wstring(L"255.255.255.255") : m; };
    return line(L"Description", filter.description) + line(L"Mirrored", filter.mirrored ? L"YES" : L"NO") +
           line(L"Source IP Address", show_address(filter.srcaddr)) + line(L"Source Mask", mask(filter.srcmask)) +
           line(L"Destination IP Address", show_address(filter.dstaddr)) +
           line(L"Destination Mask", mask(filter.dstmask)) + line(L"Protocol", filter.protocol) +
           line(L"Source Port", port(filter.srcport)) + line(L"Destination Port", port(filter.dstport)) + L"\n";
}

static std::wstring show_filterlist(const SimStore &store, const SimFilterList &list, bool full)
{
    std::wstring text = L"\n" + line(L"FilterList Name", list.name) + line(L"Description", list.description) +
                        line(L"Store", g_store_label) +
                        line(L"No. of Filters", std::to_wstring(filter_count(store, list.name)));
    if (full) {
        text += L"Filter(s)\n---------\n";
        for (const SimFilter &filter : store.filters)
            if (same_text(filter.filterlist, list.name))
                text += show_filter(filter);
    }
    return text;
}

static std::wstring show_filteraction(const SimFilterAction &action)
{
    std::wstring upper = action.action;
    for (wchar_t &c : upper)
        c = towupper(c);
    return L"\n" + line(L"FilterAction Name", action.name) + line(L"Description", action.description) +
           line(L"Store", g_store_label) + line(L"Action", upper);
}

static std::wstring show_rule(SimStore &store, const SimRule &rule, bool full)
{
    std::wstring text = L"\n" + line(L"Rule Name", rule.name) + line(L"Policy Name", rule.policy) +
                        line(L"FilterList Name", rule.filterlist) + line(L"FilterAction Name", rule.filteraction);
    if (full) {
        if (SimFilterList *list = find_named(store.filterlists, rule.filterlist))
            text += show_filterlist(store, *list, true);
        if (SimFilterAction *action = find_named(store.filteractions, rule.filteraction))
            text += show_filteraction(*action);
    }
    return text;
}

static std::wstring show_policy(SimStore &store, const SimPolicy &policy, bool full)
{
    size_t rules = 0;
    for (const SimRule &rule : store.rules)
        if (same_text(rule.policy, policy.name))
            ++rules;
    std::wstring text = L"\n" + line(L"Policy Name", policy.name) + line(L"Description", policy.description) +
                        line(L"Store", g_store_label) + line(L"Assigned", policy.assigned ? L"YES" : L"NO") +
                        line(L"No. of Rules", std::to_wstring(rules));
    if (full)
        for (const SimRule &rule : store.rules)
            if (same_text(rule.policy, policy.name))
                text += show_rule(store, rule, false);
    return text;
}

// -- policy --

static Outcome add_policy(const Args &args, SimStore &store)
{
    const std::wstring &name = *args.get(t_name);
    if (name.empty() || is_all(&name))
        return invalid_value(L"name", name);
    if (find_named(store.policies, name) != nullptr)
        return fail(L"Policy with name " + quoted(name) + L" already exists.");
    SimPolicy policy{name, args.get(t_description) ? *args.get(t_description) : std::wstring(), false};
    if (const std::wstring *assign = args.get(t_assign))
        if (!parse_yes_no(*assign, policy.assigned))
            return invalid_value(L"assign", *assign);
    // The local store has at most one assigned policy.
    if (policy.assigned)
        for (SimPolicy &other : store.policies)
            other.assigned = false;
    store.policies.push_back(policy);
    return Outcome{0, true};
}

static Outcome set_policy(const Args &args, SimStore &store)
{
    const std::wstring &name = *args.get(t_name);
    SimPolicy *policy = find_named(store.policies, name);
    if (policy == nullptr)
        return fail(L"Policy with name " + quoted(name) + L" does not exist.");
    bool assigned = policy->assigned;
    if (const std::wstring *assign = args.get(t_assign))
        if (!parse_yes_no(*assign, assigned))
            return invalid_value(L"assign", *assign);
    if (const std::wstring *newname = args.get(t_newname)) {
        SimPolicy *other = find_named(store.policies, *newname);
        if (newname->empty() || (other != nullptr && other != policy))
            return invalid_value(L"newname", *newname);
        for (SimRule &rule : store.rules)
            if (same_text(rule.policy, policy->name))
                rule.policy = *newname;
        policy->name = *newname;
    }
    if (const std::wstring *description = args.get(t_description))
        policy->description = *description;
    if (assigned)
        for (SimPolicy &other : store.policies)
            other.assigned = false;
    policy->assigned = assigned;
    return Outcome{0, true};
}

static Outcome delete_policy(const Args &args, SimStore &store)
{
    const std::wstring &name = *args.get(t_name);
    SimPolicy *policy = find_named(store.policies, name);
    if (policy == nullptr)
        return fail(L"Policy with name " + quoted(name) + L" does not exist.");
    std::wstring exact = policy->name;
    std::erase_if(store.rules, [&exact](const SimRule &rule) { return same_text(rule.policy, exact); });
    std::erase_if(store.policies, [&exact](const SimPolicy &p) { return same_text(p.name, exact); });
    return Outcome{0, true};
}

static Outcome show_policies(const Args &args, SimStore &store)
{
    bool ok = true;
    bool full = verbose(args, ok);
    if (!ok)
        return invalid_value(L"level", *args.get(t_level));
    const std::wstring &name = *args.get(t_name);
    std::wstring text;
    for (const SimPolicy &policy : store.policies)
        if (is_all(&name) || same_text(policy.name, name))
            text += show_policy(store, policy, full);
    if (text.empty())
        return fail(is_all(&name) ? L"No Policies exist." : L"Policy with name " + quoted(name) + L" does not exist.");
    out(text + L"\n");
    return Outcome{};
}

// -- filter action --

static Outcome add_filteraction(const Args &args, SimStore &store)
{
    const std::wstring &name = *args.get(t_name);
    if (name.empty() || is_all(&name))
        return invalid_value(L"name", name);
    if (find_named(store.filteractions, name) != nullptr)
        return fail(L"Filter Action with name " + quoted(name) + L" already exists.");
    SimFilterAction action{name, args.get(t_description) ? *args.get(t_description) : std::wstring(), L"negotiate"};
    if (const std::wstring *given = args.get(t_action))
        if (!parse_action(*given, action.action))
            return invalid_value(L"action", *given);
    store.filteractions.push_back(action);
    return Outcome{0, true};
}

static Outcome delete_filteraction(const Args &args, SimStore &store)
{
    const std::wstring &name = *args.get(t_name);
    SimFilterAction *action = find_named(store.filteractions, name);
    if (action == nullptr)
        return fail(L"Filter Action with name " + quoted(name) + L" does not exist.");
    for (const SimRule &rule : store.rules)
        if (same_text(rule.filteraction, name))
            return fail(L"Filter Action " + quoted(name) + L" is used by rule " + quoted(rule.name) + L" of policy " +
                        quoted(rule.policy) + L" and cannot be deleted.");
    std::erase_if(store.filteractions, [&name](const SimFilterAction &a) { return same_text(a.name, name); });
    return Outcome{0, true};
}

static Outcome show_filteractions(const Args &args, SimStore &store)
{
    bool ok = true;
    verbose(args, ok);
    if (!ok)
        return invalid_value(L"level", *args.get(t_level));
    const std::wstring &name = *args.get(t_name);
    std::wstring text;
    for (const SimFilterAction &action : store.filteractions)
        if (is_all(&name) || same_text(action.name, name))
            text += show_filteraction(action);
    if (text.empty())
        return fail(is_all(&name) ? L"No Filter Actions exist."
                                  : L"Filter Action with name " + quoted(name) + L" does not exist.");
    out(text + L"\n");
    return Outcome{};
}

// -- filter list --

static Outcome add_filterlist(const Args &args, SimStore &store)
{
    const std::wstring &name = *args.get(t_name);
    if (name.empty() || is_all(&name))
        return invalid_value(L"name", name);
    if (find_named(store.filterlists, name) != nullptr)
        return fail(L"Filter List with name " + quoted(name) + L" already exists.");
    store.filterlists.push_back(
        SimFilterList{name, args.get(t_description) ? *args.get(t_description) : std::wstring()});
    return Outcome{0, true};
}

// Deleting a list deletes its filters with it.
static Outcome delete_filterlist(const Args &args, SimStore &store)
{
    const std::wstring &name = *args.get(t_name);
    if (find_named(store.filterlists, name) == nullptr)
        return fail(L"Filter List with name " + quoted(name) + L" does not exist.");
    for (const SimRule &rule : store.rules)
        if (same_text(rule.filterlist, name))
            return fail(L"Filter List " + quoted(name) + L" is used by rule " + quoted(rule.name) + L" of policy " +
                        quoted(rule.policy) + L" and cannot be deleted.");
    std::erase_if(store.filters, [&name](const SimFilter &f) { return same_text(f.filterlist, name); });
    std::erase_if(store.filterlists, [&name](const SimFilterList &l) { return same_text(l.name, name); });
    return Outcome{0, true};
}

static Outcome show_filterlists(const Args &args, SimStore &store)
{
    bool ok = true;
    bool full = verbose(args, ok);
    if (!ok)
        return invalid_value(L"level", *args.get(t_level));
    const std::wstring &name = *args.get(t_name);
    std::wstring text;
    for (const SimFilterList &list : store.filterlists)
        if (is_all(&name) || same_text(list.name, name))
            text += show_filterlist(store, list, full);
    if (text.empty())
        return fail(is_all(&name) ? L"No Filter Lists exist."
                                  : L"Filter List with name " + quoted(name) + L" does not exist.");
    out(text + L"\n");
    return Outcome{};
}

// -- filter --

// Reads the filter tags shared by add and delete; false after printing what is wrong.
static bool read_filter(const Args &args, SimFilter &filter, Outcome &failure)
{
    filter.filterlist = *args.get(t_filterlist);
    filter.srcaddr = *args.get(t_srcaddr);
    filter.dstaddr = *args.get(t_dstaddr);
    if (filter.filterlist.empty() || is_all(&filter.filterlist)) {
        failure = invalid_value(L"filterlist", filter.filterlist);
        return false;
    }
    if (!is_address(filter.srcaddr)) {
        failure = invalid_value(L"srcaddr", filter.srcaddr);
        return false;
    }
    if (!is_address(filter.dstaddr)) {
        failure = invalid_value(L"dstaddr", filter.dstaddr);
        return false;
    }
    struct Check {
        Tag tag;
        const wchar_t *name;
        bool (*valid)(const std::wstring &);
        std::wstring *field;
    } checks[] = {{t_srcmask, L"srcmask", is_mask, &filter.srcmask},
                  {t_dstmask, L"dstmask", is_mask, &filter.dstmask},
                  {t_srcport, L"srcport", is_port, &filter.srcport},
                  {t_dstport, L"dstport", is_port, &filter.dstport}};
    for (Check &check : checks)
        if (const std::wstring *value = args.get(check.tag)) {
            if (!check.valid(*value)) {
                failure = invalid_value(check.name, *value);
                return false;
            }
            *check.field = *value;
        }
    if (const std::wstring *protocol = args.get(t_protocol))
        if (!parse_protocol(*protocol, filter.protocol)) {
            failure = invalid_value(L"protocol", *protocol);
            return false;
        }
    if (const std::wstring *mirrored = args.get(t_mirrored))
        if (!parse_yes_no(*mirrored, filter.mirrored)) {
            failure = invalid_value(L"mirrored", *mirrored);
            return false;
        }
    if (const std::wstring *description = args.get(t_description))
        filter.description = *description;
    return true;
}

// A filter for a list that does not exist creates the list, as netsh does.
static Outcome add_filter(const Args &args, SimStore &store)
{
    SimFilter filter;
    filter.protocol = L"ANY";
    Outcome failure;
    if (!read_filter(args, filter, failure))
        return failure;
    if (SimFilterList *list = find_named(store.filterlists, filter.filterlist))
        filter.filterlist = list->name;
    else
        store.filterlists.push_back(SimFilterList{filter.filterlist, std::wstring()});
    store.filters.push_back(filter);
    return Outcome{0, true};
}

// Deletes every filter of the list that matches the given addresses and whichever of the
// other filter tags are given.
static Outcome delete_filter(const Args &args, SimStore &store)
{
    SimFilter wanted;
    Outcome failure;
    if (!read_filter(args, wanted, failure))
        return failure;
    if (find_named(store.filterlists, wanted.filterlist) == nullptr)
        return fail(L"Filter List with name " + quoted(wanted.filterlist) + L" does not exist.");
    auto given = [&args](Tag tag) { return args.get(tag) != nullptr; };
    auto port_value = [](const std::wstring &p) { return p.empty() ? std::wstring(L"0") : p; };
    size_t before = store.filters.size();
    std::erase_if(store.filters, [&](const SimFilter &f) {
        return same_text(f.filterlist, wanted.filterlist) && same_text(f.srcaddr, wanted.srcaddr) &&
               same_text(f.dstaddr, wanted.dstaddr) && (!given(t_protocol) || f.protocol == wanted.protocol) &&
               (!given(t_mirrored) || f.mirrored == wanted.mirrored) &&
               (!given(t_srcmask) || f.srcmask == wanted.srcmask) &&
               (!given(t_dstmask) || f.dstmask == wanted.dstmask) &&
               (!given(t_srcport) || port_value(f.srcport) == port_value(wanted.srcport)) &&
               (!given(t_dstport) || port_value(f.dstport) == port_value(wanted.dstport));
    });
    if (store.filters.size() == before)
        return fail(L"No filter in Filter List " + quoted(wanted.filterlist) + L" matches the given addresses.");
    return Outcome{0, true};
}

// -- rule --

static Outcome add_rule(const Args &args, SimStore &store)
{
    const std::wstring &name = *args.get(t_name);
    if (name.empty() || is_all(&name))
        return invalid_value(L"name", name);
    SimPolicy *policy = find_named(store.policies, *args.get(t_policy));
    if (policy == nullptr)
        return fail(L"Policy with name " + quoted(*args.get(t_policy)) + L" does not exist.");
    SimFilterList *list = find_named(store.filterlists, *args.get(t_filterlist));
    if (list == nullptr)
        return fail(L"Filter List with name " + quoted(*args.get(t_filterlist)) + L" does not exist.");
    SimFilterAction *action = find_named(store.filteractions, *args.get(t_filteraction));
    if (action == nullptr)
        return fail(L"Filter Action with name " + quoted(*args.get(t_filteraction)) + L" does not exist.");
    // netsh refuses to build a rule on an empty filter list.
    if (filter_count(store, list->name) == 0)
        return fail(L"Filter List " + quoted(list->name) + L" has no filters; a rule needs at least one.");
    if (find_rule(store, name, policy->name) != nullptr)
        return fail(L"Rule with name " + quoted(name) + L" already exists in policy " + quoted(policy->name) + L".");
    store.rules.push_back(SimRule{name, policy->name, list->name, action->name});
    return Outcome{0, true};
}

static Outcome delete_rule(const Args &args, SimStore &store)
{
    const std::wstring &name = *args.get(t_name);
    const std::wstring &policy = *args.get(t_policy);
    SimRule *rule = find_rule(store, name, policy);
    if (rule == nullptr)
        return fail(L"Rule with name " + quoted(name) + L" does not exist in policy " + quoted(policy) + L".");
    store.rules.erase(store.rules.begin() + (rule - store.rules.data()));
    return Outcome{0, true};
}

static Outcome show_rules(const Args &args, SimStore &store)
{
    bool ok = true;
    bool full = verbose(args, ok);
    if (!ok)
        return invalid_value(L"level", *args.get(t_level));
    const std::wstring *name = args.get(t_name);
    const std::wstring &policy = *args.get(t_policy);
    if (find_named(store.policies, policy) == nullptr)
        return fail(L"Policy with name " + quoted(policy) + L" does not exist.");
    std::wstring text;
    for (const SimRule &rule : store.rules)
        if (same_text(rule.policy, policy) && (name == nullptr || is_all(name) || same_text(rule.name, *name)))
            text += show_rule(store, rule, full);
    if (text.empty())
        return fail(name == nullptr || is_all(name)
                        ? L"Policy " + quoted(policy) + L" has no rules."
                        : L"Rule with name " + quoted(*name) + L" does not exist in policy " + quoted(policy) + L".");
    out(text + L"\n");
    return Outcome{};
}

// -- everything --

static Outcome show_all(const Args &args, SimStore &store)
{
    bool ok = true;
    bool full = verbose(args, ok);
    if (!ok)
        return invalid_value(L"level", *args.get(t_level));
    std::wstring text;
    for (const SimPolicy &policy : store.policies)
        text += show_policy(store, policy, full);
    for (const SimFilterList &list : store.filterlists)
        text += show_filterlist(store, list, full);
    for (const SimFilterAction &action : store.filteractions)
        text += show_filteraction(action);
    out(text.empty() ? std::wstring(L"The store holds no IPsec objects.\n") : text + L"\n");
    return Outcome{};
}

// -- store --

static Outcome set_store(const Args &args, SimStore &)
{
    const std::wstring &location = *args.get(t_location);
    const std::wstring *domain = args.get(t_domain);
    if (same_text(location, L"domain")) {
        wchar_t machine[256];
        DWORD length = domain != nullptr ? 0 : sim_variable(L"TOSMIRE_SIM_NETSH_DOMAIN", machine, 256);
        std::wstring store = domain_store_name(domain != nullptr ? *domain : std::wstring(machine, length < 256 ? length : 0));
        if (store.empty())
            return fail(L"The specified domain either does not exist or could not be contacted.");
        g_switch_store = store;
        g_store_label = L"Domain Store";
    } else if (domain != nullptr) {
        return fail(L"The tag \"domain\" is valid only with location=domain.");
    } else if (same_text(location, L"local") || same_text(location, L"persistent")) {
        g_switch_store = same_text(location, L"local") ? L"local" : L"persistent";
        g_store_label = g_switch_store == L"local" ? L"Local Store" : L"Persistent Store";
    } else {
        return invalid_value(L"location", location);
    }
    return Outcome{};
}

// ---- dispatch ----

static const std::vector<CommandSpec> &command_table()
{
    using V = std::vector<TagSpec>;
    static const V policy_add = {{L"name", t_name}, {L"description", t_description}, {L"mmpfs", t_other},
                                 {L"qmpermm", t_other}, {L"mmlifetime", t_other}, {L"activatedefaultrule", t_other},
                                 {L"pollinginterval", t_other}, {L"assign", t_assign}, {L"mmsecmethods", t_other}};
    static const V policy_set = {{L"name", t_name}, {L"newname", t_newname}, {L"description", t_description},
                                 {L"mmpfs", t_other}, {L"qmpermm", t_other}, {L"mmlifetime", t_other},
                                 {L"activatedefaultrule", t_other}, {L"pollinginterval", t_other},
                                 {L"assign", t_assign}, {L"gponame", t_other}, {L"mmsecmethods", t_other}};
    static const V action_add = {{L"name", t_name}, {L"description", t_description}, {L"qmpfs", t_other},
                                 {L"inpass", t_other}, {L"soft", t_other}, {L"action", t_action},
                                 {L"qmsecmethods", t_other}};
    static const V list_add = {{L"name", t_name}, {L"description", t_description}};
    static const V filter_add = {{L"filterlist", t_filterlist}, {L"srcaddr", t_srcaddr}, {L"dstaddr", t_dstaddr},
                                 {L"description", t_description}, {L"protocol", t_protocol},
                                 {L"mirrored", t_mirrored}, {L"srcmask", t_srcmask}, {L"dstmask", t_dstmask},
                                 {L"srcport", t_srcport}, {L"dstport", t_dstport}};
    static const V filter_delete = {{L"filterlist", t_filterlist}, {L"srcaddr", t_srcaddr}, {L"dstaddr", t_dstaddr},
                                    {L"protocol", t_protocol}, {L"srcmask", t_srcmask}, {L"dstmask", t_dstmask},
                                    {L"srcport", t_srcport}, {L"dstport", t_dstport}, {L"mirrored", t_mirrored}};
    static const V rule_add = {{L"name", t_name}, {L"policy", t_policy}, {L"filterlist", t_filterlist},
                               {L"filteraction", t_filteraction}, {L"tunnel", t_other}, {L"conntype", t_other},
                               {L"activate", t_other}, {L"description", t_description}, {L"kerberos", t_other},
                               {L"psk", t_other}, {L"rootca", t_other}};
    static const V named = {{L"name", t_name}};
    static const V rule_named = {{L"name", t_name}, {L"policy", t_policy}};
    static const V show_named = {{L"name", t_name}, {L"level", t_level}, {L"format", t_format}, {L"wide", t_wide}};
    static const V show_rule_tags = {{L"name", t_name}, {L"policy", t_policy}, {L"type", t_other},
                                     {L"level", t_level}, {L"format", t_format}, {L"wide", t_wide}};
    static const V show_all_tags = {{L"level", t_level}, {L"format", t_format}, {L"wide", t_wide}};
    static const V store_tags = {{L"location", t_location}, {L"domain", t_domain}};

    static const std::vector<CommandSpec> table = {
        {L"add", L"policy", policy_add, {t_name}, add_policy},
        {L"set", L"policy", policy_set, {t_name}, set_policy},
        {L"delete", L"policy", named, {t_name}, delete_policy},
        {L"show", L"policy", show_named, {t_name}, show_policies},
        {L"add", L"filteraction", action_add, {t_name}, add_filteraction},
        {L"delete", L"filteraction", named, {t_name}, delete_filteraction},
        {L"show", L"filteraction", show_named, {t_name}, show_filteractions},
        {L"add", L"filterlist", list_add, {t_name}, add_filterlist},
        {L"delete", L"filterlist", named, {t_name}, delete_filterlist},
        {L"show", L"filterlist", show_named, {t_name}, show_filterlists},
        {L"add", L"filter", filter_add, {t_filterlist, t_srcaddr, t_dstaddr}, add_filter},
        {L"delete", L"filter", filter_delete, {t_filterlist, t_srcaddr, t_dstaddr}, delete_filter},
        {L"add", L"rule", rule_add, {t_name, t_policy, t_filterlist, t_filteraction}, add_rule},
        {L"delete", L"rule", rule_named, {t_name, t_policy}, delete_rule},
        {L"show", L"rule", show_rule_tags, {t_policy}, show_rules},
        {L"show", L"all", show_all_tags, {}, show_all},
        {L"set", L"store", store_tags, {t_location}, set_store},
    };
    return table;
}

static Outcome not_found(const std::vector<std::wstring> &args)
{
    std::wstring joined;
    for (size_t i = 1; i < args.size(); ++i)
        joined += (i > 1 ? L" " : L"") + args[i];
    return fail(L"The following command was not found: " + joined + L".");
}

// Binds the arguments behind the command words to the command's tags.
static Outcome bind_tags(const CommandSpec &command, const std::vector<std::wstring> &given, Args &args)
{
    args.specs = &command.tags;
    args.texts.assign(given.size(), std::wstring());
    args.slots.assign(command.tags.size(), -1);
    for (size_t i = 0; i < given.size(); ++i) {
        const std::wstring &argument = given[i];
        size_t equals = argument.find(L'=');
        size_t index = command.tags.size();
        if (equals != std::wstring::npos) {
            std::wstring tag = argument.substr(0, equals);
            for (size_t k = 0; k < command.tags.size(); ++k)
                if (same_text(tag, command.tags[k].name))
                    index = k;
            if (index == command.tags.size())
                return fail(L"The tag " + quoted(tag) + L" is not valid for this command.");
            args.texts[i] = argument.substr(equals + 1);
        } else {
            index = i;
            if (index >= command.tags.size())
                return fail(L"The argument " + quoted(argument) + L" has no tag and no place in this command.");
            args.texts[i] = argument;
        }
        if (args.slots[index] >= 0)
            return fail(L"The tag " + quoted(command.tags[index].name) + L" is given more than once.");
        args.slots[index] = static_cast<int>(i);
    }
    for (Tag tag : command.required)
        if (args.get(tag) == nullptr)
            return fail(L"One or more essential parameters were not entered.\n"
                        L"Verify the required parameters, and reenter them.");
    return Outcome{};
}

static Outcome execute(const std::vector<std::wstring> &args, SimStore &store)
{
    if (args.size() < 5 || !same_text(args[1], L"ipsec") || !same_text(args[2], L"static"))
        return not_found(args);
    for (const CommandSpec &command : command_table()) {
        if (!same_text(args[3], command.verb) || !same_text(args[4], command.kind))
            continue;
        std::vector<std::wstring> rest(args.begin() + 5, args.end());
        Args bound;
        Outcome bind = bind_tags(command, rest, bound);
        if (bind.code != 0)
            return bind;
        return command.handler(bound, store);
    }
    return not_found(args);
}

// Waits as long as TOSMIRE_SIM_NETSH_HANG_MS says, before the store's lock is taken, so that
// other netsh processes are not held up by this one. A service's netsh finds it in the registry.
static void hang_if_asked()
{
    wchar_t text[16];
    DWORD length = sim_variable(L"TOSMIRE_SIM_NETSH_HANG_MS", text, 16);
    unsigned long milliseconds = 0;
    if (length > 0 && length < 16 && is_decimal(text, 0xFFFFFFFEul, milliseconds))
        Sleep(milliseconds);
}

// The store that the commands of this run act on, loaded when the run switches to it.
struct Session {
    std::wstring path;
    SimStore store;
    bool readable = false;
};

static void open_store(Session &session, const std::wstring &store)
{
    session.path = sim_path(store_file_name(store).c_str());
    session.readable = store_load(session.path, session.store);
}

// Runs one command (args as split from a command line) on the session's store.
static Outcome run(const std::vector<std::wstring> &args, Session &session)
{
    if (!session.readable)
        return fail(L"The simulated IPsec store " + session.path + L" cannot be read.");
    Outcome outcome = execute(args, session.store);
    if (outcome.changed && !store_save(session.path, session.store))
        return fail(L"The simulated IPsec store " + session.path + L" cannot be written.");
    if (!g_switch_store.empty())
        open_store(session, g_switch_store);
    g_switch_store.clear();
    return outcome;
}

constexpr LONGLONG max_script_bytes = 1 << 20;
constexpr size_t max_script_line = 8191;   // cmd.exe's limit for a command line

// The script file as text, or a message why it is refused.
static bool read_script(const std::wstring &file, std::wstring &text)
{
    // Shared as the C runtime's fopen shares a file, as netsh opens its script.
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        text = L"The script file " + quoted(file) + L" cannot be opened (CreateFileW() FAILED " +
               std::to_wstring(GetLastError()) + L").";
        return false;
    }
    LARGE_INTEGER size = {};
    std::string bytes;
    DWORD done = 0;
    bool ok = GetFileSizeEx(handle, &size) && size.QuadPart <= max_script_bytes;
    if (ok) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        ok = bytes.empty() ||
             (ReadFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) && done == bytes.size());
    }
    CloseHandle(handle);
    if (!ok) {
        text = size.QuadPart > max_script_bytes ? L"The script file " + quoted(file) + L" is larger than 1 MiB."
                                                : L"The script file " + quoted(file) + L" cannot be read.";
        return false;
    }
    text.clear();
    if (bytes.size() >= 2 && static_cast<BYTE>(bytes[0]) == 0xFF && static_cast<BYTE>(bytes[1]) == 0xFE) {
        ok = bytes.size() % 2 == 0;
        text.resize((bytes.size() - 2) / 2);
        if (ok && !text.empty())
            memcpy(text.data(), bytes.data() + 2, text.size() * sizeof(wchar_t));
    } else if (!bytes.empty()) {
        int chars = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        ok = chars > 0;
        text.resize(ok ? chars : 0);
        if (ok)
            MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), chars);
    }
    if (!ok)
        text = L"The script file " + quoted(file) + L" is neither UTF-16 nor ANSI text.";
    return ok;
}

// Runs the commands of a script file (see the top of this file); the exit code of the run.
static DWORD run_script(const std::wstring &program, const std::wstring &file, Session &session)
{
    std::wstring text;
    if (!read_script(file, text))
        return fail(text).code;
    std::vector<std::wstring> lines;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find(L'\n', start);
        std::wstring line = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        if (line.size() > max_script_line)
            return fail(L"Line " + std::to_wstring(lines.size() + 1) + L" of the script file " + quoted(file) +
                        L" is longer than 8191 characters.")
                .code;
        lines.push_back(line);
        start = end == std::wstring::npos ? text.size() + 1 : end + 1;
    }
    DWORD first_failure = 0;
    for (const std::wstring &line : lines) {
        size_t at = line.find_first_not_of(L" \t");
        if (at == std::wstring::npos || line[at] == L'#')
            continue;
        // Split as the same text after "netsh" on a command line; c_str() ends it at a NUL.
        std::wstring command = program + L" " + line;
        Outcome outcome = run(split_command_line(command.c_str()), session);
        if (first_failure == 0)
            first_failure = outcome.code;
        if (!journal_append(sim_path(L"netsh.log"), command.c_str(), outcome.code))
            out(L"The journal " + sim_path(L"netsh.log") + L" cannot be written.\n");
    }
    return first_failure;
}

int main()
{
    hang_if_asked();
    const wchar_t *command_line = GetCommandLineW();
    std::vector<std::wstring> args = split_command_line(command_line);

    HANDLE lock = sim_lock();
    Session session;
    open_store(session, L"local");
    DWORD code = 0;
    if (args.size() >= 2 && same_text(args[1], L"-f")) {
        // The program as the command line names it, so that script commands are journalled alike.
        const wchar_t *p = command_line;
        if (*p == L'"')
            p = wcschr(p + 1, L'"') != nullptr ? wcschr(p + 1, L'"') + 1 : p + wcslen(p);
        else
            p += wcscspn(p, L" \t");
        code = args.size() == 3 ? run_script(std::wstring(command_line, p), args[2], session)
                                : fail(L"Usage: netsh -f ScriptFile").code;
    } else {
        code = run(args, session).code;
    }

    wchar_t forced[16];
    DWORD length = sim_variable(L"TOSMIRE_SIM_NETSH_EXIT", forced, 16);
    unsigned long value = 0;
    if (length > 0 && length < 16 && is_decimal(forced, 0xFFFFFFFFul, value))
        code = value;

    if (!journal_append(sim_path(L"netsh.log"), command_line, code))
        out(L"The journal " + sim_path(L"netsh.log") + L" cannot be written.\n");
    sim_unlock(lock);
    return static_cast<int>(code);
}
