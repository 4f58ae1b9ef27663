#include "app/platform/UserDefaults.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace glintward {

namespace fs = std::filesystem;
using Json = nlohmann::json;

struct UserDefaults::Values {
    Json object = Json::object();
};

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

// Reads the whole file; absent when it cannot be read.
std::optional<std::string> readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(text).str();
}

// Moves a file we cannot use out of the way under a name nothing else uses, so it is never overwritten.
bool moveAside(const fs::path& file) {
    const std::string base = file.string() + ".corrupt-" + std::to_string(std::time(nullptr));
    std::string aside = base;
    std::error_code ec;
    for (int n = 1; fs::exists(fs::symlink_status(aside, ec)); ++n) aside = base + "." + std::to_string(n);
    fs::rename(file, aside, ec);
    return !ec;
}

bool writeAll(int fd, const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

const Json* find(const Json& object, std::string_view key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

}  // namespace

UserDefaults& UserDefaults::standard() {
    // Never destroyed: a sync still waiting on the network at exit may write through it after static destruction.
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

UserDefaults::UserDefaults(fs::path file) : file_(std::move(file)), values_(std::make_unique<Values>()) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(file_, ec))) return;
    if (const auto text = readFile(file_)) {
        Json parsed = Json::parse(*text, nullptr, /*allow_exceptions=*/false);
        if (parsed.is_object()) {
            values_->object = std::move(parsed);
            return;
        }
    }
    persist_ = moveAside(file_);
}

UserDefaults::~UserDefaults() = default;

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const Json* value = find(values_->object, key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::optional<std::vector<std::string>> UserDefaults::stringArrayForKey(std::string_view key) const {
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
    std::lock_guard lock(mutex_);
    const Json* value = find(values_->object, key);
    return value && value->is_boolean() ? value->get<bool>() : defaultValue;
}

double UserDefaults::doubleForKey(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const Json* value = find(values_->object, key);
    return value && value->is_number() ? value->get<double>() : 0.0;
}

void UserDefaults::setBool(bool value, std::string_view key) {
    write([&](Json& object) { object[std::string(key)] = value; });
}

void UserDefaults::setObject(const std::string& value, std::string_view key) {
    write([&](Json& object) { object[std::string(key)] = value; });
}

void UserDefaults::setObject(const std::vector<std::string>& value, std::string_view key) {
    write([&](Json& object) { object[std::string(key)] = value; });
}

void UserDefaults::setDouble(double value, std::string_view key) {
    write([&](Json& object) { object[std::string(key)] = value; });
}

void UserDefaults::removeObjectForKey(std::string_view key) {
    write([&](Json& object) { object.erase(std::string(key)); });
}

template <class Change>
void UserDefaults::write(Change&& change) {
    std::uint64_t generation;
    std::string text;
    {
        std::lock_guard lock(mutex_);
        change(values_->object);
        generation = ++generation_;
        if (!persist_) return;
        // Invalid UTF-8 in a value would make the encoder throw; it is written as U+FFFD instead.
        text = values_->object.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    }
    save(generation, text);
}

void UserDefaults::save(std::uint64_t generation, const std::string& text) {
    std::lock_guard lock(saveMutex_);
    // Another thread has already saved a newer state; writing this one would undo its change on disk.
    if (generation <= savedGeneration_) return;
    savedGeneration_ = generation;

    const fs::path folder = file_.parent_path();
    std::error_code ec;
    if (!folder.empty()) fs::create_directories(folder, ec);

    // Write beside the file, make it durable, then rename over it: readers and a crash see old or new, whole.
    std::string temporary = file_.string() + ".tmp-XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return;
    const bool written = writeAll(fd, text) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), file_.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return;
    }
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

}  // namespace glintward
