// Runs after the service tests: stops, waits for and removes every service of ours that a
// failed test left installed (it would run again in every later test), and the simulation
// folder value that services read; fails when it found such a service.
#include "tests/test_service_support.h"

using namespace service_test;

TEST(ServiceLeftovers, NoServiceOfOursIsLeft)
{
    std::vector<std::wstring> ours;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    ASSERT_NE(manager, nullptr);
    std::vector<BYTE> buffer(256 * 1024);
    DWORD needed = 0, count = 0, resume = 0;
    BOOL done = EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
                                      static_cast<DWORD>(buffer.size()), &needed, &count, &resume, nullptr);
    ASSERT_TRUE(done) << GetLastError();
    auto *services = reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSW *>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
        if (std::wstring(services[i].lpServiceName).starts_with(L"tosmire.IPS"))
            ours.push_back(services[i].lpServiceName);
    CloseServiceHandle(manager);
    for (const std::wstring &name : ours)
        remove_service(name, name != L"tosmire.IPS");
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, sim_registry_key);
    for (const std::wstring &name : ours)
        ADD_FAILURE() << "service left installed: " << narrow(name);
}
