#include "app/RadarLog.h"

#include <atomic>
#include <optional>
#include <string>

#include "app/LogFile.h"
#include "app/platform/LogLine.h"
#include "app/platform/UserDefaults.h"

namespace glintward {

namespace {

std::atomic<std::shared_ptr<SystemLog>>& systemLog() {
    static std::atomic<std::shared_ptr<SystemLog>> log{std::make_shared<JournalLog>()};
    return log;
}

// Absent without the key: then a line costs one system-log write and no queue work.
std::optional<LogFile>& logFile() {
    static std::optional<LogFile> file = []() -> std::optional<LogFile> {
        if (auto path = UserDefaults::standard().stringForKey("GlintwardLogFile")) {
            return std::optional<LogFile>(std::in_place, std::move(*path));
        }
        return std::nullopt;
    }();
    return file;
}

}  // namespace

// Both entries escape here, once, so the journal, the file and standard error all get the same single line.
void RadarLog::info(std::string_view message) {
    std::string escaped;
    const std::string_view line = asOneLine(message, escaped);
    if (const auto log = systemLog().load()) log->info(line, "radar");
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
