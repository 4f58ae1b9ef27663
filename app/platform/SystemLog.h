#pragma once
// The system log: info-level lines for the systemd journal. A seam, so tests can capture what would be
// logged.

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace glintward {

class SystemLog {
public:
    virtual ~SystemLog() = default;

    // One info-level line of the subsystem "glintward", taken as plain text (never as a format). An empty
    // category writes the line without one.
    virtual void info(std::string_view message, std::string_view category) = 0;

    // A "match: " line of the device at `address`. A radio nearby decides how often these come, so a log that
    // keeps lines on disk bounds them (BoundedSystemLog); this one writes each as info() does.
    virtual void matchInfo(std::string_view message, std::string_view category, std::string_view address) {
        (void)address;
        info(message, category);
    }
};

// Writes to the systemd journal: MESSAGE, PRIORITY=6, SYSLOG_IDENTIFIER=glintward,
// GLINTWARD_SUBSYSTEM=glintward and, with a category, GLINTWARD_CATEGORY. Without a journal the lines are
// dropped silently. Thread-safe.
class JournalLog final : public SystemLog {
public:
    void info(std::string_view message, std::string_view category) override;
};

// The test fake: keeps every line in call order. Thread-safe.
class RecordingSystemLog final : public SystemLog {
public:
    struct Line {
        std::string message;
        std::string category;
        bool operator==(const Line&) const = default;
    };

    void info(std::string_view message, std::string_view category) override {
        std::lock_guard lock(mutex_);
        lines_.push_back({std::string(message), std::string(category)});
    }

    std::vector<Line> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

    std::vector<std::string> messages() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        out.reserve(lines_.size());
        for (const auto& line : lines_) out.push_back(line.message);
        return out;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

}  // namespace glintward
