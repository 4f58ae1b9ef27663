#include "tray/RadarPanelModel.h"

#include "app/Views/ViewLogic.h"

namespace glintward {

RadarPanelModel::RadarPanelModel(Actions actions, QObject* parent)
    : QObject(parent), actions_(std::move(actions)) {
    apply(RadarState{}, {}, false);
}

void RadarPanelModel::apply(const RadarState& state, const Set<std::string>& mutedAddresses,
                            bool bluetoothOff) {
    const RadarStatus status = radarStatus(bluetoothOff, state.scanning, state.threatLevel);
    Presentation next;
    next.statusLabel = status.label;
    next.explainer = status.explainer;
    next.statusColor = status.color;
    next.titleColor = statusTitleColor(bluetoothOff, status.color);
    next.bluetoothOff = bluetoothOff;
    next.scanning = state.scanning;
    next.dialScanning = glintward::dialScanning(state.scanning, bluetoothOff);
    next.detectionCount = static_cast<int>(state.detections.size());
    next.sessionLogCount = static_cast<int>(state.sessionLog.size());

    detections_.apply(state.detections, mutedAddresses);
    sessionLog_.apply(state.sessionLog);
    blips_.apply(blipBearings(bluetoothOff, unmutedCount(state.detections, mutedAddresses)));
    if (!(next == presentation_)) {
        presentation_ = std::move(next);
        emit presentationChanged();
    }
}

void RadarPanelModel::toggleScanning() {
    const bool scanningNow = actions_.isScanning ? actions_.isScanning() : presentation_.scanning;
    const auto& action = scanningNow ? actions_.stopScanning : actions_.startScanning;
    if (action) action();
}

void RadarPanelModel::toggleMute(const QString& address) {
    if (actions_.toggleMute) actions_.toggleMute(address.toStdString());
}

void RadarPanelModel::openSystemSettings() {
    if (actions_.openSystemSettings) actions_.openSystemSettings();
}

void RadarPanelModel::quit() {
    if (actions_.quit) actions_.quit();
}

void RadarPanelModel::dismiss() {
    if (actions_.dismiss) actions_.dismiss();
}

}  // namespace glintward
