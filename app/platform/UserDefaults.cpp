#include "app/platform/UserDefaults.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>

#include "app/platform/LogLine.h"
#include "app/platform/SystemLog.h"

namespace glintward {

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

fs::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir) {
        return found->pw_dir;
    }
    return "/";
}

// Our values nest one deep (a list in the object). Copying and writing JSON recurse, so a file nested
// thousands deep would overflow the stack; one nested deeper than this is not taken.
constexpr int NESTING_MAX = 16;
// As the kernel's own limit on links followed in one path.
constexpr int LINKS_MAX = 40;
// A writer holds the lock only while it saves; one that holds it longer (stopped, say) is not waited for.
constexpr auto LOCK_WAIT = std::chrono::seconds(2);

// Where the file was found and when it last changed: a change of any of these means someone wrote it.
struct Identity {
    bool present = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modifiedNs = 0;

    static Identity of(const struct stat& st) {
        return {true, st.st_dev, st.st_ino, st.st_size,
                std::int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec};
    }
    // What lies at the path now, links followed.
    static Identity at(const fs::path& file) {
        struct stat st {};
        return ::stat(file.c_str(), &st) == 0 ? of(st) : Identity{};
    }
    bool operator==(const Identity&) const = default;
};

enum class Found {
    NOTHING,     // no file (or none we can reach): a write creates it
    OBJECT,      // a JSON object
    UNUSABLE,    // a regular file that cannot be read, or holds no JSON object within the nesting limit
    NOT_A_FILE,  // a FIFO, a device, a folder, a loop of links: never opened blocking, never written over
};

struct Reading {
    Found found = Found::NOTHING;
    fs::path target;  // the file itself, at the end of any links
    Json object;
    Identity identity;
    mode_t mode = 0600;
};

// The end of the chain of links starting at `file` (relative targets taken from each link's own folder), or
// absent for a chain that loops or runs too long.
std::optional<fs::path> followLinks(fs::path file) {
    for (int hops = 0; hops <= LINKS_MAX; ++hops) {
        struct stat st {};
        if (::lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return file;
        std::error_code ec;
        const fs::path target = fs::read_symlink(file, ec);
        if (ec) return std::nullopt;
        file = target.is_absolute() ? target : file.parent_path() / target;
    }
    return std::nullopt;
}

std::optional<Json> parseObject(const std::string& text) {
    bool tooDeep = false;
    // Containers beyond the limit are discarded as they are read, so they are never built either.
    Json parsed = Json::parse(
        text,
        [&tooDeep](int depth, Json::parse_event_t event, Json&) {
            if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
                depth >= NESTING_MAX) {
                tooDeep = true;
                return false;
            }
            return true;
        },
        /*allow_exceptions=*/false);
    if (tooDeep || !parsed.is_object()) return std::nullopt;
    return parsed;
}

// Never waits on what lies at the path: only a regular file is opened, without blocking and without following
// a link put in its place meanwhile, and the descriptor is checked again before anything is read.
Reading readFile(const fs::path& file) {
    Reading reading;
    const std::optional<fs::path> target = followLinks(file);
    reading.target = target.value_or(file);
    if (!target) {
        reading.found = Found::NOT_A_FILE;
        return reading;
    }
    struct stat st {};
    if (::lstat(target->c_str(), &st) != 0) return reading;
    if (!S_ISREG(st.st_mode)) {
        reading.found = Found::NOT_A_FILE;
        reading.identity = Identity::of(st);
        return reading;
    }
    const int fd = ::open(target->c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return reading;
        reading.found = errno == ELOOP ? Found::NOT_A_FILE : Found::UNUSABLE;
        reading.identity = Identity::of(st);
        return reading;
    }
    reading.found = Found::UNUSABLE;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        reading.found = Found::NOT_A_FILE;
    } else {
        reading.identity = Identity::of(st);
        reading.mode = st.st_mode & 07777;
        std::string text;
        char buffer[65536];
        bool failed = false;
        while (true) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) failed = true;
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
        if (!failed) {
            if (auto object = parseObject(text)) {
                reading.found = Found::OBJECT;
                reading.object = std::move(*object);
            }
        }
    }
    ::close(fd);
    return reading;
}

// An exclusive flock on "<file>.lock" beside the file, so that every writer of the file, in this process or
// another, takes its turn. Not held when the lock file cannot be made, or another writer keeps it too long.
class FileLock {
public:
    explicit FileLock(const fs::path& target) {
        const std::string path = target.string() + ".lock";
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ < 0) return;
        struct stat st {};
        if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
            const auto deadline = std::chrono::steady_clock::now() + LOCK_WAIT;
            while (true) {
                if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
                    held_ = true;
                    return;
                }
                if (errno == EINTR) continue;
                if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        ::close(fd_);
        fd_ = -1;
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool held() const { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};

// Moves a file we cannot use out of the way under a name nothing else uses, so it is never overwritten.
bool moveAside(const fs::path& file) {
    const std::string base = file.string() + ".corrupt-" + std::to_string(std::time(nullptr));
    std::string aside = base;
    std::error_code ec;
    for (int n = 1; fs::exists(fs::symlink_status(aside, ec)); ++n) aside = base + "." + std::to_string(n);
    fs::rename(file, aside, ec);
    return !ec;
}

// Temporary files of saves that were killed before their rename. Only called under the lock, so no other
// writer's save is under way.
void removeLeftovers(const fs::path& target) {
    const std::string prefix = target.filename().string() + ".tmp-";
    const std::size_t length = prefix.size() + 6;  // mkostemp's six characters
    const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() == length && name.compare(0, prefix.size(), prefix) == 0)
            ::unlink(it->path().c_str());
    }
}

// Writes beside the file, makes it durable, then renames it over the file: readers and a crash see the old
// or the new file, whole. The file found keeps its permissions. Returns the new file's identity.
std::optional<Identity> replaceFile(const Reading& at, const Json& object) {
    // Invalid UTF-8 in a value would make the encoder throw; it is written as U+FFFD instead.
    const std::string text = object.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    std::string temporary = at.target.string() + ".tmp-XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    if (at.found == Found::OBJECT) ::fchmod(fd, at.mode);
    struct stat st {};
    const bool written = writeAll(fd, text) && ::fsync(fd) == 0 && ::fstat(fd, &st) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), at.target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return std::nullopt;
    }
    const fs::path folder = at.target.parent_path();
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return Identity::of(st);
}

const Json* find(const Json& object, std::string_view key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::int64_t coarseMonotonicMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1'000'000;
}

void logToSystem(const std::string& line) {
    std::string escaped;
    const std::string_view oneLine = asOneLine(line, escaped);
    JournalLog().info(oneLine, "");
    writeStandardErrorLine(oneLine);
}

}  // namespace

struct UserDefaults::Values {
    Json object = Json::object();
};

// A value set, or a key removed.
struct UserDefaults::Change {
    std::string key;
    std::optional<Json> value;

    void applyTo(Json& object) const {
        if (value) {
            object[key] = *value;
        } else {
            object.erase(key);
        }
    }
};

struct UserDefaults::Queued {
    Change change;
    bool done = false;  // under queueMutex_
};

struct UserDefaults::FileState {
    Identity seen;
    // Changes that could not be saved: they stay in force over every later reading of the file, and go to
    // the file with the next save that succeeds.
    std::map<std::string, std::optional<Json>, std::less<>> unsaved;
    bool noticed = false;

    void applyUnsaved(Json& object) const {
        for (const auto& [key, value] : unsaved) Change{key, value}.applyTo(object);
    }
};

UserDefaults& UserDefaults::standard() {
    // Never destroyed: a sync still waiting on the network at exit may write through it after static
    // destruction.
    static UserDefaults* const instance = new UserDefaults(standardPath());
    return *instance;
}

fs::path UserDefaults::standardPath() {
    fs::path config;
    // The XDG rules ignore a relative value.
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg && fs::path(xdg).is_absolute()) {
        config = xdg;
    } else {
        config = homeFolder() / ".config";
    }
    return config / "glintward" / "defaults.json";
}

UserDefaults::UserDefaults(fs::path file, Seams seams)
    : file_(std::move(file)),
      monotonicMs_(seams.monotonicMs ? std::move(seams.monotonicMs) : coarseMonotonicMs),
      log_(seams.log ? std::move(seams.log) : logToSystem),
      values_(std::make_unique<Values>()),
      fileState_(std::make_unique<FileState>()) {
    std::lock_guard fileWork(fileMutex_);
    load(/*atStart=*/true);
    nextCheckMs_ = monotonicMs_() + CHECK_INTERVAL_MS;
}

UserDefaults::~UserDefaults() = default;

void UserDefaults::refreshIfDue() const {
    const std::int64_t now = monotonicMs_();
    if (now < nextCheckMs_.load(std::memory_order_relaxed)) return;
    std::unique_lock fileWork(fileMutex_, std::try_to_lock);
    if (!fileWork.owns_lock() || now < nextCheckMs_.load(std::memory_order_relaxed)) return;
    nextCheckMs_.store(now + CHECK_INTERVAL_MS, std::memory_order_relaxed);
    if (Identity::at(file_) != fileState_->seen) load(/*atStart=*/false);
}

// A file found unusable at the start is moved aside, as nothing of it can be kept; found later, it is left
// where it is and the values in memory stay: it may be an editor's save half done, and the next write moves
// it aside if it is still unusable then.
void UserDefaults::load(bool atStart) const {
    Reading reading = readFile(file_);
    if (reading.found == Found::UNUSABLE && atStart) {
        FileLock lock(reading.target);
        reading = readFile(file_);  // another instance may have just replaced it
        if (reading.found == Found::UNUSABLE && moveAside(reading.target)) reading = Reading{};
    }
    FileState& state = *fileState_;
    state.seen = reading.identity;
    if (reading.found == Found::NOT_A_FILE) noticeInMemory();
    if (reading.found != Found::OBJECT && reading.found != Found::NOTHING) return;
    Json object = reading.found == Found::OBJECT ? std::move(reading.object) : Json::object();
    state.applyUnsaved(object);
    std::lock_guard values(mutex_);
    values_->object = std::move(object);
}

void UserDefaults::noticeInMemory() const {
    if (std::exchange(fileState_->noticed, true)) return;
    log_("settings: " + file_.string() +
         " is not a regular file; the settings are kept in memory for this run");
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
    refreshIfDue();
    std::lock_guard lock(mutex_);
    const Json* value = find(values_->object, key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::optional<std::vector<std::string>> UserDefaults::stringArrayForKey(std::string_view key) const {
    refreshIfDue();
    std::lock_guard lock(mutex_);
    const Json* value = find(values_->object, key);
    if (!value || !value->is_array()) return std::nullopt;
    std::vector<std::string> list;
    list.reserve(value->size());
    for (const Json& item : *value) {
        if (!item.is_string()) return std::nullopt;
        list.push_back(item.get<std::string>());
    }
    return list;
}

bool UserDefaults::boolForKey(std::string_view key) const {
    return boolForKey(key, false);
}

bool UserDefaults::boolForKey(std::string_view key, bool defaultValue) const {
    refreshIfDue();
    std::lock_guard lock(mutex_);
    const Json* value = find(values_->object, key);
    return value && value->is_boolean() ? value->get<bool>() : defaultValue;
}

double UserDefaults::doubleForKey(std::string_view key) const {
    refreshIfDue();
    std::lock_guard lock(mutex_);
    const Json* value = find(values_->object, key);
    return value && value->is_number() ? value->get<double>() : 0.0;
}

void UserDefaults::setBool(bool value, std::string_view key) {
    write({std::string(key), Json(value)});
}

void UserDefaults::setObject(const std::string& value, std::string_view key) {
    write({std::string(key), Json(value)});
}

void UserDefaults::setObject(const std::vector<std::string>& value, std::string_view key) {
    write({std::string(key), Json(value)});
}

void UserDefaults::setDouble(double value, std::string_view key) {
    write({std::string(key), Json(value)});
}

void UserDefaults::removeObjectForKey(std::string_view key) {
    write({std::string(key), std::nullopt});
}

// Writers that arrive while another one is at the file queue their changes; whoever gets the file next saves
// every change queued by then at once, so a burst of writes costs a few saves rather than one each.
void UserDefaults::write(Change change) {
    Queued mine{std::move(change)};
    {
        std::lock_guard queue(queueMutex_);
        queue_.push_back(&mine);
    }
    std::lock_guard fileWork(fileMutex_);
    std::vector<Queued*> batch;
    {
        std::lock_guard queue(queueMutex_);
        if (mine.done) return;  // saved by the writer before us
        batch = std::exchange(queue_, {});
    }
    FileState& state = *fileState_;
    Reading reading = readFile(file_);
    std::optional<Json> saved;
    if (reading.found != Found::NOT_A_FILE) {
        std::error_code ec;
        if (reading.found == Found::NOTHING) fs::create_directories(reading.target.parent_path(), ec);
        FileLock lock(reading.target);
        if (lock.held()) {
            reading = readFile(file_);  // what the file holds now, with no other writer of ours at it
            Json object = Json::object();
            if (reading.found == Found::OBJECT) {
                object = std::move(reading.object);
            } else if (reading.found == Found::UNUSABLE && moveAside(reading.target)) {
                // Nothing of it can be read: what was last read stands in for it.
                std::lock_guard values(mutex_);
                object = values_->object;
                reading.found = Found::NOTHING;
            }
            if (reading.found == Found::OBJECT || reading.found == Found::NOTHING) {
                state.applyUnsaved(object);
                for (const Queued* queued : batch) queued->change.applyTo(object);
                removeLeftovers(reading.target);
                if (const auto identity = replaceFile(reading, object)) {
                    state.seen = *identity;
                    state.unsaved.clear();
                    saved = std::move(object);
                }
            }
        }
    }
    if (reading.found == Found::NOT_A_FILE) noticeInMemory();
    {
        std::lock_guard values(mutex_);
        if (saved) {
            values_->object = std::move(*saved);
        } else {
            for (Queued* queued : batch) {
                queued->change.applyTo(values_->object);
                state.unsaved[queued->change.key] = std::move(queued->change.value);
            }
        }
    }
    std::lock_guard queue(queueMutex_);
    for (Queued* queued : batch) queued->done = true;
}

}  // namespace glintward
