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
#include "shared/json/JsonText.h"

namespace glintward {

namespace fs = std::filesystem;
// Ordered: the members keep the order the user wrote them in.
using Json = nlohmann::ordered_json;

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
// An editor that saves in place truncates the file, then writes it: between the two the file is empty or
// half written. A write that finds it so looks again every few milliseconds for this long at most.
constexpr auto SETTLE_WAIT = std::chrono::milliseconds(UserDefaults::SETTLE_MS);
constexpr auto SETTLE_STEP = std::chrono::milliseconds(5);

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
    EMPTY,       // a regular file holding nothing but white space: no settings
    MALFORMED,   // a regular file holding no JSON object within the nesting limit
    UNREADABLE,  // a regular file that cannot be read
    NOT_A_FILE,  // a FIFO, a device, a folder, a loop of links: never opened blocking, never written over
};

// A member as the user wrote it, key and value, written back byte for byte while nothing of ours changes it:
// a value the JSON library cannot hold exactly (a lone surrogate escape, a number beyond a double, a long
// integer) keeps its meaning, and every value keeps its form.
struct Verbatim {
    std::string key;
    std::string value;
};

struct Document {
    Json object = Json::object();
    std::map<std::string, Verbatim, std::less<>> verbatim;  // by the key as read

    void set(const std::string& key, const std::optional<Json>& value) {
        verbatim.erase(key);
        if (value) {
            object[key] = *value;
        } else {
            object.erase(key);
        }
    }

    // Two spaces of indent, one member a line, in the object's order.
    std::string text() const {
        if (object.empty()) return "{}\n";
        // Invalid UTF-8 in a value of ours would make the encoder throw; it is written as U+FFFD instead.
        constexpr auto replace = Json::error_handler_t::replace;
        std::string out = "{";
        for (const auto& item : object.items()) {
            out += out.size() == 1 ? "\n  " : ",\n  ";
            if (const auto it = verbatim.find(item.key()); it != verbatim.end()) {
                out += it->second.key + ": " + it->second.value;
                continue;
            }
            out += Json(item.key()).dump(-1, ' ', false, replace) + ": ";
            for (const char c : item.value().dump(2, ' ', false, replace)) {
                out += c;
                if (c == '\n') out += "  ";  // the encoder escapes every line break inside a string
            }
        }
        return out + "\n}\n";
    }
};

struct Reading {
    Found found = Found::NOTHING;
    fs::path target;  // the file itself, at the end of any links
    Document document;
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

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The members of a text known to hold one JSON object (it parsed), as written: each key's token and its
// value's text. Only strings and nesting need care.
std::vector<std::pair<std::string_view, std::string_view>> membersAsWritten(std::string_view text) {
    std::vector<std::pair<std::string_view, std::string_view>> members;
    const auto skipSpace = [&](std::size_t i) {
        while (i < text.size() && isSpace(text[i])) ++i;
        return i;
    };
    const auto pastString = [&](std::size_t i) {  // i at the opening quote
        for (++i; i < text.size() && text[i] != '"'; ++i) {
            if (text[i] == '\\') ++i;
        }
        return i + 1;
    };
    std::size_t i = skipSpace(text.find('{') + 1);
    while (i < text.size() && text[i] == '"') {
        const std::size_t keyBegin = i;
        i = pastString(i);
        const std::string_view key = text.substr(keyBegin, i - keyBegin);
        i = skipSpace(skipSpace(i) + 1);  // past the colon
        const std::size_t valueBegin = i;
        std::size_t valueEnd = i;
        for (int depth = 0; i < text.size();) {
            const char c = text[i];
            if (c == '"') {
                valueEnd = i = pastString(i);
                continue;
            }
            if (depth == 0 && (c == ',' || c == '}')) break;
            if (c == '{' || c == '[') ++depth;
            if (c == '}' || c == ']') --depth;
            if (!isSpace(c)) valueEnd = i + 1;
            ++i;
        }
        members.emplace_back(key, text.substr(valueBegin, valueEnd - valueBegin));
        if (i < text.size() && text[i] == ',') i = skipSpace(i + 1);
    }
    return members;
}

// Any value of the file may be one the library refuses as it stands, even one we never read: a lone surrogate
// escape reads as U+FFFD, a number beyond a double as 0, and the member is written back as it was.
Json parseTolerant(std::string_view text, const Json::parser_callback_t& callback = nullptr) {
    JsonText source(text, [] { return true; });
    return Json::parse(source.begin(), source.end(), callback, /*allow_exceptions=*/false);
}

std::optional<Document> parseDocument(std::string_view text) {
    // The parser takes a NUL for the end of the text: what follows one would be dropped unseen.
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    bool tooDeep = false;
    // Containers beyond the limit are discarded as they are read, so they are never built either.
    Json parsed = parseTolerant(text, [&tooDeep](int depth, Json::parse_event_t event, Json&) {
        if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
            depth >= NESTING_MAX) {
            tooDeep = true;
            return false;
        }
        return true;
    });
    if (tooDeep || !parsed.is_object()) return std::nullopt;
    Document document;
    document.object = std::move(parsed);
    // A key repeated in the text: the parser keeps its first place and its last value, and so does this.
    for (const auto& [key, value] : membersAsWritten(text)) {
        const Json name = parseTolerant(key);
        if (name.is_string()) document.verbatim[name.get<std::string>()] = {std::string(key), std::string(value)};
    }
    return document;
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
        reading.found = errno == ELOOP ? Found::NOT_A_FILE : Found::UNREADABLE;
        reading.identity = Identity::of(st);
        return reading;
    }
    reading.found = Found::UNREADABLE;
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
            if (std::all_of(text.begin(), text.end(), isSpace)) {
                reading.found = Found::EMPTY;
            } else if (auto document = parseDocument(text)) {
                reading.found = Found::OBJECT;
                reading.document = std::move(*document);
            } else {
                reading.found = Found::MALFORMED;
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

// Whether the file changed lately, by its own time stamp: an editor's save in progress did.
bool changedLately(const Identity& identity) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t nowNs = std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
    return nowNs - identity.modifiedNs < UserDefaults::SETTLE_MS * 1'000'000;
}

// What an editor's save in place looks like between its truncation and its last write.
bool mayBeUnfinished(Found found) {
    return found == Found::EMPTY || found == Found::MALFORMED;
}

// The file read again every few milliseconds while it looks like a save in progress that changed lately, for
// SETTLE_WAIT at most.
Reading settled(const fs::path& file, Reading reading) {
    const auto deadline = std::chrono::steady_clock::now() + SETTLE_WAIT;
    while (mayBeUnfinished(reading.found) && changedLately(reading.identity) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(SETTLE_STEP);
        reading = readFile(file);
    }
    return reading;
}

enum class Replaced { DONE, FAILED, CHANGED };

// Writes beside the file, makes it durable, then renames it over the file: readers and a crash see the old
// or the new file, whole. The file found keeps its permissions. Just before the rename the file is looked at
// once more: if it changed since it was read (an editor began to save it in place, say), nothing is renamed
// over it, so an editor's bytes never land in a file that is no longer the live one; the caller reads it
// again. On DONE, `identity` is the new file's.
Replaced replaceFile(const Reading& at, const std::string& text, Identity& identity) {
    std::string temporary = at.target.string() + ".tmp-XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return Replaced::FAILED;
    if (at.found == Found::OBJECT || at.found == Found::EMPTY) ::fchmod(fd, at.mode);
    struct stat st {};
    const bool written = writeAll(fd, text) && ::fsync(fd) == 0 && ::fstat(fd, &st) == 0;
    const bool closed = ::close(fd) == 0;
    const bool changed = written && closed && Identity::at(at.target) != at.identity;
    if (!written || !closed || changed || ::rename(temporary.c_str(), at.target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return changed ? Replaced::CHANGED : Replaced::FAILED;
    }
    const fs::path folder = at.target.parent_path();
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    identity = Identity::of(st);
    return Replaced::DONE;
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
    Document document;
};

// A value set, or a key removed.
struct UserDefaults::Change {
    std::string key;
    std::optional<Json> value;

    void applyTo(Document& document) const { document.set(key, value); }
};

struct UserDefaults::Queued {
    Change change;
    bool done = false;  // under queueMutex_
};

struct UserDefaults::FileState {
    Identity seen;
    // A file found empty or malformed at a check, and when: it is taken only once it has stood SETTLE_MS.
    Identity pending;
    std::int64_t pendingSinceMs = 0;
    // Changes that could not be saved: they stay in force over every later reading of the file, and go to
    // the file with the next save that succeeds.
    std::map<std::string, std::optional<Json>, std::less<>> unsaved;
    bool noticed = false;
    Identity unusable;  // the last file found unusable

    void applyUnsaved(Document& document) const {
        for (const auto& [key, value] : unsaved) Change{key, value}.applyTo(document);
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

void UserDefaults::refresh() const {
    checkFile(/*whenDue=*/false);
}

std::uint64_t UserDefaults::changeCount() const {
    checkFile(/*whenDue=*/true);
    return changes_.load(std::memory_order_acquire);
}

void UserDefaults::checkFile(bool whenDue) const {
    const std::int64_t now = monotonicMs_();
    if (whenDue && now < nextCheckMs_.load(std::memory_order_relaxed)) return;
    // A read never waits for file work under way: it skips its check. An explicit look waits for that work,
    // which may be loading the very edit it looks for.
    std::unique_lock fileWork(fileMutex_, std::defer_lock);
    if (!whenDue) {
        fileWork.lock();
    } else if (!fileWork.try_lock() || now < nextCheckMs_.load(std::memory_order_relaxed)) {
        return;
    }
    nextCheckMs_.store(now + CHECK_INTERVAL_MS, std::memory_order_relaxed);
    if (Identity::at(file_) != fileState_->seen) load(/*atStart=*/false);
}

// At the start an empty file is an empty store, and one that cannot be read or parsed is moved aside (once an
// editor's save would have ended), as nothing of it can be kept. Found later, a file that is empty or does not
// parse may be an editor's save half done: it is taken only once it has stood a while, and then a malformed
// one is left where it is with the values in memory in force, until it parses again.
void UserDefaults::load(bool atStart) const {
    FileState& state = *fileState_;
    Reading reading = readFile(file_);
    if (atStart && reading.found == Found::MALFORMED) reading = settled(file_, std::move(reading));
    if (atStart && (reading.found == Found::MALFORMED || reading.found == Found::UNREADABLE)) {
        FileLock lock(reading.target);
        reading = readFile(file_);  // another instance may have just replaced it
        if ((reading.found == Found::MALFORMED || reading.found == Found::UNREADABLE) &&
            moveAside(reading.target)) {
            reading = Reading{};
        }
    }
    if (!atStart && mayBeUnfinished(reading.found)) {
        const std::int64_t now = monotonicMs_();
        if (state.pending != reading.identity) {
            state.pending = reading.identity;
            state.pendingSinceMs = now;
        }
        if (now - state.pendingSinceMs < SETTLE_MS) return;  // not seen: read again at the next check
    }
    state.seen = reading.identity;
    if (reading.found == Found::NOT_A_FILE) noticeInMemory();
    if (reading.found == Found::MALFORMED || reading.found == Found::UNREADABLE) {
        if (std::exchange(state.unusable, reading.identity) != reading.identity) noticeUnusable();
        return;
    }
    if (reading.found == Found::NOT_A_FILE) return;
    Document document = std::move(reading.document);
    state.applyUnsaved(document);
    // Changes kept in memory while the file could not be used reach it now.
    if (!atStart && !state.unsaved.empty() && reading.found != Found::NOTHING && save({}, false)) return;
    std::lock_guard values(mutex_);
    values_->document = std::move(document);
    changes_.fetch_add(1, std::memory_order_release);
}

void UserDefaults::noticeInMemory() const {
    if (std::exchange(fileState_->noticed, true)) return;
    log_("settings: " + file_.string() +
         " is not a regular file; the settings are kept in memory for this run");
}

void UserDefaults::noticeUnusable() const {
    log_("settings: " + file_.string() +
         " cannot be read as a JSON object; it is left as it is, and changes are kept in memory until it can");
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
    checkFile(true);
    std::lock_guard lock(mutex_);
    const Json* value = find(values_->document.object, key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::optional<std::vector<std::string>> UserDefaults::stringArrayForKey(std::string_view key) const {
    checkFile(true);
    std::lock_guard lock(mutex_);
    const Json* value = find(values_->document.object, key);
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
    checkFile(true);
    std::lock_guard lock(mutex_);
    const Json* value = find(values_->document.object, key);
    return value && value->is_boolean() ? value->get<bool>() : defaultValue;
}

double UserDefaults::doubleForKey(std::string_view key) const {
    checkFile(true);
    std::lock_guard lock(mutex_);
    const Json* value = find(values_->document.object, key);
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
    if (!save(batch, /*mayWait=*/true)) {
        std::lock_guard values(mutex_);
        for (Queued* queued : batch) {
            queued->change.applyTo(values_->document);
            fileState_->unsaved[queued->change.key] = std::move(queued->change.value);
        }
        changes_.fetch_add(1, std::memory_order_release);
    }
    std::lock_guard queue(queueMutex_);
    for (Queued* queued : batch) queued->done = true;
}

// Under fileMutex_: the changes not yet saved and the batch, over what the file holds now, under the lock
// beside it. A file that is empty or malformed is read again for a while when `mayWait`, as it may be an
// editor's save under way; then an empty one is no settings, and a malformed or unreadable one is never moved
// or written over: the changes stay in memory. What was saved is what reads see from then on.
bool UserDefaults::save(const std::vector<Queued*>& batch, bool mayWait) const {
    FileState& state = *fileState_;
    Reading reading = readFile(file_);
    if (reading.found == Found::NOT_A_FILE) {
        noticeInMemory();
        return false;
    }
    std::error_code ec;
    if (reading.found == Found::NOTHING) fs::create_directories(reading.target.parent_path(), ec);
    FileLock lock(reading.target);
    if (!lock.held()) return false;
    removeLeftovers(reading.target);
    // A file that changes between its reading and the rename is read again; an editor saving again and
    // again in that moment is given up on after a few rounds, and the changes stay in memory.
    for (int round = 0; round < 4; ++round) {
        reading = readFile(file_);  // what the file holds now, with no other writer of ours at it
        if (mayWait) reading = settled(file_, std::move(reading));
        if (reading.found == Found::NOT_A_FILE) noticeInMemory();
        if (reading.found == Found::MALFORMED || reading.found == Found::UNREADABLE) {
            state.seen = reading.identity;
            if (std::exchange(state.unusable, reading.identity) != reading.identity) noticeUnusable();
        }
        if (reading.found != Found::OBJECT && reading.found != Found::EMPTY && reading.found != Found::NOTHING)
            return false;
        Document document = std::move(reading.document);
        state.applyUnsaved(document);
        for (const Queued* queued : batch) queued->change.applyTo(document);
        Identity identity;
        switch (replaceFile(reading, document.text(), identity)) {
            case Replaced::DONE: {
                state.seen = identity;
                state.unsaved.clear();
                std::lock_guard values(mutex_);
                values_->document = std::move(document);
                changes_.fetch_add(1, std::memory_order_release);
                return true;
            }
            case Replaced::FAILED:
                return false;
            case Replaced::CHANGED:
                break;
        }
    }
    return false;
}

}  // namespace glintward
