// One side of the BlueZ peer benchmark: BluezCentral on the given bus, with the scanner's conversion of each
// discovery into a BleAdvertisement. Prints "ready" once scanning; then, for each line read on standard
// input,
// "<advertisements> <CPU seconds of the process>".

#include <sys/resource.h>

#include <QCoreApplication>
#include <atomic>
#include <cctype>
#include <chrono>
#include <iostream>
#include <mutex>
#include <string>

#include "app/platform/BluezCentral.h"
#include "app/platform/SerialQueue.h"
#include "shared/detection/Records.h"

namespace {

using namespace glintward;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// What the scanner does with each discovery.
BleAdvertisement convert(const Peripheral& peripheral, const AdvertisementData& data, std::int32_t rssi) {
    std::vector<std::int32_t> companies;
    if (data.manufacturerData && data.manufacturerData->size() >= 2) {
        companies.push_back((*data.manufacturerData)[0] + 256 * (*data.manufacturerData)[1]);
    }
    std::vector<std::string> uuids;
    if (data.serviceUuids) {
        for (std::string uuid : *data.serviceUuids) {
            for (char& c : uuid) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            uuids.push_back(uuid.size() == 4 ? "0000" + uuid + "-0000-1000-8000-00805f9b34fb" : uuid);
        }
    }
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return BleAdvertisement{peripheral.identifier,
                            data.localName ? data.localName : peripheral.name,
                            std::move(companies),
                            std::move(uuids),
                            rssi,
                            data.txPowerLevel,
                            std::chrono::duration_cast<std::chrono::milliseconds>(now).count()};
}

class CountingDelegate : public CentralDelegate {
public:
    void centralDidUpdateState(CentralState state) override {
        if (state == CentralState::POWERED_ON && central != nullptr) {
            central.load()->scanForPeripherals(true);
            std::lock_guard lock(out);
            std::cout << "ready" << std::endl;
        }
    }
    void centralDidDiscover(const Peripheral& peripheral, const AdvertisementData& data,
                            std::int32_t rssi) override {
        if (rssi == 127) return;
        const BleAdvertisement advertisement = convert(peripheral, data, rssi);
        checksum += advertisement.rssi + static_cast<std::int64_t>(advertisement.serviceUuids.size());
        ++count;
    }

    std::atomic<BluetoothCentral*> central{nullptr};
    std::atomic<long> count{0};
    std::int64_t checksum = 0;  // keeps the conversion from being optimised away
    std::mutex out;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " BUS-ADDRESS\n";
        return 2;
    }
    QCoreApplication app(argc, argv);
    SerialQueue queue("glintward.ble");
    CountingDelegate delegate;
    BluezCentral central(delegate, queue, argv[1]);
    // Set on the queue: a state that came before is read here, one that comes after finds the pointer.
    queue.sync([&] {
        delegate.central = &central;
        if (central.state() == CentralState::POWERED_ON)
            delegate.centralDidUpdateState(CentralState::POWERED_ON);
    });
    std::string line;
    while (std::getline(std::cin, line)) {
        std::lock_guard lock(delegate.out);
        std::cout << delegate.count << ' ' << cpuSeconds() << std::endl;
    }
    return delegate.checksum == 42 ? 1 : 0;
}
