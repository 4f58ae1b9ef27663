#pragma once
// The optional diagnostic log file: one line per message, "HH:mm:ss.SSS message\n" in local time, appended on
// the serial queue "glintward.log" so callers never wait for the disk and lines keep call order.

#include <chrono>
#include <string>
#include <string_view>

#include "app/platform/SerialQueue.h"

namespace glintward {

class LogFile {
public:
    explicit LogFile(std::string path);

    // Queues the line and returns; the time stamp is taken when the append runs. Every failure (the file
    // cannot be opened, created or written) drops the line silently.
    void append(std::string_view message);

    // Waits until every line queued so far has been appended.
    void drain();

    const std::string& path() const { return path_; }

    // "HH:mm:ss.SSS" in the local time zone.
    static std::string timestamp(std::chrono::system_clock::time_point time);

private:
    void write(const std::string& message) const;

    std::string path_;
    SerialQueue queue_{"glintward.log"};
};

}  // namespace glintward
