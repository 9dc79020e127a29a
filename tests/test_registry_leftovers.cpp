// Runs last, before the Wine server is ended: no registry key of ours outlives the test run.
// The keys that the program writes itself whenever its monitor starts (the event source with
// its configuration, and an empty service key that a configuration read may leave) are the
// product's footprint and are removed; a key of ours under SOFTWARE was written by a test that
// did not clean up, and fails the run.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>

namespace {

std::vector<std::wstring> subkeys_starting_with(HKEY root, const wchar_t *path, const wchar_t *prefix)
{
    std::vector<std::wstring> found;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_ENUMERATE_SUB_KEYS, &key) != ERROR_SUCCESS)
        return found;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD chars = 256;
        if (RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        if (_wcsnicmp(name, prefix, wcslen(prefix)) == 0)
            found.push_back(name);
    }
    RegCloseKey(key);
    return found;
}

bool has_value(HKEY root, const std::wstring &path, const wchar_t *value)
{
    return RegGetValueW(root, path.c_str(), value, RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

TEST(RegistryLeftovers, NoKeyOfOursIsLeft)
{
    const wchar_t *sources = L"SYSTEM\\CurrentControlSet\\Services\\eventlog\\Application";
    for (const std::wstring &name : subkeys_starting_with(HKEY_LOCAL_MACHINE, sources, L"tosmire"))
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(sources) + L"\\" + name).c_str()));
    const wchar_t *services = L"SYSTEM\\CurrentControlSet\\Services";
    for (const std::wstring &name : subkeys_starting_with(HKEY_LOCAL_MACHINE, services, L"tosmire")) {
        const std::wstring path = std::wstring(services) + L"\\" + name;
        // An installed service is the service fixture's business (it fails the run for one).
        if (has_value(HKEY_LOCAL_MACHINE, path, L"ImagePath")) {
            ADD_FAILURE() << "service key with an image path left";
            continue;
        }
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str()));
    }
    for (const std::wstring &name : subkeys_starting_with(HKEY_LOCAL_MACHINE, L"SOFTWARE", L"tosmire")) {
        ADD_FAILURE() << "test key left: HKLM\\SOFTWARE\\" << std::string(name.begin(), name.end());
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (L"SOFTWARE\\" + name).c_str());
    }
    for (const std::wstring &name : subkeys_starting_with(HKEY_CURRENT_USER, L"SOFTWARE", L"tosmire")) {
        ADD_FAILURE() << "test key left: HKCU\\SOFTWARE\\" << std::string(name.begin(), name.end());
        RegDeleteTreeW(HKEY_CURRENT_USER, (L"SOFTWARE\\" + name).c_str());
    }
}

} // namespace
