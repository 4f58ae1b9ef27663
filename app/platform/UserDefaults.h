#pragma once
// The user-defaults store: typed values (boolean, double, text, text list) under text keys, kept as one JSON
// object in a file. Every host user reads and writes the one standard instance.
//
// Reads and writes may come from any thread. A write is seen by every later read at once and reaches the file
// before it returns, through an atomic replace, so a crash at any moment leaves the old or the new file
// whole. Nothing here throws: a file that cannot be written leaves the values in memory in force for the run.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace glintward {

class UserDefaults {
public:
    // The instance over standardPath(), made at its first use.
    static UserDefaults& standard();

    // $XDG_CONFIG_HOME/glintward/defaults.json, or ~/.config/glintward/defaults.json when it is unset.
    static std::filesystem::path standardPath();

    // Loads the file if it exists. A file that is not a JSON object is moved aside to
    // "<name>.corrupt-<unix time>" and the store starts empty.
    explicit UserDefaults(std::filesystem::path file);
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

private:
    struct Values;  // the JSON object, kept out of this header

    template <class Change>
    void write(Change&& change);
    void save(std::uint64_t generation, const std::string& text);

    std::filesystem::path file_;
    // Values and generation: held only while reading or changing memory, never during file work.
    mutable std::mutex mutex_;
    std::unique_ptr<Values> values_;
    std::uint64_t generation_ = 0;
    // File work, one save at a time; a save older than the one on disk is skipped.
    std::mutex saveMutex_;
    std::uint64_t savedGeneration_ = 0;
    // False when a corrupt file could not be moved aside: saving would overwrite it.
    bool persist_ = true;
};

}  // namespace glintward
