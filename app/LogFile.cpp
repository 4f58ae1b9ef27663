#include "app/LogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "app/platform/LogLine.h"

namespace glintward {

LogFile::LogFile(std::string path) : path_(std::move(path)) {}

void LogFile::append(std::string_view message) {
    queue_.async([this, message = std::string(message)] { write(message); });
}

void LogFile::drain() {
    queue_.sync([] {});
}

std::string LogFile::timestamp(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(time);
    const std::time_t seconds = system_clock::to_time_t(floor<std::chrono::seconds>(ms));
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>((ms.time_since_epoch() % 1000).count()));
    return text;
}

void LogFile::write(const std::string& message) const {
    const std::string line = timestamp(std::chrono::system_clock::now()) + " " + message + "\n";
    // Appends to the file or creates it. O_NONBLOCK keeps a FIFO without a reader from stalling the queue for
    // good; it changes nothing for a regular file.
    const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) return;
    // One write per line when the system allows it, so even another process appending cannot split it.
    writeAll(fd, line);
    ::close(fd);
}

}  // namespace glintward
