#include "platform/posix/audio/PlayingHeaders.h"
#include "platform/posix/audio/WaveHeaderFlags.h"

void PlayingHeaders::ReturnPlayed(ULONGLONG played) {
    auto end = m_entries.begin();
    while (end != m_entries.end() && end->end <= played)
        MarkDone((end++)->header);
    m_entries.erase(m_entries.begin(), end);
}

void PlayingHeaders::ReturnAll() {
    for (const Entry& entry : m_entries)
        MarkDone(entry.header);
    m_entries.clear();
}
