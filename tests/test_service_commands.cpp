// The service command line through real command lines: the simulated program runs as a child
// for each row, on service names that do not exist, so every command shows by the message of
// its failed opening ("service command [<code>]"). A result of 0 lets the program go on to the
// monitor, whose start fails by a hook: exit code 575; a result of -1 gives exit code 1.
#include "tests/test_service_support.h"

using namespace service_test;

namespace {

struct Row {
    std::vector<std::wstring> arguments;
    DWORD exit_code;
    std::vector<std::wstring> expected; // in this order
    std::vector<std::wstring> absent;
};

std::wstring quoted(const std::wstring &argument) { return L"\"" + argument + L"\""; }

std::wstring opening(DWORD code, const std::wstring &name)
{
    return L"!! service command [" + std::to_wstring(code) + L"]: failed to open " + name + L"! [1060]\n";
}

TEST(ServiceCommands, Table)
{
    SimFolder folder;
    SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_Security", L"5");
    const std::wstring d = L"tosmire.IPS";
    const std::wstring p = L".t" + std::to_wstring(GetCurrentProcessId());
    const std::wstring n = d + p;
    const std::wstring long255(255, L'w'), long244(244, L'a');
    const std::wstring not_found = L"!! " + n + L" service was not found on the system! service remove [1060]\n";
    const std::wstring help_own = L"   -d:tosmire.IPS:i  install service tosmire.IPS\n";
    const std::wstring any_command = L"service command [";
    const Row rows[] = {
        {{}, 575, {}, {any_command}},
        {{L"-d"}, 575, {}, {any_command}},
        {{L"-d", L"stop"}, 1, {opening(1, d)}, {}},
        {{L"-d:"}, 575, {}, {any_command}},
        {{L"-d::"}, 575, {}, {any_command}},
        {{L"-d::s"}, 1, {opening(0, d)}, {}},
        {{L"-d:+:s"}, 1, {opening(0, d)}, {}},
        {{L"-d:a/b\\c:s"}, 1, {opening(0, L"a_b_c")}, {}},
        {{L"-d:" + long255 + L":s"}, 1, {opening(0, long255)}, {}},
        {{L"-d:" + long255 + L"w:s"}, 1, {opening(0, d)}, {}},
        {{L"-d:+" + long244 + L":s"}, 1, {opening(0, d + long244)}, {}},
        {{L"-d:+" + long244 + L"a:s"}, 1, {opening(0, d)}, {}},
        // Letters in their order; a name group at the end gives 0.
        {{L"-d:+" + p + L":sqrPCcu"},
         1,
         {opening(0, n), opening(1, n), opening(1, n), opening(0, n), opening(2, n), opening(3, n), opening(6, n),
          opening(1, n), not_found},
         {}},
        {{L"-d:+" + p + L":s:"}, 575, {opening(0, n)}, {}},
        {{L"-d:+" + p + L":x"}, 1, {}, {any_command}},
        {{L"-d:+" + p}, 575, {}, {any_command}},
        {{L"-d:+" + p + L"::"}, 575, {}, {any_command}},
        // Words: bare and whole only, case-sensitive, after the letters.
        {{L"-d:+" + p, L"-uninstall", L"-reload", L"Stop", L"daemon-reload", L"enable", L"disable"},
         1,
         {},
         {any_command, L"not found"}},
        {{L"-d:+" + p + L":q", L"start", L"stop", L"restart", L"pause", L"freeze", L"continue", L"resume", L"thaw",
          L"reload"},
         1,
         {opening(1, n), opening(0, n), opening(1, n), opening(1, n), opening(0, n), opening(2, n), opening(2, n),
          opening(3, n), opening(3, n), opening(3, n), opening(6, n)},
         {}},
        {{L"-d:+" + p, L"remove", L"delete", L"uninstall"},
         1,
         {opening(1, n), not_found, opening(1, n), not_found, opening(1, n), not_found},
         {}},
        // Help with the default name, not the given one.
        {{L"-d:+" + p + L":h"},
         1,
         {L":: service commands ::        :name:  specify service name\n",
          L"   c  configuration reload\n   install: restart after 60 seconds for the first and second failure\n\n",
          L"   -di               install service "
                                                                           L"with default name tosmire.IPS\n",
          L"   -d:+.8080:i       install service tosmire.IPS.8080\n", help_own,
          L"   -d:tosmire.IPS::  run in foreground as tosmire.IPS\n",
          L"   every instance reads its configuration from the registry key\n"
          L"   HKLM\\SYSTEM\\CurrentControlSet\\Services\\tosmire.IPS\\Parameters, or else from\n"
          L"   HKLM\\SYSTEM\\CurrentControlSet\\services\\eventlog\\Application\\tosmire.IPS;\n"
          L"   reload [-dc] or an edit of that key takes effect without restart\n\n"},
         {n + L":i"}},
        {{L"-d:web", L"help"}, 1, {help_own}, {L"web"}},
    };
    for (const Row &row : rows) {
        std::wstring line;
        for (const std::wstring &argument : row.arguments)
            line += quoted(argument) + L" ";
        SCOPED_TRACE(narrow(line.substr(0, 120)));
        ChildResult run = run_sim(line);
        ASSERT_TRUE(run.finished) << run.output;
        EXPECT_EQ(run.exit_code, row.exit_code);
        // Every service-host line begins with the UTC time in brackets.
        size_t at = 0;
        for (const std::wstring &expected : row.expected) {
            size_t found = run.output.find(expected, at);
            EXPECT_NE(found, std::wstring::npos) << "missing in order: " << narrow(expected) << "\n"
                                                 << narrow(run.output);
            if (found == std::wstring::npos)
                break;
            if (expected.starts_with(L"!! ")) {
                ASSERT_GE(found, 24u);
                EXPECT_EQ(run.output.substr(found - 24, 1), L"[");
                EXPECT_EQ(run.output.substr(found - 2, 2), L"] ");
            }
            at = found + expected.size();
        }
        for (const std::wstring &absent : row.absent)
            EXPECT_FALSE(contains(run.output, absent)) << narrow(absent) << "\n" << narrow(run.output);
    }
    SetEnvironmentVariableW(L"TOSMIRE_SIM_OPEN_ERROR_Security", nullptr);
}

} // namespace

// No child scenarios: the children are the program itself.
int run_child_scenario(const std::string &) { return 2; }
