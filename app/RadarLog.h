#pragma once
// The host's one logging entry point. Every diagnostic line goes through RadarLog::info; the one line of the
// catalogue sync goes through RadarLog::syncLine. Both may be called from any thread and return at once, and
// both write each message as one line whatever it holds (see asOneLine).

#include <memory>
#include <string_view>

#include "app/platform/SystemLog.h"

namespace glintward {

class RadarLog {
public:
    RadarLog() = delete;

    // Writes the message at info level to the system log (category "radar") and, when the user-defaults key
    // "GlintwardLogFile" names a file, appends it time-stamped to that file. The key is read once, at the
    // first call, so a change takes effect at the next launch.
    static void info(std::string_view message);

    // As info(), for the "match: " line of the device at `address`; the system log takes such lines bounded
    // (see BoundedSystemLog), the log file takes them all.
    static void match(std::string_view message, std::string_view address);

    // Writes the line to the system log without a category and to standard error; never to the log file.
    static void syncLine(std::string_view text);

    // Tests: routes the system-log lines to `log` (a RecordingSystemLog, say, which takes every line) and
    // returns the one in force; a null log drops the lines. The one in force at start bounds the match lines
    // on their way to the journal.
    static std::shared_ptr<SystemLog> replaceSystemLog(std::shared_ptr<SystemLog> log);

    // Tests: waits until every line queued for the log file so far has been appended.
    static void drainLogFile();
};

}  // namespace glintward
