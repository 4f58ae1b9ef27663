#include "app/AppPreferences.h"

#include <QCoreApplication>
#include <QSet>
#include <string>
#include <vector>

namespace glintward {

namespace {

constexpr std::string_view HAPTIC_ALERTS_KEY = "haptic_alerts";
constexpr std::string_view MATCH_UNKNOWN_IDS_KEY = "match_unknown_ids";
constexpr std::string_view ONBOARDING_COMPLETE_KEY = "onboarding_complete";
constexpr std::string_view DISABLED_SIGNATURES_KEY = "disabled_signatures";
constexpr std::string_view ALERT_THRESHOLD_KEY = "alert_threshold";
constexpr std::string_view LAST_SYNC_MS_KEY = "last_sync_ms";

QStringList distinct(const QStringList& ids) {
    QStringList out;
    out.reserve(ids.size());
    for (const QString& id : ids) {
        if (!out.contains(id)) out.push_back(id);
    }
    return out;
}

QStringList storedDisabledSignatureIds(const UserDefaults& defaults) {
    QStringList ids;
    for (const auto& id :
         defaults.stringArrayForKey(DISABLED_SIGNATURES_KEY).value_or(std::vector<std::string>{})) {
        ids.push_back(QString::fromStdString(id));
    }
    return distinct(ids);
}

QString storedAlertThresholdRaw(const UserDefaults& defaults) {
    return QString::fromStdString(
        defaults.stringForKey(ALERT_THRESHOLD_KEY).value_or(std::string(name(AlertThreshold::IN_THE_ROOM))));
}

}  // namespace

AppPreferences::AppPreferences(UserDefaults& defaults, QObject* parent)
    : QObject(parent),
      hapticAlerts_(defaults.boolForKey(HAPTIC_ALERTS_KEY, true)),
      matchUnknownIds_(defaults.boolForKey(MATCH_UNKNOWN_IDS_KEY, true)),
      onboardingComplete_(defaults.boolForKey(ONBOARDING_COMPLETE_KEY)),
      lastSyncMs_(0),
      defaults_(defaults) {
    disabledSignatureIds_ = storedDisabledSignatureIds(defaults);
    alertThresholdRaw_ = storedAlertThresholdRaw(defaults);
    lastSyncMs_ = defaults.doubleForKey(LAST_SYNC_MS_KEY);
    seenChanges_ = defaults.changeCount();
    // The store takes in an outside edit within a check interval of whoever reads it; this timer asks it on
    // the main thread as often, for an atomic count (and a stat when a check is due), and takes in the new
    // values when the count moved. No thread of its own, no watch. Without an application there is no event
    // loop to run it.
    storeCheck_.setInterval(static_cast<int>(UserDefaults::CHECK_INTERVAL_MS));
    connect(&storeCheck_, &QTimer::timeout, this, [this] {
        if (defaults_.changeCount() != seenChanges_) takeStoreValues();
    });
    if (QCoreApplication::instance()) storeCheck_.start();
}

void AppPreferences::refresh() {
    defaults_.refresh();
    if (defaults_.changeCount() != seenChanges_) takeStoreValues();
}

void AppPreferences::takeStoreValues() {
    // Counted before reading, so a change made meanwhile is taken in at the next look.
    seenChanges_ = defaults_.changeCount();
    const auto take = [this](auto& held, auto value, void (AppPreferences::*changed)()) {
        if (held == value) return;
        held = std::move(value);
        emit(this->*changed)();
    };
    take(hapticAlerts_, defaults_.boolForKey(HAPTIC_ALERTS_KEY, true), &AppPreferences::hapticAlertsChanged);
    take(matchUnknownIds_, defaults_.boolForKey(MATCH_UNKNOWN_IDS_KEY, true),
         &AppPreferences::matchUnknownIdsChanged);
    // A set: the same ids in another order are no change.
    const QStringList ids = storedDisabledSignatureIds(defaults_);
    if (QSet<QString>(ids.begin(), ids.end()) !=
        QSet<QString>(disabledSignatureIds_.begin(), disabledSignatureIds_.end())) {
        disabledSignatureIds_ = ids;
        emit disabledSignatureIdsChanged();
    }
    take(alertThresholdRaw_, storedAlertThresholdRaw(defaults_), &AppPreferences::alertThresholdRawChanged);
    take(lastSyncMs_, defaults_.doubleForKey(LAST_SYNC_MS_KEY), &AppPreferences::lastSyncMsChanged);
    emit storeChanged();
}

AlertThreshold AppPreferences::alertThreshold() const {
    return alertThresholdFromRaw(alertThresholdRaw_.toStdString());
}

// Each setter writes the member after the signal, not its argument: an observer that sets the value again
// from its slot has the last word, in memory and in the store alike.

void AppPreferences::setHapticAlerts(bool value) {
    hapticAlerts_ = value;
    emit hapticAlertsChanged();
    defaults_.setBool(hapticAlerts_, HAPTIC_ALERTS_KEY);
}

void AppPreferences::setDisabledSignatureIds(const QStringList& ids) {
    disabledSignatureIds_ = distinct(ids);
    emit disabledSignatureIdsChanged();
    std::vector<std::string> list;
    list.reserve(static_cast<std::size_t>(disabledSignatureIds_.size()));
    for (const QString& id : disabledSignatureIds_) list.push_back(id.toStdString());
    defaults_.setObject(list, DISABLED_SIGNATURES_KEY);
}

void AppPreferences::setMatchUnknownIds(bool value) {
    matchUnknownIds_ = value;
    emit matchUnknownIdsChanged();
    defaults_.setBool(matchUnknownIds_, MATCH_UNKNOWN_IDS_KEY);
}

void AppPreferences::setOnboardingComplete(bool value) {
    onboardingComplete_ = value;
    emit onboardingCompleteChanged();
}

void AppPreferences::setLastSyncMs(double value) {
    lastSyncMs_ = value;
    emit lastSyncMsChanged();
    defaults_.setDouble(lastSyncMs_, LAST_SYNC_MS_KEY);
}

void AppPreferences::setAlertThresholdRaw(const QString& value) {
    alertThresholdRaw_ = value;
    emit alertThresholdRawChanged();
    defaults_.setObject(alertThresholdRaw_.toStdString(), ALERT_THRESHOLD_KEY);
}

void AppPreferences::setEnabled(bool enabled, const QString& signatureId) {
    refresh();
    QStringList ids = disabledSignatureIds_;
    if (enabled) {
        ids.removeAll(signatureId);
    } else if (!ids.contains(signatureId)) {
        ids.push_back(signatureId);
    }
    setDisabledSignatureIds(ids);
}

}  // namespace glintward
