// The event record dump: whole dumps of known records, which message file serves which lookup,
// the failure lines and what follows them, hostile records against an inaccessible page, and
// the simulated program dumping what it accepts. Each dump runs in a child process, whose
// message-file slots start empty, against message files registered here.
#include <gtest/gtest.h>
#include "config/event_dump.h"
#include "console/output.h"
#include "tests/child_harness.h"
#include "tests/event_record.h"
#include "tools/evtlog/logon_events.h"
#include <string>
#include <vector>

namespace {

const wchar_t security_key[] = L"SYSTEM\\CurrentControlSet\\services\\eventlog\\Security\\";
const wchar_t auditing[] = L"Microsoft-Windows-Security-Auditing";
const wchar_t time_text[] = L"2022-04-29  PM 02:05:09";

// Sets a source's message-file value, as an expandable path as Windows keeps it.
void set_file(const wchar_t *source, const wchar_t *value, const std::wstring &data)
{
    const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
    ASSERT_EQ(0, RegSetKeyValueW(HKEY_LOCAL_MACHINE, (security_key + std::wstring(source)).c_str(), value,
                                 REG_EXPAND_SZ, data.c_str(), bytes));
}

void evtlog(const std::wstring &arguments)
{
    ChildResult run = run_redirected(L"evtlog.exe " + arguments);
    ASSERT_TRUE(run.finished && run.exit_code == 0) << run.output;
}

struct Strings {
    std::vector<std::wstring> text;
    std::vector<const wchar_t *> pointers;
};

// A record as evtlog writes it (source, type, category, SID, strings), with a fixed computer
// name, time and record number; user and package as given.
std::vector<BYTE> logon_record(DWORD id, const wchar_t *user = L"Administrator", const wchar_t *package = L"NTLM",
                               const SID *sid = nullptr, const wchar_t *first_string = nullptr)
{
    LogonOptions o = {user, L"WORKGROUP", L"203.0.113.10", L"0", L"WORKSTATION", L"3", package, 27};
    LogonEvent e;
    build_logon_event(id, o, &e);
    if (first_string != nullptr)
        e.strings[0] = first_string;
    SID system_sid = {SID_REVISION, 1, SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID}};
    SimRecord f = {e.source, L"HOST", id, e.event_type, e.category, 1651241109,
                   sid != nullptr ? sid : e.system_sid ? &system_sid : nullptr, e.num_strings, e.strings, nullptr, 0};
    std::vector<BYTE> bytes(sim_max_record_size);
    DWORD length = 0;
    bytes.resize(sim_build_record(f, bytes.data(), sim_max_record_size, &length) == 0 ? length : 0);
    if (!bytes.empty())
        header_of(bytes).RecordNumber = 7;
    return bytes;
}

void dump(const std::vector<BYTE> &bytes)
{
    dump_event_record(reinterpret_cast<const EVENTLOGRECORD *>(bytes.data()), static_cast<DWORD>(bytes.size()),
                      time_text);
}

// Dumps the first size bytes of a record placed right before an inaccessible page.
void dump_against_guard(const std::vector<BYTE> &bytes, size_t size)
{
    const BYTE *placed = place_against_guard(bytes.data(), size);
    if (placed != nullptr)
        dump_event_record(reinterpret_cast<const EVENTLOGRECORD *>(placed), static_cast<DWORD>(size), time_text);
    else
        print_out(L"NOT PLACED\n");
}

// The category and event texts of each dump in an output, in order.
struct Texts {
    std::wstring category, event;
    bool operator==(const Texts &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Texts &t)
{
    std::string c(t.category.begin(), t.category.end()), e(t.event.begin(), t.event.end());
    return os << "{[" << c << "], [" << e << "]}";
}

std::vector<Texts> texts_of(const std::wstring &output)
{
    std::vector<Texts> all;
    for (size_t at = output.find(L"StringOffset"); at != std::wstring::npos;) {
        const size_t next = output.find(L"StringOffset", at + 1);
        const std::wstring one = output.substr(at, next == std::wstring::npos ? std::wstring::npos : next - at);
        const size_t c = one.find(L'[', one.find(L"EventCategory")) + 1;
        const size_t c_end = one.find(L"]\nTimeGenerated");
        const size_t e = one.find(L"\n\n", one.find(L"EventID")) + 2;
        if (c_end == std::wstring::npos || e < 2 || one.size() < e + 1)
            all.push_back({L"MALFORMED", one});
        else
            all.push_back({one.substr(c, c_end - c), one.substr(e, one.size() - e - 1)});
        at = next;
    }
    return all;
}

class EventDump : public ::testing::Test {
protected:
    void SetUp() override { evtlog(L"unregister-messages"); }
    void TearDown() override { evtlog(L"unregister-messages"); }
    // Runs a scenario in a child; it must end orderly.
    std::wstring run(const char *scenario)
    {
        ChildResult child = run_scenario(scenario);
        EXPECT_TRUE(child.finished && child.exit_code == 0) << scenario << " ended with " << child.exit_code << "\n"
                                                             << std::string(child.output.begin(), child.output.end());
        return child.output;
    }
    const std::wstring secmsg = beside(L"secmsg.dll");
    const std::wstring altmsg = beside(L"altmsg.dll");
};

// Lines of a text, each with its line end.
std::vector<std::wstring> lines_of(const std::wstring &text)
{
    std::vector<std::wstring> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find(L'\n', at);
        end = end == std::wstring::npos ? text.size() : end + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return lines;
}

TEST_F(EventDump, KnownRecordsLineByLine)
{
    evtlog(L"register-messages");
    const std::vector<std::wstring> expected = {
        L"StringOffset         140 | RecordNumber        7 [2022-04-29  PM 02:05:09]\n",
        L"NumStrings            21 | EventCategory   12544 [Sign-in]\n",
        L"TimeGenerated 1651241109 | EventType          16 [Failure Audit]\n",
        L"TimeWritten   1651241109 | UserSidOffset     140 [\\NULL SID]\n",
        L"DataOffset           404 | UserSidLength       0\n",
        L"DataLength             0 | Reserved         eLfL [0x654c664c]\n",
        L"ReservedFlags          0 | Length            408\n",
        L"ClosingRecordNumber    0 | EventID          4625\n",
        L"\n",
        L"Sign-in refused for WORKGROUP\\Administrator.\n",
        L"Logon type 3 by NtLmSsp (package NTLM) from 203.0.113.10 port 0, workstation WORKSTATION.\n",
        L"StringOffset          96 | RecordNumber        7 [2022-04-29  PM 02:05:09]\n",
        L"NumStrings            13 | EventCategory       2 [Sign-in and sign-out]\n",
        L"TimeGenerated 1651241109 | EventType          16 [Failure Audit]\n",
        L"TimeWritten   1651241109 | UserSidOffset      84 [NT AUTHORITY\\SYSTEM]\n",
        L"DataOffset           250 | UserSidLength      12\n",
        L"DataLength             0 | Reserved         eLfL [0x654c664c]\n",
        L"ReservedFlags          0 | Length            256\n",
        L"ClosingRecordNumber    0 | EventID           529\n",
        L"\n",
        L"Sign-in refused for WORKGROUP\\Administrator: unknown account or wrong password.\n",
        L"Logon type 3 by NtLmSsp (package NTLM) from 203.0.113.10 port 0, workstation WORKSTATION.\n",
    };
    const std::vector<std::wstring> shown = lines_of(run("known"));
    ASSERT_EQ(shown.size(), expected.size()) << std::string(shown.begin()->begin(), shown.begin()->end());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(shown[i], expected[i]) << "line " << i;
}

// Which file serves which lookup, with secmsg and altmsg registered in turn for the sources.
TEST_F(EventDump, MessageFileSlots)
{
    const Texts sec529 = {L"Sign-in and sign-out", L"Sign-in refused for WORKGROUP\\Administrator: unknown account or "
                                                   L"wrong password.\nLogon type 3 by NtLmSsp (package NTLM) from "
                                                   L"203.0.113.10 port 0, workstation WORKSTATION."};
    const std::wstring sec4625 = L"Sign-in refused for WORKGROUP\\Administrator.\nLogon type 3 by NtLmSsp (package "
                                 L"NTLM) from 203.0.113.10 port 0, workstation WORKSTATION.";
    const std::wstring alt4625 = L"Second file 4625: Administrator from 203.0.113.10, beyond the strings [][][]";
    const std::wstring alt2 = L"Second file\r\ncategory 2"; // no insertion strings: no compaction
    // The scenario dumps 529 (source Security), 4625 (the auditing source), 539 (Security).
    const std::wstring alt539 = L"\n\nThis event is generated when the second file is asked for 539.";
    const struct {
        const char *what;
        const wchar_t *security, *auditing_file, *lsa;
        std::vector<Texts> texts;
    } cases[] = {
        {"Security and another source: own event slots, one category slot", L"S", L"A", L"A",
         {sec529, {L"Sign-in", alt4625}, {L"Sign-in and sign-out", L"Sign-in refused for WORKGROUP\\Administrator: the "
                                                                   L"account is locked.\nLogon type 3 by NtLmSsp "
                                                                   L"(package NTLM) from 203.0.113.10 port 0, "
                                                                   L"workstation WORKSTATION."}}},
        {"the first lookup fills the security slot for all later ones", L"A", L"S", L"A",
         {{alt2, L"Second file 529: WORKGROUP\\Administrator from 203.0.113.10 with [NTLM]"},
          {L"Second file category 12544", sec4625},
          {alt2, alt539}}},
        {"two files after a semicolon: only the first", L"A;S", L"S;A", L"S",
         {{alt2, L"Second file 529: WORKGROUP\\Administrator from 203.0.113.10 with [NTLM]"},
          {L"Second file category 12544", sec4625},
          {alt2, alt539}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto file = [&](const wchar_t *code) {
            std::wstring value;
            for (const wchar_t *p = code; *p != 0; ++p)
                value += *p == L'S' ? secmsg : *p == L'A' ? altmsg : std::wstring(1, *p);
            return value;
        };
        set_file(L"Security", L"EventMessageFile", file(c.security));
        set_file(auditing, L"EventMessageFile", file(c.auditing_file));
        set_file(L"LSA", L"ParameterMessageFile", file(c.lsa));
        EXPECT_EQ(texts_of(run("slots")), c.texts);
    }
}

// A category lookup for a source other than Security reads LSA's parameter file, and only while
// the security slot is empty; tabs and line ends in insertion strings are compacted.
TEST_F(EventDump, LsaFileOnlyWhileTheSecuritySlotIsEmpty)
{
    set_file(L"Security", L"EventMessageFile", secmsg);
    set_file(auditing, L"EventMessageFile", secmsg);
    set_file(L"LSA", L"ParameterMessageFile", altmsg);
    // auditing: 4625 first, so the LSA file fills the security slot and serves the 529 after it
    const std::vector<Texts> texts = texts_of(run("lsa"));
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0].category, L"Second file category 12544");
    EXPECT_EQ(texts[1], (Texts{L"Second file\r\ncategory 2",
                               L"Second file 529: WORKGROUP\\tabs from 203.0.113.10 with [a\tb\nc  d\t]"}));
    // secmsg's 529 ends in two line ends and blanks, which go
    EXPECT_EQ(texts[2].category, L"Sign-in and sign-out") << "released slots are filled anew";
    EXPECT_EQ(texts[2].event.substr(texts[2].event.size() - 12), L"WORKSTATION.");
}

TEST_F(EventDump, FailureLinesAndTheRestOfTheDump)
{
    // No key at all, as in a fresh Wine prefix: both lookups fail, the dump goes on.
    std::wstring out = run("one4625");
    const std::wstring key = L"reg::get_text(SYSTEM\\CurrentControlSet\\services\\eventlog\\Security\\";
    EXPECT_EQ(texts_of(out), (std::vector<Texts>{{L"\n" + key + L"LSA):FAILED 2\n",
                                                  L"\n" + key + auditing + L"):FAILED 2\n"}}));
    EXPECT_NE(out.find(L"ClosingRecordNumber    0 | EventID          4625\n"), std::wstring::npos) << "rest of the dump";

    // A missing file leaves the slot empty: the second record of the scenario retries and,
    // with the file registered in between, finds it.
    set_file(L"LSA", L"ParameterMessageFile", beside(L"missing.dll") + L";" + secmsg);
    set_file(auditing, L"EventMessageFile", beside(L"missing.dll"));
    EXPECT_EQ(texts_of(run("retry")), (std::vector<Texts>{{L"LoadLibraryEx:FAILED 2", L"LoadLibraryEx:FAILED 2"},
                                                          {L"Sign-in", L"Sign-in refused for WORKGROUP\\Administrator."
                                                                       L"\nLogon type 3 by NtLmSsp (package NTLM) from "
                                                                       L"203.0.113.10 port 0, workstation WORKSTATION."}}));

    // An ID in neither the file nor the system's table; SIDs of an unknown domain, as text and binary.
    evtlog(L"register-messages");
    out = run("unknown");
    const std::vector<Texts> texts = texts_of(out);
    ASSERT_EQ(texts.size(), 3u) << std::string(out.begin(), out.end());
    EXPECT_EQ(texts[0].event, L"FormatMessageW:FAILED 317");
    const std::wstring failed = L"| UserSidOffset     140 \nLookupAccountSidW:FAILED 1332, SID=[S-1-5-21-1-2-3-1001]\n\n"
                                L"DataOffset";
    EXPECT_NE(out.find(failed), std::wstring::npos) << "text SID";
    EXPECT_NE(out.find(L"| UserSidOffset      84 \nLookupAccountSidW:FAILED 1332, SID=[S-1-5-21-1-2-3-1001]\n\n"
                       L"DataOffset"),
              std::wstring::npos)
        << "binary SID printed as text";
}

// Names chosen by an attacker, Reserved bytes that are not characters, more strings than insertions.
TEST_F(EventDump, HostileContentIsPrintedHarmlessly)
{
    evtlog(L"register-messages");
    const std::wstring out = run("hostile");
    EXPECT_NE(out.find(L"Sign-in refused for WORKGROUP\\ev?[31mil????\t?.\n"), std::wstring::npos);
    EXPECT_NE(out.find(L"Reserved         .A B [0x01412042]\n"), std::wstring::npos);
    EXPECT_EQ(out.find(L'\x1b'), std::wstring::npos);
}

// Records cut so that the source name, the text SID or the last string ends at the
// inaccessible page: nothing is read past the record.
TEST_F(EventDump, RecordsEndingAtAnInaccessiblePage)
{
    evtlog(L"register-messages");
    const std::wstring out = run("guard");
    const std::vector<Texts> texts = texts_of(out);
    ASSERT_EQ(texts.size(), 4u) << std::string(out.begin(), out.end());
    // The account of each dump: what follows "UserSidOffset" and its number.
    std::vector<std::wstring> accounts;
    for (size_t at = out.find(L"UserSidOffset"); at != std::wstring::npos; at = out.find(L"UserSidOffset", at + 1))
        accounts.push_back(out.substr(at + 22, out.find(L"\nDataOffset", at) - at - 22));
    // The source without its end: no source, so the category comes from LSA's file, and the
    // event text from the key of an empty source name, which has no message file.
    EXPECT_EQ(texts[0].category, L"Sign-in");
    EXPECT_EQ(texts[0].event, L"\nreg::get_text(SYSTEM\\CurrentControlSet\\services\\eventlog\\Security\\):FAILED 2\n");
    // The text SID as the last string: whole, and cut before its terminator (no account, one
    // string fewer).
    EXPECT_EQ(texts[1].event, L"Credentials of Administrator checked by MICROSOFT_AUTHENTICATION_PACKAGE_V1_0 for "
                              L"workstation 203.0.113.10: status S-1-5-18.");
    EXPECT_EQ(texts[2].event, L"Credentials of Administrator checked by MICROSOFT_AUTHENTICATION_PACKAGE_V1_0 for "
                              L"workstation 203.0.113.10: status .");
    // A binary SID whose length reaches past the record: no account.
    EXPECT_EQ(accounts, (std::vector<std::wstring>{L"", L"[NT AUTHORITY\\SYSTEM]", L"", L""}));
}

TEST_F(EventDump, ReleaseEmptiesBothSlots)
{
    evtlog(L"register-messages");
    const std::wstring out = run("release");
    EXPECT_EQ(out.substr(out.size() < 9 ? 0 : out.size() - 9), L"released\n");
}

// The program on the simulated log, with the simulated message file registered: each accepted
// record is dumped with its texts before its decision line; spoofed and rejected ones are not.
TEST_F(EventDump, SimulatedProgramDumpsEachAcceptedRecordBeforeItsDecision)
{
    const wchar_t parameters_key[] = L"SYSTEM\\CurrentControlSet\\Services\\tosmire.IPS\\Parameters";
    SimFolder folder;
    evtlog(L"register-messages");
    // A whitelisted user, so that successful logons print a line of their own.
    ASSERT_EQ(0, RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_key, L"whitelist_user", REG_MULTI_SZ, L"okuser\0", 16));
    evtlog(L"4624 --address 192.0.2.1"); // the newest record at start
    const std::wstring out_path = folder.file(L"monitor.txt");
    BackgroundMonitor monitor;
    ASSERT_TRUE(monitor.start(out_path));
    // UTF-16 of the program and narrow text of the tools it starts, all ASCII here.
    auto output = [&] {
        std::wstring text;
        std::string bytes = read_file_bytes(out_path);
        for (char c : bytes)
            if (c != 0 && c != '\r')
                text += static_cast<wchar_t>(static_cast<unsigned char>(c));
        return text;
    };
    auto wait_for = [&](const wchar_t *piece) { wait_until([&] { return output().find(piece) != std::wstring::npos; }); };
    wait_for(L"# Waiting for new events... [");
    evtlog(L"4625 --address 203.0.113.1 --user u4625");
    evtlog(L"4625 --address 0.0.0.0 --user spoofed");              // spoofed
    evtlog(L"529 --address 203.0.113.2 --user u529");
    evtlog(L"4625 --address - --user dash");                       // rejected
    evtlog(L"539 --address 203.0.113.3 --user u539");
    evtlog(L"4625 --address 203.0.113.7 --user local --logon-type 2"); // rejected
    evtlog(L"528 --address 203.0.113.4 --user okuser");
    evtlog(L"4776 --address 203.0.113.6 --user u4776");             // rejected
    evtlog(L"4624 --address 203.0.113.5 --user okuser --strings 20");
    evtlog(L"4625 --address 203.0.113.9 --user last --source Security");
    wait_for(L"User:WORKGROUP\\last, from IP:203.0.113.9");
    monitor.stop();
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key);
    const std::wstring text = output();
    const std::string shown(text.begin(), text.end());
    // Each dump's event text, then its decision line, in the order of the records.
    const std::wstring sequence[] = {
        L"Sign-in refused for WORKGROUP\\u4625.\nLogon type 3 by NtLmSsp (package NTLM) from 203.0.113.1 port 0",
        L"User:WORKGROUP\\u4625, from IP:203.0.113.1, Type: 3",
        L"Attacks from a spoofed IP address cannot be blocked!",
        L"Sign-in refused for WORKGROUP\\u529: unknown account or wrong password.\nLogon type 3",
        L"User:WORKGROUP\\u529, from IP:203.0.113.2, Type: 3",
        L"Sign-in refused for WORKGROUP\\u539: the account is locked.\nLogon type 3",
        L"User:WORKGROUP\\u539, from IP:203.0.113.3, Type: 3",
        L"Signed in: WORKGROUP\\okuser, logon type 3 by NtLmSsp (package NTLM) from 203.0.113.4 port 0",
        L"User:WORKGROUP\\okuser, from IP:203.0.113.4 [Successful Logon]",
        L"Signed in: WORKGROUP\\okuser, logon type 3 by NtLmSsp (package NTLM) from 203.0.113.5 port 0",
        L"User:WORKGROUP\\okuser, from IP:203.0.113.5 [Successful Logon]",
        L"Sign-in refused for WORKGROUP\\last.\nLogon type 3 by NtLmSsp (package NTLM) from 203.0.113.9 port 0",
        L"User:WORKGROUP\\last, from IP:203.0.113.9, Type: 3",
    };
    size_t at = 0;
    for (const std::wstring &piece : sequence) {
        const size_t found = text.find(piece, at);
        ASSERT_NE(found, std::wstring::npos) << "missing or out of order: " << std::string(piece.begin(), piece.end())
                                             << "\n" << shown;
        at = found + piece.size();
    }
    // Six dumps: the accepted records, none of the spoofed or rejected ones.
    size_t dumps = 0;
    for (size_t p = text.find(L"StringOffset"); p != std::wstring::npos; p = text.find(L"StringOffset", p + 1))
        ++dumps;
    EXPECT_EQ(dumps, 6u) << shown;
    for (const wchar_t *absent : {L"WORKGROUP\\spoofed.", L"WORKGROUP\\dash.", L"WORKGROUP\\local.", L"u4776"})
        EXPECT_EQ(text.find(absent), std::wstring::npos) << std::string(absent, absent + wcslen(absent));
    // The record written under the source "Security" takes its text from the security slot.
    EXPECT_NE(text.find(L"EventID          4625\n\nSign-in refused for WORKGROUP\\last."), std::wstring::npos);
}

} // namespace

int run_child_scenario(const std::string &scenario)
{
    if (scenario == "known") {
        dump(logon_record(4625));
        dump(logon_record(529));
    } else if (scenario == "slots") {
        dump(logon_record(529));
        dump(logon_record(4625));
        dump(logon_record(539));
    } else if (scenario == "lsa") {
        dump(logon_record(4625));
        dump(logon_record(529, L"tabs", L"a\t\t\tb\r\nc  d\t\t"));
        release_message_modules();
        dump(logon_record(529));
    } else if (scenario == "one4625") {
        dump(logon_record(4625));
    } else if (scenario == "retry") {
        dump(logon_record(4625));
        const std::wstring secmsg = beside(L"secmsg.dll");
        set_file(L"LSA", L"ParameterMessageFile", secmsg);
        set_file(auditing, L"EventMessageFile", secmsg);
        dump(logon_record(4625));
    } else if (scenario == "unknown") {
        std::vector<BYTE> record = logon_record(4625);
        header_of(record).EventID = 48000;
        dump(record);
        dump(logon_record(4625, L"Administrator", L"NTLM", nullptr, L"S-1-5-21-1-2-3-1001"));
        // S-1-5-21-1-2-3-1001 as a stored SID structure.
        struct {
            SID sid;
            DWORD more[4];
        } domain_user = {{SID_REVISION, 5, SECURITY_NT_AUTHORITY, {SECURITY_NT_NON_UNIQUE}}, {1, 2, 3, 1001}};
        dump(logon_record(529, L"Administrator", L"NTLM", &domain_user.sid));
    } else if (scenario == "hostile") {
        std::vector<BYTE> record = logon_record(4625, L"ev\x1b[31mil\x07\x7f\x85\x9f\t\x01");
        header_of(record).Reserved = 0x01412042;
        dump(record);
    } else if (scenario == "guard") {
        // The source name cut before its terminator.
        std::vector<BYTE> record = logon_record(4625);
        dump_against_guard(record, sizeof(EVENTLOGRECORD) + 2 * wcslen(auditing));
        // 4776 whose last string is the text SID: whole, then cut before its terminator.
        record = logon_record(4776);
        EVENTLOGRECORD &h = header_of(record);
        wchar_t *s = reinterpret_cast<wchar_t *>(record.data() + h.StringOffset);
        for (int k = 0; k < 3; ++k)
            s += wcslen(s) + 1;
        wcscpy(s, L"S-1-5-18"); // shorter than the status it replaces
        h.UserSidOffset = static_cast<DWORD>(reinterpret_cast<BYTE *>(s) - record.data());
        dump_against_guard(record, record.size());
        dump_against_guard(record, h.UserSidOffset + 2 * wcslen(s));
        // A binary SID whose length reaches past the record.
        record = logon_record(529);
        header_of(record).UserSidLength = static_cast<DWORD>(record.size());
        dump_against_guard(record, record.size());
    } else if (scenario == "release") {
        dump(logon_record(529));
        dump(logon_record(4625));
        const bool loaded = message_module_security != nullptr && message_module_other != nullptr;
        release_message_modules();
        print_out(loaded && message_module_security == nullptr && message_module_other == nullptr ? L"released\n"
                                                                                                  : L"not released\n");
    } else {
        return 99;
    }
    return 0;
}
