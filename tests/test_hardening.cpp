// Attacker-chosen texts on the whole road, as on a server: tosmire-ips-sim.exe follows the
// simulated Security log while failed logons arrive whose user, domain and authentication
// package hold quotes, terminal escape sequences, C1 controls, a NUL and 500 characters. They
// may reach netsh only inside the one quoted description of the block command, and the console
// (here its output file) only as harmless text.
#include "tests/block_support.h"
#include "tools/evtsim/evtsim.h"
#include "console/output.h"

namespace {

const wchar_t parameters_key[] = L"SYSTEM\\CurrentControlSet\\Services\\tosmire.IPS\\Parameters";
const wchar_t prefix[] = L"netsh ipsec static add filter filterlist=Brek srcaddr=me dstaddr=";
const wchar_t suffix[] = L"\" protocol=ANY mirrored=Yes";

// One argument as the C runtime splits a command line back into argv.
std::wstring quote_arg(const std::wstring &text)
{
    std::wstring quoted = L"\"";
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        for (; i < text.size() && text[i] == L'\\'; ++i)
            ++backslashes;
        if (i == text.size()) {
            quoted.append(backslashes * 2, L'\\');
            break;
        }
        if (text[i] == L'"')
            quoted.append(backslashes * 2 + 1, L'\\');
        else
            quoted.append(backslashes, L'\\');
        quoted += text[i];
    }
    return quoted + L"\"";
}

struct Attack {
    std::wstring address, user, domain, package;
};

std::wstring every_fifty(wchar_t fill, const wchar_t *insert)
{
    std::wstring text(500, fill);
    for (size_t at = 25; at + wcslen(insert) < text.size(); at += 50)
        text.replace(at, wcslen(insert), insert);
    return text;
}

const Attack attacks[] = {
    {L"203.0.113.11", L"x\" dstaddr=192.0.2.1 description=\"y", L"D\\\" protocol=TCP \\\"", L"NTLM\" mirrored=No x=\""},
    {L"203.0.113.12", L"\x1b[2J\x1b[H\x1b]0;owned\x07", L"\x1b[31mRED", L"Kerb\x1b(0"},
    {L"203.0.113.13", L"\x9b" L"31m\x85next\x90", L"\x9d" L"0;title\x9c", L"\x7f\x08\x08\x0c"},
    {L"203.0.113.14", every_fifty(L'U', L"\" x=\""), every_fifty(L'D', L"\x1b[0m"), every_fifty(L'P', L"\\\"")},
};
// Its user name holds a NUL: the record's strings end there, the rest takes the next position.
const wchar_t nul_address[] = L"203.0.113.15";
// Not an address at all: it must not reach netsh, and it is printed harmlessly.
const wchar_t escape_address[] = L"203.0.113.16\x1b[2J\x1b[31m";

void evtlog(const std::wstring &arguments)
{
    ChildResult run = run_redirected(L"evtlog.exe " + arguments);
    ASSERT_TRUE(run.finished && run.exit_code == 0) << run.output;
}

// A 4625 record as Windows writes it for a user name with a NUL after "evil".
void append_nul_record()
{
    const wchar_t *strings[22] = {L"S-1-0-0", L"-", L"-", L"0x0", L"S-1-0-0", L"evil", L"tail", L"0xc000006d",
                                  L"%%2313", L"0xc000006a", L"8", L"NtLmSsp ", L"NTLM", L"WORKSTATION", L"-",
                                  L"-", L"0", L"0x0", L"-", nul_address, L"0", L"0"};
    SimRecord fields = {L"Microsoft-Windows-Security-Auditing", nullptr, 4625, EVENTLOG_AUDIT_FAILURE, 12544, 0,
                        nullptr, 22, strings, nullptr, 0};
    std::vector<BYTE> record(4096);
    DWORD length = 0;
    ASSERT_EQ(0u, sim_build_record(fields, record.data(), 4096, &length));
    reinterpret_cast<EVENTLOGRECORD *>(record.data())->NumStrings = 21; // 21 strings, the last two from one
    record.resize(length);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(0u, sim_append_records(sim_security, record.data(), length));
}

std::string read_bytes(const std::wstring &path)
{
    std::string bytes;
    FILE *file = _wfopen(path.c_str(), L"rb");
    char buffer[65536];
    for (size_t n; file != nullptr && (n = fread(buffer, 1, sizeof(buffer), file)) > 0;)
        bytes.append(buffer, n);
    if (file != nullptr)
        fclose(file);
    return bytes;
}

// The ASCII of the output, zero bytes dropped: enough to wait for a line.
std::wstring ascii_of(const std::string &bytes)
{
    std::wstring text;
    for (char c : bytes)
        if (c != 0 && c != '\r')
            text += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return text;
}

// The monitor's UTF-16 output from its waiting line on (before it, the auditpol it started
// wrote narrow text into the same file).
std::wstring wide_from_waiting_line(const std::string &bytes)
{
    const std::wstring marker = L"# Waiting for new events";
    const std::string pattern(reinterpret_cast<const char *>(marker.data()), marker.size() * sizeof(wchar_t));
    size_t at = bytes.find(pattern);
    if (at == std::string::npos)
        return L"";
    return std::wstring(reinterpret_cast<const wchar_t *>(bytes.data() + at), (bytes.size() - at) / sizeof(wchar_t));
}

// A character that a terminal would act on: C0 controls but tab, line feed and carriage return,
// DEL and the C1 controls (ESC and CSI among them), and NUL.
bool is_control(wchar_t c)
{
    return (c < 0x20 && c != L'\t' && c != L'\n' && c != L'\r') || (c >= 0x7F && c <= 0x9F);
}

std::wstring shown(const std::wstring &text)
{
    std::wstring out;
    for (wchar_t c : text) {
        wchar_t hex[8];
        if (is_control(c)) {
            swprintf(hex, 8, L"<%02X>", static_cast<unsigned>(c));
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

TEST(HostileTexts, ReachNetshAsOneQuotedDescriptionAndTheConsoleAsHarmlessText)
{
    SimFolder folder;
    // Two clear-text failures block; nothing of ours is whitelisted.
    ASSERT_EQ(0, RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_key, L"whitelist_IP", REG_MULTI_SZ, L"10.0.0.9\0", 20));
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_key, L"whitelist_user", REG_MULTI_SZ, L"admin\0", 14);
    for (const wchar_t *name : {L"max_logon_count_normal_net_clear_text", L"max_logon_count_whitelist_net_clear_text",
                                L"max_logon_count_normal_net"}) {
        DWORD two = 2;
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_key, name, REG_DWORD, &two, 4);
    }
    evtlog(L"4624 --address 192.0.2.1"); // the newest record at start

    const std::wstring out_path = folder.file(L"monitor.txt");
    BackgroundMonitor monitor;
    ASSERT_TRUE(monitor.start(out_path));
    auto wait_for = [&](const wchar_t *piece, size_t times) {
        wait_until([&] { return count_of(ascii_of(read_bytes(out_path)), piece) >= times; });
    };
    wait_for(L"# Waiting for new events... [", 1);
    for (const Attack &a : attacks)
        evtlog(L"4625 --logon-type 8 --count 2 --address " + a.address + L" --user " + quote_arg(a.user) +
               L" --domain " + quote_arg(a.domain) + L" --auth " + quote_arg(a.package));
    append_nul_record();
    evtlog(L"4625 --logon-type 8 --count 2 --address " + quote_arg(escape_address));
    wait_for(L"# exit:", std::size(attacks) + 1);
    wait_for(L"Not a plain address", 1);
    monitor.stop();
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key);

    std::wstring out = wide_from_waiting_line(read_bytes(out_path));
    std::erase(out, L'\r'); // the text mode's line ends
    ASSERT_FALSE(out.empty()) << ascii_of(read_bytes(out_path));
    std::vector<JournalEntry> journal;
    SimStore store;
    ASSERT_TRUE(journal_read(folder.file(L"netsh.log"), journal) && store_load(folder.file(L"netsh-store.txt"), store));

    // netsh: one command per attacker, each with exactly one quoted argument, the description,
    // carried out as the filter of that address.
    std::vector<std::wstring> addresses;
    for (const Attack &a : attacks)
        addresses.push_back(a.address);
    addresses.push_back(nul_address);
    ASSERT_EQ(addresses.size(), journal.size()) << shown(out);
    ASSERT_EQ(addresses.size(), store.filters.size()) << shown(out);
    for (size_t i = 0; i < journal.size(); ++i) {
        const std::wstring cmd = as_formatted(journal[i].cmdline);
        const std::wstring head = prefix + addresses[i] + L" description=\"" + addresses[i] + L" ";
        EXPECT_EQ(0u, journal[i].exit_code) << shown(cmd);
        EXPECT_LE(cmd.size(), 511u) << shown(cmd);
        EXPECT_TRUE(cmd.starts_with(head) && cmd.ends_with(suffix)) << shown(cmd);
        EXPECT_EQ(2, std::count(cmd.begin(), cmd.end(), L'"')) << shown(cmd);
        const SimFilter &f = store.filters[i];
        EXPECT_EQ(addresses[i] + L"|ANY|Brek", f.dstaddr + L"|" + f.protocol + L"|" + f.filterlist);
        EXPECT_TRUE(f.mirrored);
        const size_t open = cmd.find(L'"'), close = cmd.rfind(L'"');
        EXPECT_EQ(cmd.substr(open + 1, close - open - 1), f.description) << shown(cmd);
        for (wchar_t c : f.description)
            EXPECT_TRUE(c == L'\n' || !is_control(c)) << shown(f.description);
    }
    EXPECT_NE(std::wstring::npos, store.filters[4].description.find(L"tail\\evil\n")) << shown(store.filters[4].description);

    // The console: every attacker's first failure and block shown, and nothing a terminal acts on.
    for (const std::wstring &address : addresses)
        EXPECT_EQ(1u, count_of(out, L"from IP:" + address + L", Type: 8\n")) << address << L"\n" << shown(out);
    EXPECT_EQ(1u, count_of(out, L"!! Not a plain address, no filter added: 203.0.113.16")) << shown(out);
    size_t controls = std::count_if(out.begin(), out.end(), is_control);
    EXPECT_EQ(0u, controls) << shown(out);
}

// Texts longer than print_out's stack buffer take another path: the same rule holds there.
TEST(HostileTexts, LongPrintedTextsAreHarmlessToo)
{
    ChildResult child = run_scenario("long");
    ASSERT_TRUE(child.finished && child.exit_code == 0) << child.output;
    const std::wstring expected = L"[" + every_fifty(L'a', L"?[2J") + std::wstring(10000, L'b') + L"?]\n";
    EXPECT_EQ(expected, child.output);
}

} // namespace

// "long": one print of more than 10,000 characters with escape sequences and controls in it.
int run_child_scenario(const std::string &scenario)
{
    if (scenario != "long")
        return 99;
    const std::wstring text = every_fifty(L'a', L"\x1b[2J") + std::wstring(10000, L'b') + L"\x9b";
    return print_out(L"[%ls]\n", text.c_str()) > 10000 ? 0 : 1;
}
