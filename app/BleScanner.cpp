#include "app/BleScanner.h"

#include <chrono>
#include <string>

#include "app/RadarLog.h"
#include "shared/detection/SignatureDatabase.h"
#include "shared/detection/SignatureRepository.h"

namespace glintward {

BleScanner::BleScanner(CentralFactory makeCentral, Clock nowMs)
    : makeCentral_(std::move(makeCentral)), nowMs_(std::move(nowMs)) {}

BleScanner::~BleScanner() {
    // The central goes first, on its own queue, so no callback reaches a half-destroyed scanner.
    queue_.sync([this] { central_.reset(); });
}

BleScanner::CentralFactory BleScanner::defaultCentral() {
    return [](CentralDelegate& delegate, SerialQueue& queue) {
        return makeBluetoothCentral(delegate, queue, [](std::string line) { RadarLog::info(line); });
    };
}

std::int64_t BleScanner::wallClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void BleScanner::start() {
    queue_.async([this] {
        wantScanning_ = true;
        if (central_) {
            beginScanIfReady();
        } else {
            central_ = makeCentral_(*this, queue_);
        }
    });
}

void BleScanner::stop() {
    queue_.async([this] {
        wantScanning_ = false;
        if (central_) central_->stopScan();
    });
}

void BleScanner::beginScanIfReady() {
    if (!wantScanning_ || !central_ || central_->state() != CentralState::POWERED_ON) return;
    central_->scanForPeripherals(true);
    RadarLog::info("scan started: wildcard, duplicates on, signatures v" +
                   std::to_string(SignatureRepository::shared().current()->version()));
}

void BleScanner::centralDidUpdateState(CentralState state) {
    RadarLog::info("bluetooth state: " + std::string(centralStateText(state)));
    if (onStateChange) onStateChange(state);
    beginScanIfReady();
}

void BleScanner::centralDidDiscover(const Peripheral& peripheral, const AdvertisementData& data, std::int32_t rssi) {
    if (rssi == 127) return;
    auto advertisement = convert(peripheral, data, rssi, nowMs_());
    if (advertisement && onAdvertisement) onAdvertisement(*advertisement);
}

std::optional<BleAdvertisement> BleScanner::convert(const Peripheral& peripheral, const AdvertisementData& data,
                                                    std::int32_t rssi, std::int64_t timestampMs) {
    if (rssi == 127) return std::nullopt;
    BleAdvertisement ad;
    ad.address = peripheral.identifier;
    ad.name = data.localName ? data.localName : peripheral.name;
    if (data.manufacturerData && data.manufacturerData->size() >= 2) {
        const auto& bytes = *data.manufacturerData;
        ad.manufacturerCompanyIds.push_back(static_cast<std::int32_t>(bytes[0]) + 256 * static_cast<std::int32_t>(bytes[1]));
    }
    if (data.serviceUuids) {
        ad.serviceUuids.reserve(data.serviceUuids->size());
        for (const auto& uuid : *data.serviceUuids) {
            std::string lowered = lowerAscii(uuid);
            // A 16-bit UUID is short for the Bluetooth base UUID; 32-bit ones stay as they are.
            ad.serviceUuids.push_back(lowered.size() == 4 ? "0000" + lowered + "-0000-1000-8000-00805f9b34fb"
                                                          : std::move(lowered));
        }
    }
    ad.rssi = rssi;
    ad.txPower = data.txPowerLevel;
    ad.timestampMs = timestampMs;
    return ad;
}

}  // namespace glintward
