// PLACEHOLDER: minimal printing until the console and log output module lands.
#include "console/output.h"
#include <cstdarg>
#include <cwchar>

ShadowConsole g_shadow_console;

int print_out(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    int written = vfwprintf(stdout, format, args);
    va_end(args);
    return written;
}

int format_text(wchar_t *buffer, size_t capacity, const wchar_t *format, ...)
{
    if (buffer == nullptr || capacity == 0)
        return -1;
    va_list args;
    va_start(args, format);
    int stored = _vsnwprintf_s(buffer, capacity, _TRUNCATE, format, args);
    va_end(args);
    return stored;
}

WORD console_color_attribute(ConsoleColor k, WORD d) { return k == 0 ? d : d; }
void set_console_color(ConsoleColor) {}
void restore_console_color() {}
void reset_console_color() {}
int log_to_file(bool) { return -1; }
DWORD new_console() { return ERROR_CALL_NOT_IMPLEMENTED; }
int attach_console(DWORD) { return -1; }
void free_console() {}
void shadow_console_init() {}
