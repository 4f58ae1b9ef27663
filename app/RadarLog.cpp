#include "app/RadarLog.h"

#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>

#include "app/BoundedSystemLog.h"
#include "app/LogFile.h"
#include "app/platform/LogLine.h"
#include "app/platform/UserDefaults.h"

namespace glintward {

namespace {

// Both holders are made once and never destroyed: a thread that outlives main (a catalogue sync still waiting
// on the network when the application quits) may log while the process exits, as UserDefaults::standard and
// SignatureRepository::shared may be read then.
// Absent without the key: then a line costs one system-log write and no queue work.
std::optional<LogFile>& logFile() {
    static auto* file = [] {
        auto* made = new std::optional<LogFile>;
        if (auto path = UserDefaults::standard().stringForKey("GlintwardLogFile")) {
            made->emplace(std::move(*path));
            // Never destroyed, so the lines still queued at exit are written then.
            std::atexit([] { RadarLog::drainLogFile(); });
        }
        return made;
    }();
    return *file;
}

std::atomic<std::shared_ptr<SystemLog>>& systemLog() {
    static auto* log = [] {
        auto* made = new std::atomic<std::shared_ptr<SystemLog>>(
            std::make_shared<BoundedSystemLog>(std::make_shared<JournalLog>(), logFile().has_value()));
        // What was left out since the last report is told before the process ends.
        std::atexit([] {
            if (const auto bounded = std::dynamic_pointer_cast<BoundedSystemLog>(systemLog().load())) {
                bounded->reportLeftOut();
            }
        });
        return made;
    }();
    return *log;
}

}  // namespace

// Both entries escape here, once, so the journal, the file and standard error all get the same single line.
void RadarLog::info(std::string_view message) {
    std::string escaped;
    const std::string_view line = asOneLine(message, escaped);
    if (const auto log = systemLog().load()) log->info(line, "radar");
    if (auto& file = logFile()) file->append(line);
}

void RadarLog::match(std::string_view message, std::string_view address) {
    std::string escaped;
    const std::string_view line = asOneLine(message, escaped);
    if (const auto log = systemLog().load()) log->matchInfo(line, "radar", address);
    if (auto& file = logFile()) file->append(line);
}

void RadarLog::syncLine(std::string_view text) {
    std::string escaped;
    const std::string_view line = asOneLine(text, escaped);
    if (const auto log = systemLog().load()) log->info(line, "");
    writeStandardErrorLine(line);
}

std::shared_ptr<SystemLog> RadarLog::replaceSystemLog(std::shared_ptr<SystemLog> log) {
    return systemLog().exchange(std::move(log));
}

void RadarLog::drainLogFile() {
    if (auto& file = logFile()) file->drain();
}

}  // namespace glintward
