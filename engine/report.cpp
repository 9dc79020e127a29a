// Reports to the Application event log.
#include "engine/report.h"
#include "console/output.h"
#include <cstring>

HANDLE event_source = nullptr;

void report_event(WORD type, WORD category, DWORD event_id, const wchar_t **strings, WORD count, const char *tag)
{
    // What was printed before the report is out before it, as it would be unbuffered.
    flush_output();
    // Read once: the main thread may close the source while another thread reports.
    HANDLE source = event_source;
    if (source == nullptr)
        return;
    const DWORD tag_bytes = tag != nullptr ? static_cast<DWORD>(strlen(tag)) : 0;
    ReportEventW(source, type, category, event_id, nullptr, count, tag_bytes, strings,
                 tag_bytes != 0 ? const_cast<char *>(tag) : nullptr);
}
