#include "app/platform/SnoopReplayCentral.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <list>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "app/platform/LogLine.h"
#include "app/platform/SnoopCapture.h"

namespace glintward {

namespace {

using Clock = std::chrono::steady_clock;

// Keeps the clock arithmetic from overflowing however many waits of up to MAX_WAIT add up; about 31 years.
constexpr double MAX_DELAY_US = 1e15;
constexpr double MAX_WAIT_US = std::chrono::duration<double, std::micro>(ReplayPacing::MAX_WAIT).count();

// The identifier and the last local name of each address heard lately; a capture of ever new addresses
// makes it forget the ones heard longest ago instead of growing.
class AddressBook {
public:
    explicit AddressBook(std::size_t capacity) : capacity_(capacity) {}

    // The peripheral that a report from this address in this replay comes from.
    Peripheral peripheral(const std::string& address, const std::optional<std::string>& localName,
                          std::uint64_t replay);

private:
    struct Entry {
        std::string address;
        std::string identifier;
        std::optional<std::string> name;
        std::uint64_t nameReplay = 0;  // the replay the name was heard in
    };
    const std::size_t capacity_;
    std::list<Entry> recent_;  // the most recently heard first
    std::unordered_map<std::string_view, std::list<Entry>::iterator> byAddress_;
};

Peripheral AddressBook::peripheral(const std::string& address, const std::optional<std::string>& localName,
                                   std::uint64_t replay) {
    if (const auto found = byAddress_.find(address); found != byAddress_.end()) {
        recent_.splice(recent_.begin(), recent_, found->second);
    } else {
        if (recent_.size() < capacity_) {
            recent_.emplace_front();
        } else {
            byAddress_.erase(recent_.back().address);
            recent_.splice(recent_.begin(), recent_, std::prev(recent_.end()));
        }
        Entry& entry = recent_.front();
        entry.address = address;
        entry.identifier = central::peripheralIdentifier(address);
        entry.name.reset();
        entry.nameReplay = 0;
        byAddress_.emplace(entry.address, recent_.begin());
    }
    Entry& entry = recent_.front();
    if (localName) {
        entry.name = localName;
        entry.nameReplay = replay;
    }
    return Peripheral{entry.identifier, entry.nameReplay == replay ? entry.name : std::nullopt};
}

}  // namespace

ReplayPacing::Due ReplayPacing::next(std::int64_t timestampUs, Clock::time_point now) {
    const std::int64_t lastUs = std::exchange(lastUs_, timestampUs);
    if (!started_ || std::isinf(speed_)) {
        started_ = true;
        base_ = now;
        baseUs_ = timestampUs;
        return {now};
    }
    std::int64_t gapUs = 0;
    std::int64_t offsetUs = 0;
    if (__builtin_sub_overflow(timestampUs, lastUs, &gapUs) || gapUs < 0 ||
        static_cast<double>(gapUs) / speed_ > MAX_WAIT_US ||
        __builtin_sub_overflow(timestampUs, baseUs_, &offsetUs)) {
        base_ = now;
        baseUs_ = timestampUs;
        const bool exact = !__builtin_sub_overflow(timestampUs, lastUs, &gapUs);
        return {now, true,
                exact ? static_cast<double>(gapUs) / 1e6
                      : (static_cast<double>(timestampUs) - static_cast<double>(lastUs)) / 1e6};
    }
    const double delayUs = std::min(static_cast<double>(offsetUs) / speed_, MAX_DELAY_US);
    return {base_ + std::chrono::microseconds(static_cast<std::int64_t>(delayUs))};
}

// The replay thread's side.
class SnoopReplayCentral::Replay {
public:
    explicit Replay(SnoopReplayCentral& central) : central_(central) {}
    ~Replay() {
        if (fd_ >= 0) ::close(fd_);
    }
    void run();

private:
    // The input, never read blocking. A live feed is read under the central's lock, so that each byte is
    // known to have been read while a given scan ran or while none did.
    class Input final : public snoop::ByteSource {
    public:
        Input(SnoopReplayCentral& central, int fd, bool live) : central_(central), fd_(fd), live_(live) {}
        Read read(std::span<std::uint8_t> into) override;
        // poll() said so.
        void readable() { ready_ = true; }
        // The scan running when the last bytes were read; 0 for none.
        std::uint64_t scan() const { return scan_; }

    private:
        SnoopReplayCentral& central_;
        const int fd_;
        const bool live_;
        // A FIFO without a writer reads as its end, so a feed is read only once poll() has said it is
        // readable (a writer wrote, or came and went).
        bool ready_ = false;
        std::uint64_t scan_ = 0;
    };

    // Sleeps until the doorbell rings, the input becomes readable (when asked for), or the deadline passes.
    void wait(bool forInput, std::optional<Clock::time_point> deadline = std::nullopt);
    // Hands the batch to the callback queue, waiting while too much is queued; false, with the batch dropped,
    // when the scan it belongs to ended meanwhile.
    bool handOver(std::vector<central::Discovery>& batch, std::uint64_t replaying);
    void logFault(const std::string& fault, std::uint64_t reportsBefore);
    // Once per place in the capture, and for at most MAX_REBASE_LINES places.
    void logRebase(const ReplayPacing::Due& due, std::uint64_t report);
    void sayEnd();

    SnoopReplayCentral& central_;
    int fd_ = -1;
    std::optional<Input> input_;
    int rebaseLines_ = 0;
    std::uint64_t rebaseLoggedUpTo_ = 0;  // the last report whose re-base was logged
};

snoop::ByteSource::Read SnoopReplayCentral::Replay::Input::read(std::span<std::uint8_t> into) {
    if (live_ && !ready_) return {Read::Kind::LATER};
    for (;;) {
        ssize_t count;
        if (live_) {
            std::lock_guard lock(central_.mutex_);
            count = ::read(fd_, into.data(), into.size());
            if (count > 0) scan_ = central_.scanning_ ? central_.scan_ : 0;
        } else {
            count = ::read(fd_, into.data(), into.size());
        }
        if (count > 0) return {Read::Kind::DATA, static_cast<std::size_t>(count)};
        if (count == 0) return {Read::Kind::END};
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            ready_ = false;
            return {Read::Kind::LATER};
        }
        return {Read::Kind::ERROR, 0, errno};
    }
}

void SnoopReplayCentral::Replay::wait(bool forInput, std::optional<Clock::time_point> deadline) {
    timespec timeout{};
    if (deadline) {
        const auto left = *deadline - Clock::now();
        if (left <= Clock::duration::zero()) return;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    }
    pollfd fds[2] = {{central_.doorbell_, POLLIN, 0}, {fd_, POLLIN, 0}};
    if (::ppoll(fds, forInput ? 2 : 1, deadline ? &timeout : nullptr, nullptr) <= 0) return;
    if (fds[0].revents != 0) {
        std::uint64_t rings = 0;
        [[maybe_unused]] const auto drained = ::read(central_.doorbell_, &rings, sizeof rings);
    }
    if (forInput && fds[1].revents != 0) input_->readable();
}

bool SnoopReplayCentral::Replay::handOver(std::vector<central::Discovery>& batch, std::uint64_t replaying) {
    if (batch.empty()) return true;
    const std::size_t count = batch.size();
    SnoopReplayCentral& central = central_;
    while (central.inFlight_.load() + count > MAX_IN_FLIGHT) {
        // Asked for before the second look, so a delivery in between still rings.
        central.creditWanted_.store(true);
        if (central.inFlight_.load() + count <= MAX_IN_FLIGHT) break;
        wait(false);
        const Control now = central.control();
        if (now.quit || !now.scanning || now.scan != replaying) {
            batch.clear();
            return false;
        }
    }
    central.inFlight_.fetch_add(count);
    central.gate_.reportDiscoveries(replaying, std::exchange(batch, {}), [&central, count] {
        central.inFlight_.fetch_sub(count);
        if (central.creditWanted_.load() && central.creditWanted_.exchange(false)) central.ring();
    });
    return true;
}

void SnoopReplayCentral::Replay::logFault(const std::string& fault, std::uint64_t reportsBefore) {
    central_.log_("replay: " + central_.path_ + ": " + fault + " (" + std::to_string(reportsBefore) +
                  " advertising reports before it)");
}

void SnoopReplayCentral::Replay::logRebase(const ReplayPacing::Due& due, std::uint64_t report) {
    if (report <= rebaseLoggedUpTo_ || rebaseLines_ == MAX_REBASE_LINES) return;
    rebaseLoggedUpTo_ = report;
    char jump[64];
    std::snprintf(jump, sizeof jump, "%+.3f", due.jumpSeconds);
    central_.log_("replay: " + central_.path_ + ": time stamp jumps by " + jump +
                  " s at advertising report " + std::to_string(report) + "; pacing starts anew there" +
                  (++rebaseLines_ == MAX_REBASE_LINES ? " (further ones go unlogged)" : ""));
}

void SnoopReplayCentral::Replay::sayEnd() {
    std::string escaped;
    writeStandardErrorLine(asOneLine("replay: end of capture " + central_.path_, escaped));
}

void SnoopReplayCentral::Replay::run() {
    // Without O_NONBLOCK, opening a FIFO would wait for a writer.
    fd_ = ::open(central_.path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        logFault(std::string("cannot open: ") + std::strerror(errno), 0);
        while (!central_.control().quit) wait(false);
        return;
    }
    struct stat status {};
    const bool live = ::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode);
    input_.emplace(central_, fd_, live);
    snoop::CaptureReader reader(*input_);
    AddressBook book(MAX_ADDRESSES);

    std::uint64_t replaying = 0;  // the scan being replayed; 0 before the first
    bool ended = false;           // the input has nothing more for this replay
    bool logged = false;
    std::optional<snoop::AdvertisingReport> pending;  // read, and not yet due
    Clock::time_point pendingDue;
    ReplayPacing pacing(central_.speed_);
    std::vector<central::Discovery> batch;  // due, and not yet handed over
    for (;;) {
        const Control now = central_.control();
        if (now.quit) return;
        if (now.scanning && now.scan != replaying) {
            replaying = now.scan;
            pending.reset();
            batch.clear();
            pacing.restart();
            if (!live) {
                reader.restart();
                ended = ::lseek(fd_, 0, SEEK_SET) != 0;
            }
        }
        if (!now.scanning) {
            pending.reset();
            batch.clear();
        }
        if (ended || replaying == 0 || (!now.scanning && !live)) {
            wait(false);
            continue;
        }
        if (!pending) {
            snoop::AdvertisingReport report;
            const snoop::CaptureReader::Step step = reader.next(report);
            if (step == snoop::CaptureReader::Step::LATER) {
                if (handOver(batch, replaying)) wait(true);
                continue;
            }
            if (step == snoop::CaptureReader::Step::END) {
                // Said before the last reports go, so that it is out by the time they have arrived.
                sayEnd();
                handOver(batch, replaying);
                ended = true;
                if (reader.fault() && !logged) {
                    logFault(*reader.fault(), reader.reportsRead());
                    logged = true;
                }
                continue;
            }
            if (!now.scanning || (live && input_->scan() != replaying)) continue;  // heard while not scanning
            pending = std::move(report);
            const ReplayPacing::Due due = pacing.next(pending->timestampUs, Clock::now());
            pendingDue = due.at;
            if (due.rebased) logRebase(due, reader.reportsRead());
        }
        if (pendingDue > Clock::now()) {
            // Up to the next step of replay time, so that everything due within it goes in one hop.
            const auto base = pacing.base();
            const auto steps = (pendingDue - base + HAND_OVER_STEP - Clock::duration(1)) / HAND_OVER_STEP;
            if (handOver(batch, replaying)) wait(false, base + steps * HAND_OVER_STEP);
            continue;
        }
        if (batch.size() == MAX_BATCH && !handOver(batch, replaying)) continue;
        batch.push_back(
            central::Discovery{book.peripheral(pending->address, pending->data.localName, replaying),
                               std::move(pending->data), pending->rssi});
        pending.reset();
    }
}

SnoopReplayCentral::SnoopReplayCentral(CentralDelegate& delegate, SerialQueue& callbackQueue,
                                       std::string path, double speed, CentralLogger logger)
    : gate_(delegate, callbackQueue),
      path_(std::move(path)),
      speed_(speed > 0 ? speed : 1.0),  // NaN, zero and negative factors fall back to real time
      log_(central::orStderr(std::move(logger))),
      doorbell_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    gate_.reportState(CentralState::POWERED_ON);
    if (doorbell_ < 0) {
        log_("replay: " + path_ + ": cannot start: " + std::strerror(errno));
        return;
    }
    thread_ = std::thread([this] { Replay(*this).run(); });
}

SnoopReplayCentral::~SnoopReplayCentral() {
    gate_.close();
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    if (thread_.joinable()) {
        ring();
        thread_.join();
    }
    if (doorbell_ >= 0) ::close(doorbell_);
}

SnoopReplayCentral::Control SnoopReplayCentral::control() {
    std::lock_guard lock(mutex_);
    return {quit_, scanning_, scan_};
}

void SnoopReplayCentral::ring() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto rung = ::write(doorbell_, &one, sizeof one);
}

void SnoopReplayCentral::scanForPeripherals(bool allowDuplicates) {
    {
        // The gate's generation and the replay's copy of it change together.
        std::lock_guard lock(mutex_);
        scan_ = gate_.scanStarted(allowDuplicates);
        if (scanning_) return;
        scanning_ = true;
    }
    if (doorbell_ >= 0) ring();
}

void SnoopReplayCentral::stopScan() {
    {
        std::lock_guard lock(mutex_);
        gate_.scanStopped();
        scanning_ = false;
    }
    if (doorbell_ >= 0) ring();
}

}  // namespace glintward
