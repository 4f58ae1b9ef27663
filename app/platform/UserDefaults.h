#pragma once
// The user-defaults store: typed values (boolean, double, text, text list) under text keys, kept as one JSON
// object in a file. Every host user reads and writes the one standard instance. The file belongs to its user
// as much as to us: the user edits it, often while we run, and a dotfile manager may keep it as a link.
//
// Reads and writes may come from any thread. A read is a mutex and a look-up; at most once per check interval
// a read also looks (one stat) whether the file changed, and loads it when it did. A write changes only its
// key in what the file holds at that moment: under an exclusive lock beside the file it re-reads the file,
// sets the key and replaces the file atomically, so a crash at any moment leaves the old or the new file
// whole and neither another instance's write nor the user's own edit is lost. A write is seen by every later
// read at once and reaches the file before it returns. A symbolic link stays a link: the file it leads to is
// replaced. Nothing here throws, and nothing waits on what lies at the path: a file that cannot be written,
// or anything there but a regular file, leaves the values in memory in force for the run.
//
// An editor that saves in place truncates the file, then writes it. So a write that finds the file empty or
// unparsable reads it again for a while, and replaces it only once the file holds an object, or holds
// nothing after that while; a file that still does not parse is never moved or written over, and the change
// stays in memory until the file parses again. A check does the same without waiting: such a file is taken
// only once it has stood SETTLE_MS. Members keep the user's order, and each one we do not set is written back
// as the user wrote it.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace glintward {

class UserDefaults {
public:
    struct Seams {
        // Milliseconds of a monotonic clock; the system's coarse monotonic clock when empty.
        std::function<std::int64_t()> monotonicMs;
        // Takes the store's notices, one line each; the system log and standard error when empty.
        std::function<void(const std::string&)> log;
    };

    // How often reads look for outside edits. A stat this seldom costs nothing beside the reads the engine
    // makes for every advertisement, needs no watcher thread or descriptor, and follows links wherever they
    // lead (an inotify watch would have to watch every folder of a chain of links); an edit is seen within a
    // quarter of a second.
    static constexpr std::int64_t CHECK_INTERVAL_MS = 250;
    // An editor that saves in place truncates the file and then writes it; this long at most, a file found
    // empty or unparsable may be such a save under way rather than what the user meant.
    static constexpr std::int64_t SETTLE_MS = 1000;

    // The instance over standardPath(), made at its first use.
    static UserDefaults& standard();

    // $XDG_CONFIG_HOME/glintward/defaults.json, or ~/.config/glintward/defaults.json when it is unset.
    static std::filesystem::path standardPath();

    // Loads the file if it exists. An empty file is an empty store. A file that cannot be read or is not a
    // JSON object (still, after an editor's save would have ended) is moved aside to
    // "<name>.corrupt-<unix time>" and the store starts empty; anything but a regular file is left alone,
    // said so in one notice, and the store runs in memory.
    explicit UserDefaults(std::filesystem::path file, Seams seams = {});
    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    const std::filesystem::path& path() const { return file_; }

    // Absent when missing or not text.
    std::optional<std::string> stringForKey(std::string_view key) const;
    // Absent when missing, not a list, or holding anything but text.
    std::optional<std::vector<std::string>> stringArrayForKey(std::string_view key) const;
    // False when missing or not a boolean.
    bool boolForKey(std::string_view key) const;
    // The stored object taken as a boolean: the stored boolean, or `defaultValue` when the key is missing or
    // holds another type.
    bool boolForKey(std::string_view key, bool defaultValue) const;
    // 0 when missing or not a number.
    double doubleForKey(std::string_view key) const;

    void setBool(bool value, std::string_view key);
    void setObject(const std::string& value, std::string_view key);
    void setObject(const std::vector<std::string>& value, std::string_view key);
    void setDouble(double value, std::string_view key);
    void removeObjectForKey(std::string_view key);

    // Looks at once whether the file changed, and loads it if so (reads look at most once per check
    // interval). Waits for file work under way on another thread (a write reading the file, say).
    void refresh() const;
    // How many times the values have changed so far, by a write or by an outside edit loaded; first looks
    // for an outside edit when a check is due. Cheap enough for a timer on the main thread: an atomic, and a
    // stat at most once per check interval.
    std::uint64_t changeCount() const;

private:
    struct Values;     // the JSON object reads see, kept out of this header
    struct FileState;  // what the file looked like when last read or written, and the changes not on it
    struct Change;
    struct Queued;  // a write waiting for its turn at the file

    void write(Change change);
    // Under fileMutex_: saves the changes kept in memory and the batch into what the file holds now.
    bool save(const std::vector<Queued*>& batch, bool mayWait) const;
    // Loads the file when it changed since it was last read or written (and, `whenDue`, a check is due).
    void checkFile(bool whenDue) const;
    void load(bool atStart) const;
    // Says once that the store runs in memory because something other than a file is in the way.
    void noticeInMemory() const;
    // Says that the file cannot be used, so changes stay in memory: once for each such file.
    void noticeUnusable() const;

    std::filesystem::path file_;
    std::function<std::int64_t()> monotonicMs_;
    std::function<void(const std::string&)> log_;
    // Values: held only while reading or changing memory, never during file work.
    mutable std::mutex mutex_;
    std::unique_ptr<Values> values_;
    // File work, one write or load at a time. Reads never wait for it: one that finds it taken skips its
    // check (refresh() waits).
    mutable std::mutex fileMutex_;
    std::unique_ptr<FileState> fileState_;
    // Writes waiting for the file; the one that gets it next saves them all.
    std::mutex queueMutex_;
    std::vector<Queued*> queue_;
    mutable std::atomic<std::int64_t> nextCheckMs_{0};
    mutable std::atomic<std::uint64_t> changes_{0};
};

}  // namespace glintward
