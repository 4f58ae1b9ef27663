#pragma once
// Reads back the journal of the journald that scripts/private-journal starts beside a test or benchmark (its
// folder in GLINTWARD_PRIVATE_JOURNAL): the entries this process sent, and how many bytes the journal files
// hold.

#include <systemd/sd-journal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace glintward::testing {

// The journal's folder, or absent outside scripts/private-journal.
inline std::optional<std::filesystem::path> privateJournal() {
    const char* dir = std::getenv("GLINTWARD_PRIVATE_JOURNAL");
    if (!dir || !*dir) return std::nullopt;
    return std::filesystem::path(dir);
}

struct JournalEntry {
    std::string message, priority, identifier, subsystem, category;
    bool operator==(const JournalEntry&) const = default;
};

class JournalReader {
public:
    explicit JournalReader(const std::filesystem::path& dir) {
        if (sd_journal_open_directory(&journal_, dir.c_str(), 0) < 0) journal_ = nullptr;
        const std::string pid = "_PID=" + std::to_string(::getpid());
        if (journal_) sd_journal_add_match(journal_, pid.data(), pid.size());
    }
    ~JournalReader() {
        if (journal_) sd_journal_close(journal_);
    }
    JournalReader(const JournalReader&) = delete;
    JournalReader& operator=(const JournalReader&) = delete;

    // This process's entries, in the journal's order, up to and including the first whose message is
    // `last`; waits for that one at most `timeout`. Empty when it never came.
    std::vector<JournalEntry> entriesUpTo(const std::string& last, std::chrono::milliseconds timeout) {
        std::vector<JournalEntry> entries;
        if (!journal_) return entries;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            while (sd_journal_next(journal_) > 0) {
                entries.push_back({field("MESSAGE"), field("PRIORITY"), field("SYSLOG_IDENTIFIER"),
                                   field("GLINTWARD_SUBSYSTEM"), field("GLINTWARD_CATEGORY")});
                std::uint64_t realtimeUs = 0;
                sd_journal_get_realtime_usec(journal_, &realtimeUs);
                realtimesUs_.push_back(realtimeUs);
                if (entries.back().message == last) return entries;
            }
            if (std::chrono::steady_clock::now() >= deadline) return {};
            sd_journal_wait(journal_, 100'000);  // until the journal changes, or a tenth of a second
        }
    }

    // When the journal received each entry read so far, in microseconds since 1970.
    const std::vector<std::uint64_t>& realtimesUs() const { return realtimesUs_; }

private:
    std::string field(const char* name) {
        const void* data = nullptr;
        size_t length = 0;
        if (sd_journal_get_data(journal_, name, &data, &length) < 0) return {};
        const std::size_t prefix = std::strlen(name) + 1;  // "NAME="
        return length < prefix ? std::string() : std::string(static_cast<const char*>(data) + prefix, length - prefix);
    }

    sd_journal* journal_ = nullptr;
    std::vector<std::uint64_t> realtimesUs_;
};

// Bytes in use in every journal file under `dir`: up to the end of each file's last object, as its header
// says (the files themselves grow in large steps ahead of use).
inline std::uint64_t journalBytesUsed(const std::filesystem::path& dir) {
    auto le64 = [](const unsigned char* at) {
        std::uint64_t value = 0;
        for (int i = 7; i >= 0; --i) value = (value << 8) | at[i];
        return value;
    };
    constexpr std::size_t TAIL_OBJECT_OFFSET = 136;  // of the file header; an object's size follows its first 8
    std::uint64_t used = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.path().extension() != ".journal") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        unsigned char header[TAIL_OBJECT_OFFSET + 8] = {};
        if (!in.read(reinterpret_cast<char*>(header), sizeof header)) continue;
        const std::uint64_t tail = le64(header + TAIL_OBJECT_OFFSET);
        unsigned char object[16] = {};
        in.seekg(static_cast<std::streamoff>(tail));
        if (!in.read(reinterpret_cast<char*>(object), sizeof object)) continue;
        used += tail + le64(object + 8);
    }
    return used;
}

}  // namespace glintward::testing
