// Reports to the Application event log.
#include "engine/report.h"
#include "console/output.h"
#include <cstring>

HANDLE event_source = nullptr;

namespace {
// Reports hold it shared, the closing exclusively: a pause or continue reported on the service
// control thread while the main thread closes the source must not use a closed handle.
SRWLOCK source_lock = SRWLOCK_INIT;
}

void report_event(WORD type, WORD category, DWORD event_id, const wchar_t **strings, WORD count, const char *tag)
{
    // What was printed before the report is out before it, as it would be unbuffered.
    flush_output();
    const DWORD tag_bytes = tag != nullptr ? static_cast<DWORD>(strlen(tag)) : 0;
    AcquireSRWLockShared(&source_lock);
    if (event_source != nullptr)
        ReportEventW(event_source, type, category, event_id, nullptr, count, tag_bytes, strings,
                     tag_bytes != 0 ? const_cast<char *>(tag) : nullptr);
    ReleaseSRWLockShared(&source_lock);
}

void close_event_source()
{
    AcquireSRWLockExclusive(&source_lock);
    if (event_source != nullptr) {
        DeregisterEventSource(event_source);
        event_source = nullptr;
    }
    ReleaseSRWLockExclusive(&source_lock);
}
