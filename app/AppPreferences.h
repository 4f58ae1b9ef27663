#pragma once
// The user's settings as an observable object for the panel. Every setting is read from the user-defaults
// store at construction and written back to it on every set; an edit of the settings file made outside while
// we run is taken in as the store loads it, and signalled like a set (but not written back). Main thread only.
//
// The detection path does not read this object: it reads the same keys from the store at each use, so a
// change made here applies from the next engine call or publish on.

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <cstdint>

#include "app/HostAlertThreshold.h"
#include "app/platform/UserDefaults.h"

namespace glintward {

class AppPreferences : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool hapticAlerts READ hapticAlerts WRITE setHapticAlerts NOTIFY hapticAlertsChanged)
    Q_PROPERTY(QStringList disabledSignatureIds READ disabledSignatureIds WRITE setDisabledSignatureIds NOTIFY
                   disabledSignatureIdsChanged)
    Q_PROPERTY(
        bool matchUnknownIds READ matchUnknownIds WRITE setMatchUnknownIds NOTIFY matchUnknownIdsChanged)
    Q_PROPERTY(bool onboardingComplete READ onboardingComplete WRITE setOnboardingComplete NOTIFY
                   onboardingCompleteChanged)
    Q_PROPERTY(double lastSyncMs READ lastSyncMs WRITE setLastSyncMs NOTIFY lastSyncMsChanged)
    Q_PROPERTY(QString alertThresholdRaw READ alertThresholdRaw WRITE setAlertThresholdRaw NOTIFY
                   alertThresholdRawChanged)

public:
    // Reads the settings from `defaults`, which must outlive this object; writes nothing.
    explicit AppPreferences(UserDefaults& defaults, QObject* parent = nullptr);

    bool hapticAlerts() const { return hapticAlerts_; }
    // Distinct signature ids, in no particular order.
    QStringList disabledSignatureIds() const { return disabledSignatureIds_; }
    bool matchUnknownIds() const { return matchUnknownIds_; }
    bool onboardingComplete() const { return onboardingComplete_; }
    double lastSyncMs() const { return lastSyncMs_; }
    // The stored entry name as it was written, even when it names no entry.
    QString alertThresholdRaw() const { return alertThresholdRaw_; }
    AlertThreshold alertThreshold() const;
    UserDefaults& defaults() const { return defaults_; }

    // Each set notifies its observers, then writes the value now held, whether or not it changed.
    void setHapticAlerts(bool value);
    // Duplicates are dropped: the setting is a set.
    void setDisabledSignatureIds(const QStringList& ids);
    void setMatchUnknownIds(bool value);
    // Held for this run only: nothing writes "onboarding_complete".
    void setOnboardingComplete(bool value);
    void setLastSyncMs(double value);
    void setAlertThresholdRaw(const QString& value);

    // Enabling removes the id from the disabled set, disabling adds it; the set is assigned back either way,
    // so observers hear of it and the store is rewritten even when nothing changed.
    // It starts from the set the store holds now, so an outside edit of the list is kept.
    Q_INVOKABLE void setEnabled(bool enabled, const QString& signatureId);

    // Looks at the settings file at once and takes in what changed there. A change that builds on a value
    // shown (the next threshold, one id more or less) calls it first, so a tap changes only what was tapped.
    void refresh();

signals:
    void hapticAlertsChanged();
    void disabledSignatureIdsChanged();
    void matchUnknownIdsChanged();
    void onboardingCompleteChanged();
    void lastSyncMsChanged();
    void alertThresholdRawChanged();
    // The store's values changed, by an outside edit or by any write; sent after the settings' own signals.
    void storeChanged();

private:
    // Every setting but `onboardingComplete` (held for the run) set to the store's value where it differs.
    void takeStoreValues();

    bool hapticAlerts_;
    QStringList disabledSignatureIds_;
    bool matchUnknownIds_;
    bool onboardingComplete_;
    double lastSyncMs_;
    QString alertThresholdRaw_;
    UserDefaults& defaults_;
    std::uint64_t seenChanges_ = 0;  // the store's change count last taken in
    QTimer storeCheck_;
};

}  // namespace glintward
