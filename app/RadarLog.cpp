#include "app/RadarLog.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <string>

#include "app/LogFile.h"
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

void writeStandardError(const std::string& line) {
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace

void RadarLog::info(std::string_view message) {
    if (const auto log = systemLog().load()) log->info(message, "radar");
    if (auto& file = logFile()) file->append(message);
}

void RadarLog::syncLine(std::string_view line) {
    if (const auto log = systemLog().load()) log->info(line, "");
    writeStandardError(std::string(line) + "\n");
}

std::shared_ptr<SystemLog> RadarLog::replaceSystemLog(std::shared_ptr<SystemLog> log) {
    return systemLog().exchange(std::move(log));
}

void RadarLog::drainLogFile() {
    if (auto& file = logFile()) file->drain();
}

}  // namespace glintward
