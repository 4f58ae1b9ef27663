#pragma once
// Reads the LE advertising reports out of a btsnoop capture, one at a time as they are asked for, so that a
// capture of any size, or one that never ends (a pipe from btmon), is read in a small fixed buffer.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "app/platform/BluetoothCentral.h"

namespace glintward::snoop {

constexpr std::uint32_t DATALINK_H4 = 1002;       // HCI UART, as Android writes it
constexpr std::uint32_t DATALINK_MONITOR = 2001;  // the Linux monitor format, as btmon -w writes it

struct AdvertisingReport {
    std::int64_t timestampUs = 0;  // the capture's own clock
    std::string address;           // "AA:BB:CC:DD:EE:FF"
    AdvertisementData data;
    std::int32_t rssi = 127;
};

// Where a capture's bytes come from: a file, a pipe, memory.
class ByteSource {
public:
    struct Read {
        enum class Kind { DATA, LATER, END, ERROR };
        Kind kind;
        std::size_t count = 0;  // DATA: how many bytes were placed, at least one
        int error = 0;          // ERROR: the errno value
    };
    virtual ~ByteSource() = default;
    // Places bytes at the start of `into`; LATER when none are there yet and more may come.
    virtual Read read(std::span<std::uint8_t> into) = 0;
};

// The bytes of a capture held in memory, all available at once.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    Read read(std::span<std::uint8_t> into) override;

private:
    std::span<const std::uint8_t> bytes_;
};

class CaptureReader {
public:
    // All it holds of the capture: it reads ahead into this buffer, needs at most a record's header and event
    // (some 300 bytes) of it at once, and passes over the rest of longer records.
    static constexpr std::size_t BUFFER_BYTES = 64 * 1024;

    enum class Step {
        REPORT,  // the next report
        LATER,   // the source has nothing more yet; nothing is lost, ask again once it has
        END,     // the capture ended, cleanly or at a fault
    };

    explicit CaptureReader(ByteSource& source);
    Step next(AdvertisingReport& report);
    // What stopped the reading, with where, once next() has said END.
    const std::optional<std::string>& fault() const { return fault_; }
    std::uint64_t reportsRead() const { return reportsRead_; }
    // Reads from the first byte again, for a source that has been rewound.
    void restart();

private:
    enum class Fill { READY, LATER, END };
    enum class State { FILE_HEADER, RECORD_HEADER, RECORD_KEEP, RECORD_SKIP, EVENT, DONE };
    // Makes `count` bytes (at most a record header or an event) available from begin_.
    Fill fill(std::size_t count);
    Step fail(std::string fault);
    std::string where() const;
    void endRecord();
    bool startEvent();
    Step nextOfEvent(AdvertisingReport& report);

    // Of a record, all an event needs: the H4 type byte, event code, length and 255 bytes of parameters.
    static constexpr std::size_t MAX_KEPT_BYTES = 1 + 2 + 255;

    ByteSource& source_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool sourceEnded_ = false;
    State state_ = State::FILE_HEADER;
    std::uint32_t datalink_ = 0;
    std::uint64_t offset_ = 0;  // where the record being read starts

    // The record being read.
    std::uint32_t included_ = 0;
    std::uint32_t flags_ = 0;
    std::int64_t timestampUs_ = 0;
    std::uint32_t skipping_ = 0;  // its bytes beyond those kept, still to pass over
    std::array<std::uint8_t, MAX_KEPT_BYTES> kept_{};
    std::size_t keptBytes_ = 0;

    // The LE advertising report event being taken apart.
    std::span<const std::uint8_t> params_;
    bool extended_ = false;
    unsigned reportsLeft_ = 0;
    std::size_t at_ = 0;

    std::optional<std::string> fault_;
    std::uint64_t reportsRead_ = 0;
};

// The advertising data structures of one report; a structure that runs past the data ends it.
AdvertisementData parseAdvertisingData(std::span<const std::uint8_t> data);

}  // namespace glintward::snoop
