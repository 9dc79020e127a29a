// The IPsec store of the netsh commands. A domain store is chosen with "set store", whose
// choice lasts for one netsh run only, so the commands of an operation go into a command file
// (netsh -f) behind that line. The file lies in a folder of its own that only SYSTEM and the
// Administrators may open, created afresh for the run and removed with the file after it: no
// other account can change a line between its writing and netsh's reading.
#include "commands/ipsec_store.h"
#include "commands/runner.h"
#include "config/config.h"
#include "console/output.h"
#include <bcrypt.h>
#include <winternl.h>
#include <cwchar>

namespace {

constexpr wchar_t netsh_word[] = L"netsh ";
constexpr size_t netsh_word_chars = 6;
// The store line and at most eight commands (the initial policy has seven) of 511 characters.
constexpr size_t max_commands = 8;
constexpr size_t store_command_chars = 64 + ipsec_domain_chars;
constexpr size_t script_chars = store_command_chars + max_commands * 512 + 16;
// A folder in the temporary folder, its file, and the netsh line that runs it.
constexpr size_t path_chars = MAX_PATH + 64;
constexpr size_t run_line_chars = path_chars + 16;

// Tells the folders of concurrent runs apart: incremented whole by every thread that writes a
// command file (the loop, the Remote Desktop callback, the key console), for the whole run.
volatile LONG run_counter = 0;
// The random part of a folder's name, in bytes (twice as many hexadecimal digits).
constexpr size_t random_bytes = 8;

// The store in force: a reload on the main thread may change it under another thread.
IpsecStore store_in_force()
{
    config_read_begin();
    const IpsecStore store = ipsec_store;
    config_read_end();
    return store;
}

void print_error(const wchar_t *format, const wchar_t *call, DWORD error)
{
    set_console_color(color_error);
    print_out(format, call, error);
    restore_console_color();
}

// Appends command, without its "netsh " word, as one line of the command file: a line feed of
// a description (which a command line keeps inside its quotes) cannot stand in a file of one
// command a line, so it goes where a blank is beside it, and becomes a blank elsewhere.
bool append_line(wchar_t *script, size_t &used, const wchar_t *command)
{
    if (_wcsnicmp(command, netsh_word, netsh_word_chars) != 0)
        return false;
    for (const wchar_t *c = command + netsh_word_chars; *c != L'\0'; ++c) {
        if (used + 3 >= script_chars)
            return false;
        if (*c >= 0x20) {
            script[used++] = *c;
        } else if (!(used > 0 && script[used - 1] == L' ') && c[1] != L' ') {
            script[used++] = L' ';
        }
    }
    script[used++] = L'\r';
    script[used++] = L'\n';
    script[used] = L'\0';
    return true;
}

// A new folder that grants SYSTEM and the Administrators full access and nobody else anything,
// whatever the temporary folder's own permissions would hand down. 0 or the error, *call named.
DWORD create_private_folder(wchar_t *folder, const wchar_t **call)
{
    BYTE system_sid[SECURITY_MAX_SID_SIZE], admins_sid[SECURITY_MAX_SID_SIZE];
    DWORD system_size = sizeof(system_sid), admins_size = sizeof(admins_sid);
    alignas(DWORD) BYTE acl_bytes[sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)];
    ACL *acl = reinterpret_cast<ACL *>(acl_bytes);
    SECURITY_DESCRIPTOR descriptor;
    constexpr DWORD inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    *call = L"CreateWellKnownSid";
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system_sid, &system_size) ||
        !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins_sid, &admins_size))
        return GetLastError();
    *call = L"InitializeAcl";
    if (!InitializeAcl(acl, sizeof(acl_bytes), ACL_REVISION))
        return GetLastError();
    *call = L"AddAccessAllowedAceEx";
    if (!AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, system_sid) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, admins_sid))
        return GetLastError();
    *call = L"InitializeSecurityDescriptor";
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION))
        return GetLastError();
    // Protected: nothing the temporary folder grants is inherited.
    *call = L"SetSecurityDescriptorDacl";
    if (!SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return GetLastError();
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};

    wchar_t temp[MAX_PATH + 1];
    *call = L"GetTempPathW";
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH)
        return length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    // A folder of that name that exists may be anybody's: never used, another name is taken. The
    // random part keeps a user of the temporary folder (C:\Windows\Temp for the service) from
    // creating the coming names beforehand and so failing every run.
    for (int attempt = 0; attempt < 16; ++attempt) {
        BYTE random[random_bytes];
        const NTSTATUS status = BCryptGenRandom(nullptr, random, random_bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (!BCRYPT_SUCCESS(status)) {
            *call = L"BCryptGenRandom";
            return RtlNtStatusToDosError(status);
        }
        wchar_t digits[2 * random_bytes + 1];
        for (size_t i = 0; i < random_bytes; ++i)
            format_text(digits + 2 * i, 3, L"%02x", random[i]);
        format_text(folder, path_chars, L"%lstosmire.IPS-%lu-%ld-%ls", temp, GetCurrentProcessId(),
                    InterlockedIncrement(&run_counter), digits);
        *call = L"CreateDirectoryW";
        if (CreateDirectoryW(folder, &attributes))
            return 0;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return GetLastError();
    }
    return ERROR_ALREADY_EXISTS;
}

// Removes the file, then its folder, now, or at the next restart when a netsh left running may
// still read the file (later); what cannot be removed now goes at the next restart too. The
// restart removes them in the order given: the file before its folder.
void remove_command_file(const wchar_t *folder, const wchar_t *file, bool later = false)
{
    const wchar_t *paths[2] = {file, folder};
    for (const wchar_t *path : paths) {
        if (path[0] == L'\0')
            continue;
        if (!later && (path == file ? DeleteFileW(path) : RemoveDirectoryW(path)))
            continue;
        const DWORD error = later ? 0 : GetLastError();
        const bool scheduled = MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        const DWORD move_error = scheduled ? 0 : GetLastError();
        if (later && scheduled)
            continue;
        set_console_color(color_error);
        if (later)
            print_out(L"!! ");
        else
            print_out(L"!! %ls() FAILED %u%ls", path == file ? L"DeleteFileW" : L"RemoveDirectoryW", error,
                      scheduled ? L": " : L", ");
        if (scheduled)
            print_out(L"%ls is removed at the next restart\n", path);
        else
            print_out(L"MoveFileExW() FAILED %u: %ls is left in place\n", move_error, path);
        restore_console_color();
    }
}

// Writes the script, UTF-16LE behind a byte-order mark, into a new file of a new private folder
// (both paths set, empty when not created). 0 or the error, *call named; nothing is left
// behind on a failure.
DWORD write_command_file(const wchar_t *script, size_t chars, wchar_t *folder, wchar_t *file, const wchar_t **call)
{
    folder[0] = file[0] = L'\0';
    if (DWORD error = create_private_folder(folder, call)) {
        folder[0] = L'\0';
        return error;
    }
    format_text(file, path_chars, L"%ls\\ipsec.txt", folder);
    *call = L"CreateFileW";
    HANDLE handle = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (handle == INVALID_HANDLE_VALUE)
        file[0] = L'\0';
    const wchar_t mark = 0xFEFF;
    DWORD written = 0;
    if (error == 0) {
        *call = L"WriteFile";
        const DWORD bytes = static_cast<DWORD>(chars * sizeof(wchar_t));
        if (!WriteFile(handle, &mark, sizeof(mark), &written, nullptr) || written != sizeof(mark) ||
            !WriteFile(handle, script, bytes, &written, nullptr) || written != bytes)
            error = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
    }
    if (handle != INVALID_HANDLE_VALUE && !CloseHandle(handle) && error == 0) {
        *call = L"CloseHandle";
        error = GetLastError();
    }
    if (error != 0)
        remove_command_file(folder, file);
    return error;
}

// The commands in the domain store, in one netsh run behind the store line.
DWORD run_in_domain_store(const IpsecStore &store, const wchar_t *const *commands, size_t count, bool echo,
                          DWORD wait_ms)
{
    wchar_t store_command[store_command_chars];
    format_text(store_command, store_command_chars, L"netsh ipsec static set store location=domain%ls%ls",
                store.name[0] != L'\0' ? L" domain=" : L"", store.name);
    set_console_color(color_heading);
    print_out(L"# %ls\n", store_command);
    reset_console_color();
    // On a command line of its own the switch changes nothing, but its exit code tells whether
    // the domain answers: the script's lines would act on the local store if it did not.
    DWORD code = run_command_limited(store_command, wait_ms);
    if (code != 0) {
        set_console_color(color_error);
        print_out(L"!! netsh cannot set the domain store (exit code %u): nothing is run\n", code);
        restore_console_color();
        return code;
    }
    static_assert(max_commands * 512 + store_command_chars < script_chars);
    wchar_t script[script_chars];
    size_t used = 0;
    bool fits = count <= max_commands && append_line(script, used, store_command);
    for (size_t i = 0; fits && i < count; ++i) {
        const size_t line = used;
        fits = append_line(script, used, commands[i]);
        if (fits && echo) {
            set_console_color(color_heading);
            print_out(L"# netsh %.*ls\n", static_cast<int>(used - line - 2), script + line);
            reset_console_color();
        }
    }
    if (!fits) {
        print_error(L"!! %ls FAILED %u: the commands are not run\n", L"command file", ERROR_INSUFFICIENT_BUFFER);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    wchar_t folder[path_chars], file[path_chars], run_line[run_line_chars];
    const wchar_t *call = nullptr;
    if (DWORD error = write_command_file(script, used, folder, file, &call)) {
        print_error(L"!! %ls() FAILED %u: the commands are not run\n", call, error);
        return error;
    }
    format_text(run_line, run_line_chars, L"netsh -f \"%ls\"", file);
    code = run_command_limited(run_line, wait_ms);
    // netsh is left running after the time limit, and may not have read its file yet.
    remove_command_file(folder, file, code == WAIT_TIMEOUT);
    return code;
}

} // namespace

DWORD run_ipsec_commands(const wchar_t *const *commands, size_t count, bool echo, DWORD wait_ms)
{
    const IpsecStore store = store_in_force();
    if (echo && store.refused[0] != L'\0')
        print_ipsec_store();
    if (store.domain)
        return run_in_domain_store(store, commands, count, echo, wait_ms);
    DWORD first_failure = 0;
    for (size_t i = 0; i < count; ++i) {
        const DWORD code = echo ? run_command(commands[i], true, true, nullptr) : run_command_limited(commands[i], wait_ms);
        if (first_failure == 0)
            first_failure = code;
    }
    return first_failure;
}

void print_ipsec_store(bool even_local)
{
    const IpsecStore store = store_in_force();
    if (store.refused[0] != L'\0') {
        set_console_color(color_error);
        print_out(L"!! ipsec_store \"%ls\" refused, not \"domain\" or \"domain:NAME\" (NAME of letters, digits, "
                  L"'-' and '.'): netsh acts on the local store\n",
                  store.refused);
        restore_console_color();
    } else if (store.domain) {
        print_out(L"# IPsec store: the domain store of %ls\n", store.name[0] != L'\0' ? store.name : L"this machine's domain");
    } else if (even_local) {
        print_out(L"# IPsec store: the local store\n");
    }
}
