// The failure lines of the event record dump on a real console (run under a pseudo-terminal):
// each in the error colour, as read back from the screen, and the rest of the dump after it in
// the default colour.
#include "config/event_dump.h"
#include "console_support.h"
#include "tests/event_record.h"

using namespace console_test;

namespace {

const wchar_t security_key[] = L"SYSTEM\\CurrentControlSet\\services\\eventlog\\Security\\";
const wchar_t auditing[] = L"Microsoft-Windows-Security-Auditing";

std::wstring beside_me(const wchar_t *name)
{
    wchar_t self[MAX_PATH];
    std::wstring path(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    return path.substr(0, path.rfind(L'\\') + 1) + name;
}

void set_file(const wchar_t *source, const wchar_t *value, const std::wstring &data)
{
    ASSERT_EQ(0, RegSetKeyValueW(HKEY_LOCAL_MACHINE, (security_key + std::wstring(source)).c_str(), value,
                                 REG_EXPAND_SZ, data.c_str(), static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))));
}

void remove_files()
{
    for (const wchar_t *source : {L"Security", auditing, L"LSA"})
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, (security_key + std::wstring(source)).c_str());
    HKEY key = nullptr;
    DWORD subkeys = 1, values = 1;
    const std::wstring log_key = std::wstring(security_key).substr(0, wcslen(security_key) - 1);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, log_key.c_str(), 0, KEY_READ, &key) == 0) {
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr);
        RegCloseKey(key);
        if (subkeys == 0 && values == 0)
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, log_key.c_str());
    }
}

// One row of the screen: its characters (trailing blanks cut) and their attributes.
struct Row {
    std::wstring text;
    std::vector<WORD> attributes;
};

Row row_at(SHORT row)
{
    const DWORD width = static_cast<DWORD>(screen_info().dwSize.X);
    Row r{std::wstring(width, L' '), std::vector<WORD>(width, 0)};
    DWORD got = 0;
    ReadConsoleOutputCharacterW(screen(), r.text.data(), width, COORD{0, row}, &got);
    ReadConsoleOutputAttribute(screen(), r.attributes.data(), width, COORD{0, row}, &got);
    r.text.resize(r.text.find_last_not_of(L' ') + 1);
    return r;
}

bool all_in(const Row &row, size_t from, size_t count, WORD colour)
{
    for (size_t i = from; i < from + count; ++i)
        if (i >= row.attributes.size() || row.attributes[i] != colour)
            return false;
    return true;
}

std::vector<BYTE> record_4625(const wchar_t *subject_sid = L"S-1-0-0", DWORD event_id = 4625)
{
    std::vector<std::wstring> text;
    std::vector<const wchar_t *> strings;
    for (int k = 0; k < 21; ++k)
        text.push_back(k == 0 ? subject_sid : k == 5 ? L"Administrator" : k == 10 ? L"3" : L"-");
    for (const std::wstring &s : text)
        strings.push_back(s.c_str());
    SimRecord fields = {auditing, L"HOST", event_id, EVENTLOG_AUDIT_FAILURE, 12544, 1651241109, nullptr, 21,
                        strings.data(), nullptr, 0};
    std::vector<BYTE> bytes(sim_max_record_size);
    DWORD length = 0;
    bytes.resize(sim_build_record(fields, bytes.data(), sim_max_record_size, &length) == 0 ? length : 0);
    return bytes;
}

// Dumps the record and checks the rows it printed: each failure text (a whole row or a piece
// of one) in the error colour, and the text after it in the default colour.
struct Expected {
    std::wstring failure; // the failure text
    std::wstring after;   // what follows it: the rest of its row, or the next non-empty row
};

void dump_and_check(const std::vector<BYTE> &record, const std::vector<Expected> &expected, WORD d)
{
    const SHORT first = screen_info().dwCursorPosition.Y;
    dump_event_record(reinterpret_cast<const EVENTLOGRECORD *>(record.data()), static_cast<DWORD>(record.size()),
                      L"2022-04-29  PM 02:05:09");
    const SHORT end = screen_info().dwCursorPosition.Y;
    std::vector<Row> rows;
    for (SHORT r = first; r < end; ++r)
        rows.push_back(row_at(r));
    std::wstring shown;
    for (const Row &r : rows)
        shown += r.text + L"\n";
    const std::string trace(shown.begin(), shown.end());
    const WORD error = console_color_attribute(color_error, d);
    size_t next_row = 0;
    for (const Expected &e : expected) {
        SCOPED_TRACE(std::string(e.failure.begin(), e.failure.end()));
        size_t row = next_row, column = std::wstring::npos;
        for (; row < rows.size() && (column = rows[row].text.find(e.failure)) == std::wstring::npos; ++row) {
        }
        ASSERT_LT(row, rows.size()) << "not on the screen:\n" << trace;
        EXPECT_TRUE(all_in(rows[row], column, e.failure.size(), error)) << trace;
        next_row = row + 1;
        if (e.after.empty())
            continue;
        size_t after_row = row, after_column = column + e.failure.size();
        if (after_column >= rows[row].text.size()) {
            for (after_row = row + 1; after_row < rows.size() && rows[after_row].text.empty(); ++after_row) {
            }
            after_column = 0;
        }
        ASSERT_LT(after_row, rows.size()) << trace;
        EXPECT_EQ(rows[after_row].text.substr(after_column, e.after.size()), e.after) << trace;
        EXPECT_TRUE(all_in(rows[after_row], after_column, e.after.size(), d)) << trace;
    }
    // Everything else in the default colour.
    for (const Row &r : rows) {
        bool failure_row = false;
        for (const Expected &e : expected)
            failure_row = failure_row || r.text.find(e.failure) != std::wstring::npos;
        if (!failure_row) {
            EXPECT_TRUE(all_in(r, 0, r.text.size(), d)) << std::string(r.text.begin(), r.text.end());
        }
    }
}

TEST(Child, DISABLED_failure_colours)
{
    shadow_console_init();
    atexit(shadow_console_close);
    // Wide enough for the longest line, so that none wraps.
    const CONSOLE_SCREEN_BUFFER_INFO info = screen_info();
    if (info.dwSize.X < 160)
        SetConsoleScreenBufferSize(screen(), COORD{160, info.dwSize.Y});
    const WORD d = g_shadow_console.default_snapshot.wAttributes;
    print_out(L"\n");
    const std::wstring key = L"reg::get_text(SYSTEM\\CurrentControlSet\\services\\eventlog\\Security\\";

    // No key: both lookups fail; the next record tries again and finds what is registered then.
    dump_and_check(record_4625(), {{key + L"LSA):FAILED 2", L"]"}, {key + auditing + L"):FAILED 2", L""}}, d);
    set_file(L"LSA", L"ParameterMessageFile", beside_me(L"missing.dll"));
    set_file(auditing, L"EventMessageFile", beside_me(L"secmsg.dll"));
    dump_and_check(record_4625(), {{L"LoadLibraryEx:FAILED 2", L"]"}}, d);
    // An unknown domain SID and an ID in neither table.
    set_file(L"LSA", L"ParameterMessageFile", beside_me(L"secmsg.dll"));
    dump_and_check(record_4625(L"S-1-5-21-1-2-3-1001", 48000),
                   {{L"LookupAccountSidW:FAILED 1332, SID=[S-1-5-21-1-2-3-1001]", L"DataOffset"},
                    {L"FormatMessageW:FAILED 317", L""}},
                   d);
    print_out(L"\n");
}

TEST(PseudoTerminal, FailureLinesInTheErrorColour)
{
    ASSERT_NE(screen_info().dwSize.X, 0) << "no console: this test runs under a pseudo-terminal";
    remove_files();
    run_child(L"failure_colours", {}, 0);
    remove_files();
}

} // namespace

int main(int argc, char **argv)
{
    return run_tests(argc, argv);
}
