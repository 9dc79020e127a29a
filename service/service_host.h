// Service host record: service status, hand-shake events, service-manager handles, flags
// and the service name.
#pragma once
#include <windows.h>

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
    bool stop_requested;                      // set on stop or shutdown, never cleared
    bool interactive;                         // the process has an interactive console or desktop
    bool is_service;                          // the process runs as a service
    bool start_after_install;
    wchar_t name[256];                        // the service name, default "tosmire.IPS"
    DWORD console_pid;
    DWORD console_sid;
    void (*control_callback)(DWORD control);  // monitor_control, installed by the main entry
};

// The compiled-in service and event-source name.
extern const wchar_t default_service_name[];
// The service host's record. Filled by service_host_init in static initialisation; then written
// by the main entry (control_callback), the dispatcher thread, service_main and the control
// handler, each its own fields as the comments above say; cleared by service_host_close at exit.
extern ServiceHost g_service_host;

// Fills g_service_host before the main entry (static initialisation): the name from "-d:", the
// events, the service-manager connection and, when the named service exists, the decision
// whether this process is that service, then the dispatcher thread.
void service_host_init();
// Closes the dispatcher thread's handle (neither waiting for nor stopping the thread), signals
// and closes the events, closes the service-manager handles and zeroes the record; at exit.
void service_host_close();
// Characters of a time prefix, terminator included.
constexpr int time_prefix_chars = 22;
// The current UTC time as "yyyy-mm-dd / hh:mm:ss" into text (time_prefix_chars); its length, 21.
int time_prefix(wchar_t *text);
// The given time (seconds since 1970, UTC) as time_prefix writes it; its length, 21.
int format_time_prefix(long long seconds, wchar_t *text);
// Capacity, in characters, of the service command line.
constexpr DWORD service_command_line_chars = 1024;
// Builds "\"<image>\" \"-d:<name>\"" into line (service_command_line_chars); 0, or
// ERROR_INVALID_NAME for a name with a double quote, ERROR_FILENAME_EXCED_RANGE when too long.
DWORD build_service_command_line(const wchar_t *image, const wchar_t *name, wchar_t *line);
// Takes the service name from the first argument's text after "-d:" into name (256
// characters): default, '+' appends, up to the next ':', '/' and '\\' become '_'.
void service_name_from_argument(const wchar_t *text, wchar_t *name);
// Starts (0), stops (1), pauses (2), continues (3), reloads (6) the service or passes another
// control code on; -1 when it cannot be opened, 0 after a start, else the service's state.
int service_control(ServiceHost &host, DWORD control);
// Installs the service, interactive or not; -1 without path or service manager, 0 or the
// creation's Win32 error code.
int service_install(ServiceHost &host, bool interactive);
// Stops and removes the service, its event-source key and its log file.
void service_remove(ServiceHost &host);
// Executes the service commands of the command line; 0 (go on) or -1 (end with exit code 1).
int service_commands(ServiceHost &host, int argc, wchar_t **argv);
// Handles one control code for the service and passes it on to control_callback.
void service_ctrl_handler(DWORD control);
