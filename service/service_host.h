// The service host's record (service status, hand-shake events, service-manager handles, flags
// and the service name), and what the service command line, the control operations and the
// service runtime share: the events, the time prefix and the prefixed messages.
#pragma once
#include <windows.h>
#include "config/program_name.h"

// Event handle with the flag telling whether it was created.
struct HostEvent {
    HANDLE handle;
    bool created;
};

struct ServiceHost {
    SERVICE_STATUS status;                    // status reported to the Service Control Manager
    SERVICE_STATUS_HANDLE status_handle;      // from the control-handler registration; null in console mode
    SERVICE_TABLE_ENTRYW dispatch_table[2];   // one entry (name, service_main), then the empty entry
    HostEvent e_service_stop;                 // manual reset: control handler to service main
    SIZE_T thread_stack_size;                 // dispatcher thread: 65,536 bytes reserved
    DWORD thread_flags;
    LPSECURITY_ATTRIBUTES thread_security;
    HANDLE thread_handle;
    DWORD thread_id;
    bool thread_created;
    SC_HANDLE scm_handle;                     // connection with SC_MANAGER_CONNECT; null if it failed
    SC_HANDLE service_handle;                 // the named service; null if it does not exist
    DWORD scm_error;
    DWORD service_error;
    HostEvent e_main_ready;                   // manual reset: main entry to dispatcher thread
    HostEvent e_host_started;                 // manual reset: the main entry waits for it before monitoring
    HostEvent e_host_stopped;                 // manual reset: the main entry waits for it before exiting
    HostEvent e_param_change;                 // auto reset: parameter-change control
    HostEvent e_monitor_ready;                // manual reset: main entry to service main: the monitor follows the log
    HostEvent e_monitor_done;                 // manual reset: main entry to service main: the monitor has ended
    DWORD monitor_error;                      // 0 after an asked-for end, else the error that ended the monitor
    bool stop_requested;                      // set on stop or shutdown, never cleared
    bool interactive;                         // the process has an interactive console or desktop
    bool is_service;                          // the process runs as a service
    bool start_after_install;
    wchar_t name[256];                        // the service name, default "tosmire.IPS"
    DWORD console_pid;
    DWORD console_sid;
    void (*control_callback)(DWORD control);  // monitor_control, installed by the main entry
};

// The service host's record. Filled by service_host_init in static initialisation; then written
// by the main entry (control_callback; monitor_error before it sets e_monitor_done), the
// dispatcher thread, service_main and the control handler, each its own fields as the comments
// above say. Its handles are closed by service_host_close at exit; it is never zeroed there,
// since a thread of the platform may still read it.
extern ServiceHost g_service_host;

// The service's Parameters key under HKLM, formatted with the service name.
inline constexpr wchar_t service_parameters_path[] = L"SYSTEM\\CurrentControlSet\\services\\%ls\\Parameters";

// The line of a control or installation that finds no service manager: name, operation, error.
inline constexpr wchar_t no_scm_text[] =
    L"!! Cannot connect to Service Control Manager.\n\tDo I have administrator priviledges?\n\t%ls %ls [%u]\n";

// Characters of a time prefix, terminator included.
constexpr int time_prefix_chars = 22;
// The current UTC time as "yyyy-mm-dd / hh:mm:ss" into text (time_prefix_chars); its length, 21.
int time_prefix(wchar_t *text);
// The given time (seconds since 1970, UTC) as time_prefix writes it; its length, 21.
int format_time_prefix(long long seconds, wchar_t *text);
// Prints the time prefix, then the formatted message, in one piece.
void print_prefixed(const wchar_t *format, ...);
// The same in the error colour.
void print_host_error(const wchar_t *format, ...);

// Creates the event unnamed and non-signalled; its created flag tells whether that worked.
void create_host_event(HostEvent &event, bool manual_reset);
// Sets the event, if it was created.
void signal_host_event(HostEvent &event);
// Waits for the event without time limit, if it was created.
void wait_host_event(HostEvent &event);
// Clears the created flag, sets the event (no thread stays waiting on it) and closes it.
void close_host_event(HostEvent &event);
// The state and process id of the service; false when it cannot be read.
bool query_process_status(SC_HANDLE service, SERVICE_STATUS_PROCESS &status);
// The system's text for a Win32 error, without its line end, into text (capacity characters);
// empty when the system has none.
void system_error_text(DWORD error, wchar_t *text, DWORD capacity);
