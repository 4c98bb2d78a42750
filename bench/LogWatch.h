#pragma once

#include "Stats.h"
#include "platform/Owners.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace bench {

// Watches a running service's log file from the side and stamps every line it sees appear
// with QueryPerformanceCounter, so that the steps of a real start or stop can be timed
// from the service's own lines without a hook in the service. A line is stamped within one
// poll (about a millisecond under Wine) of its write; the stamps of two lines therefore
// bound the time between them to about that.
class LogWatch {
public:
    explicit LogWatch(std::wstring path);
    ~LogWatch();
    LogWatch(const LogWatch&) = delete;
    LogWatch& operator=(const LogWatch&) = delete;

    // False when the file cannot be opened; it is watched from its end as it is now.
    bool start();

    // The stamp of the first line containing `text` seen at or after `after`, waiting for
    // it up to timeoutMs; 0 when none came.
    LONGLONG waitFor(std::string_view text, LONGLONG after, DWORD timeoutMs);

private:
    struct Line {
        LONGLONG stamp;
        std::string text;
    };

    bool open(bool fromEnd);
    void run();
    void readNew();

    const Clock clock;
    std::wstring path;
    UniqueHandle file;
    LONGLONG offset = 0;
    std::string partial;
    std::mutex mutex;
    std::vector<Line> lines;
    std::atomic<bool> quit{false};
    std::thread thread;
};

} // namespace bench
