// The child side of the loop's tests: a helper thread of the child drives the main entry's
// loop the way the key console does, and waits for it through the request word.
#pragma once
#include <windows.h>
#include "engine/monitor.h"

// Whether the condition came true within some 30 seconds.
inline bool wait_for(bool (*condition)())
{
    for (int i = 0; i < 30000 && !condition(); ++i)
        Sleep(1);
    return condition();
}

inline bool request_taken() { return monitor_request == 0; }

// Two requests taken one after the other: every record appended before the first was read
// by then, since the read follows the take.
inline void settle()
{
    for (int i = 0; i < 2; ++i) {
        send_monitor_request(MonitorRequest::show_history);
        wait_for(request_taken);
    }
}

// The scenario's actions, run by run_actions on a helper thread of the child.
inline void (*scenario_actions)() = nullptr;

// Thread routine: once the loop has started, the actions; then a quit, after the loop has
// taken every request the actions sent.
inline DWORD WINAPI run_actions(void *)
{
    wait_for([] { return e_notify_new_event != nullptr; });
    scenario_actions();
    wait_for(request_taken);
    send_monitor_request(MonitorRequest::quit);
    return 0;
}
