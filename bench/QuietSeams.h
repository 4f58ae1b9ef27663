#pragma once
// The seams of a radar model that a benchmark drives: a fake central the benchmark reaches through `central`,
// no haptics, no desktop, and a catalogue sync that finds nothing new.

#include <memory>
#include <optional>
#include <string>

#include "app/RadarModel.h"
#include "tests/app/FakeCentral.h"

namespace glintward::bench {

inline RadarModel::Seams quietSeams(std::shared_ptr<testing::FakeCentral::Shared> central) {
    class NoHaptics : public HapticPerformer {
        void perform() override {}
    };
    class NoWorkspace : public Workspace {
        void openBluetoothSettings() override {}
    };
    class NotModified : public HttpTransport {
        HttpResponse get(const std::string&, const HttpHeaders&) override { return {304, std::nullopt, {}}; }
        HttpResponse postJson(const std::string&, const std::string&) override { return {404, std::nullopt, {}}; }
    };
    RadarModel::Seams seams;
    seams.makeCentral = testing::FakeCentral::factory(std::move(central));
    seams.haptics = std::make_shared<NoHaptics>();
    seams.workspace = std::make_shared<NoWorkspace>();
    seams.makeTransport = [] { return std::make_shared<NotModified>(); };
    return seams;
}

}  // namespace glintward::bench
