// Console and log output, the floor: the console record, the two printing operations that
// every module uses, and console colours. It includes no other module of the program.
#pragma once
#include <windows.h>
#include <cstdio>
#include <cstddef>

// Colour index; 0 stands for the default attribute.
using ConsoleColor = unsigned short;

// The colours of the program, named after what they mark (the colour rule of
// console_color_attribute turns an index into an attribute).
constexpr ConsoleColor color_default = 0;       // the console's default attribute
constexpr ConsoleColor color_heading = 1;       // headings, echoed command lines, history and reset headings
constexpr ConsoleColor color_success = 2;       // the resume notice, the successful-logon line
constexpr ConsoleColor color_echo = 3;          // echoed operator letters, key codes shown under a debugger
constexpr ConsoleColor color_error = 4;         // error lines, the Ctrl-handler exit line
constexpr ConsoleColor color_notice = 5;        // debug-console, quit and block notices
constexpr ConsoleColor color_pause = 6;         // the pause notice
constexpr ConsoleColor color_spoofed = 7;       // the spoofed-address notice
constexpr ConsoleColor color_banner = 9;        // the banner, the successful-logon tag
constexpr ConsoleColor color_detach = 12;       // the detach notice
constexpr ConsoleColor color_banner_service = 13; // the banner of an interactive service
constexpr ConsoleColor color_attach = 138;      // the attach notice

struct ShadowConsole {
    FILE *out_stream;                           // standard output after a reopening
    FILE *err_stream;                           // standard error after a reopening
    FILE *in_stream;                            // standard input after a reopening
    wchar_t *out_block;                         // never allocated: an unbuffered stream would ignore it
    bool keep_console;                          // set by the quit key and the Ctrl handler: do not free at exit
    bool own_console;                           // the process had a console window at start-up
    HANDLE key_wait;                            // registered wait that runs the key console
    wchar_t *path_block;                        // 3 KiB block; its first 512 characters are log_path
    wchar_t *log_path;                          // the log-file path; empty until log_to_file has run
    CONSOLE_SCREEN_BUFFER_INFO default_snapshot; // wAttributes is default_attributes
    CONSOLE_SCREEN_BUFFER_INFO saved_snapshot;   // wAttributes is saved_attributes
    HANDLE in_handle;                           // standard handles as last read by refresh_std_handles
    HANDLE out_handle;                          // null switches every colour operation off
    HANDLE err_handle;
    HWND console_window;                        // null when the process has no console
    bool to_log_file;                           // standard output goes to the log file
    bool attached;                              // the console is another process's, attached by attach_console
    bool out_is_console;                        // out_handle is a console screen buffer: only then do colours act
    bool shown_known;                           // shown_attributes is the attribute the console has now
    WORD shown_attributes;                      // the attribute last set by this module
    volatile bool stdout_wide;                  // standard output is in wide-text mode since it was last reopened
};

// Where output goes, the console handles and the colour snapshots. Built by shadow_console_init
// (console/redirection) in static initialisation and zeroed by shadow_console_close at exit; in
// between written by the redirection operations (main thread, key console wait thread, service
// threads) and by the colour operations (the shown attribute), and read by every printing
// thread, without a lock. Only while stdout_wide is set may print_out hand the stream UTF-16
// text as it is; before start-up or on NUL the stream is narrow and converts the characters.
extern ShadowConsole g_shadow_console;

// Wide formatted output to standard output, unbuffered; returns the characters written.
int print_out(const wchar_t *format, ...);
// Formats into buffer (capacity in characters), always terminated; the count stored, or -1.
int format_text(wchar_t *buffer, size_t capacity, const wchar_t *format, ...);
// What this thread writes next begins a line of its own: a line that another thread left open
// is ended first, in the same write, so that no two records' lines run together.
void start_whole_line();
// From here on, what this thread prints is held and written in one piece by flush_output or
// output_gather_end, where that changes no byte (a wide output that is no console); one
// thread at a time. Whoever lets another program write to the output, reports, or waits
// flushes first. Where it is written in pieces (a console), a line another thread leaves open
// between two pieces is ended before the next.
void output_gather_begin();
// Writes what this thread has gathered, if it gathers.
void flush_output();
// Writes what this thread has gathered and stops gathering.
void output_gather_end();

// The attribute that colour index k gives on default attribute d (pure colour rule).
WORD console_color_attribute(ConsoleColor k, WORD d);
// Retakes the saved snapshot and sets the attribute of index k.
void set_console_color(ConsoleColor k);
// Puts back the attribute in effect before the last set_console_color.
void restore_console_color();
// Retakes the saved snapshot and sets the default attribute.
void reset_console_color();
// Sets the default attribute without retaking the saved snapshot (attach and detach notices).
void set_default_attribute();
// Takes the default and the saved snapshot from out_handle; a failing call leaves them as they were.
void take_color_snapshots();

// Waits for one character from standard input when a debugger is attached (after a failure).
void wait_key_if_debugged();
