#pragma once

#include "platform/posix/WindowsApi.h"

#include <vector>

// The headers a wave-out stream holds, in the order written, each with the
// stream position (bytes since the open or the last stop) at which it has
// been played. The stream marks them done from its own thread. The list
// keeps its capacity, so that streaming allocates nothing once as many
// headers as ever are in flight. Not locked: the stream's lock covers it.
class PlayingHeaders {
public:
    void Push(WAVEHDR* header, ULONGLONG end) { m_entries.push_back(Entry{header, end}); }
    // Marks done, in order, every header whose end `played` has reached.
    void ReturnPlayed(ULONGLONG played);
    // Marks every header done, played or not.
    void ReturnAll();
    bool Empty() const { return m_entries.empty(); }
    // The first header not returned yet and its end; Empty() must be false.
    const WAVEHDR& Front() const { return *m_entries.front().header; }
    ULONGLONG FrontEnd() const { return m_entries.front().end; }

private:
    struct Entry {
        WAVEHDR* header;
        ULONGLONG end;
    };

    std::vector<Entry> m_entries;
};
