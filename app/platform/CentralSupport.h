#pragma once
// What both centrals share: the way callbacks reach the delegate, the peripheral identifier and the default
// logger.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "app/platform/BluetoothCentral.h"

namespace glintward::central {

// The identifier of the device with this address ("AA:BB:CC:DD:EE:FF", any case): a version-5 UUID in a name
// space of our own, so a device keeps its identifier across runs and across both centrals (muted devices are
// stored by it).
std::string peripheralIdentifier(std::string_view address);

// The logger itself, or one that writes each line to standard error (as one line, see asOneLine) when it is
// empty.
CentralLogger orStderr(CentralLogger logger);

struct Discovery {
    Peripheral peripheral;
    AdvertisementData data;
    std::int32_t rssi;
};

// Hands callbacks to the delegate on the callback queue. Everything it queues checks, on the queue, that the
// gate is still open, so once close() returns nothing more reaches the delegate, even work that was already
// queued.
class CallbackGate {
public:
    CallbackGate(CentralDelegate& delegate, SerialQueue& queue);
    ~CallbackGate();
    CallbackGate(const CallbackGate&) = delete;
    CallbackGate& operator=(const CallbackGate&) = delete;

    // The state last handed to the delegate.
    CentralState state() const { return shared_->state.load(); }
    void reportState(CentralState state);

    // The owner's wish to scan. A scan that starts while none runs begins a new generation (one asked for
    // while one runs only changes the duplicates option); both return the generation running now. A
    // producer tags what it hands over with the generation it was gathered for, and a discovery reaches the
    // delegate only while that generation runs when it is delivered on the queue: nothing arrives after
    // stopScan() returns, nothing gathered for one scan arrives in the next, and without duplicates each
    // device comes once per scan.
    std::uint64_t scanStarted(bool allowDuplicates);
    void scanStopped();
    // Discoveries of that generation in one hop to the queue. `afterwards`, when given, runs on the queue
    // right after them, whether they reached the delegate or not, unless the gate has been closed by then.
    void reportDiscoveries(std::uint64_t generation, std::vector<Discovery> discoveries,
                           std::function<void()> afterwards = {});
    // The hops to the queue that discoveries have taken so far.
    std::uint64_t handOvers() const { return handOvers_.load(std::memory_order_relaxed); }

    // Any thread, the callback queue included; waits for a callback that is running elsewhere to end.
    void close();

private:
    struct Shared {
        CentralDelegate* delegate;
        std::atomic<CentralState> state{CentralState::UNKNOWN};
        // The generation times two, plus one while the owner wants the scan: both change together.
        std::atomic<std::uint64_t> scan{0};
        // Queue only.
        bool open = true;
        bool allowDuplicates = true;
        std::unordered_set<std::string> reported;

        void deliver(std::uint64_t running, const Discovery& discovery);
    };
    SerialQueue& queue_;
    std::shared_ptr<Shared> shared_;
    std::atomic<std::uint64_t> handOvers_{0};
};

}  // namespace glintward::central
