#include "app/platform/CentralSupport.h"

#include <QByteArray>
#include <QUuid>

#include "app/platform/LogLine.h"
#include "app/platform/SerialQueue.h"

namespace glintward::central {

namespace {
// Glintward's own name space for peripheral identifiers; changing it would change every stored identifier.
const QUuid PERIPHERAL_NAMESPACE(QStringLiteral("c42c5a29-dd1a-40e6-b937-f63f20179e3f"));
}  // namespace

std::string peripheralIdentifier(std::string_view address) {
    const QByteArray name = QByteArray(address.data(), static_cast<qsizetype>(address.size())).toUpper();
    return QUuid::createUuidV5(PERIPHERAL_NAMESPACE, name)
        .toString(QUuid::WithoutBraces)
        .toUpper()
        .toStdString();
}

CentralLogger orStderr(CentralLogger logger) {
    if (logger) return logger;
    return [](std::string line) {
        std::string escaped;
        writeStandardErrorLine(asOneLine(line, escaped));
    };
}

CallbackGate::CallbackGate(CentralDelegate& delegate, SerialQueue& queue)
    : queue_(queue), shared_(std::make_shared<Shared>()) {
    shared_->delegate = &delegate;
}

CallbackGate::~CallbackGate() {
    close();
}

void CallbackGate::reportState(CentralState state) {
    queue_.async([shared = shared_, state] {
        if (!shared->open) return;
        shared->state = state;
        shared->delegate->centralDidUpdateState(state);
    });
}

std::uint64_t CallbackGate::scanStarted(bool allowDuplicates) {
    std::uint64_t scan = shared_->scan.load();
    while ((scan & 1) == 0) {
        if (shared_->scan.compare_exchange_weak(scan, scan + 3)) scan += 3;
    }
    queue_.async([shared = shared_, allowDuplicates] {
        shared->allowDuplicates = allowDuplicates;
        shared->reported.clear();
    });
    return scan >> 1;
}

void CallbackGate::scanStopped() {
    shared_->scan.fetch_and(~std::uint64_t{1});
}

void CallbackGate::Shared::deliver(std::uint64_t running, const Discovery& discovery) {
    if (!open || scan.load() != running) return;
    if (!allowDuplicates && !reported.insert(discovery.peripheral.identifier).second) return;
    delegate->centralDidDiscover(discovery.peripheral, discovery.data, discovery.rssi);
}

void CallbackGate::reportDiscoveries(std::uint64_t generation, std::vector<Discovery> discoveries,
                                     std::function<void()> afterwards) {
    if (discoveries.empty()) return;
    handOvers_.fetch_add(1, std::memory_order_relaxed);
    queue_.async([shared = shared_, running = generation << 1 | 1, discoveries = std::move(discoveries),
                  afterwards = std::move(afterwards)] {
        {
            // Whatever the delegate queues elsewhere for each discovery wakes those queues once, after the
            // batch.
            SerialQueue::WakeBatch batch;
            for (const Discovery& discovery : discoveries) shared->deliver(running, discovery);
        }
        if (afterwards && shared->open) afterwards();
    });
}

void CallbackGate::close() {
    if (queue_.isCurrent()) {
        shared_->open = false;
    } else {
        queue_.sync([shared = shared_] { shared->open = false; });
    }
}

}  // namespace glintward::central
