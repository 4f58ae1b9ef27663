#pragma once
// What the settings page shows and changes: the catalogue in force with a switch per signature, the
// unknown-ID and haptic switches, the alert threshold and its cycle, and the wipe of the session log. Every
// change goes straight to the preferences (which write it to the store) or to the radar model.

#include <QtQml/qqmlregistration.h>
#include <QAbstractListModel>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

#include "app/AppPreferences.h"
#include "shared/detection/SignatureDatabase.h"

namespace glintward {

// The signatures of one catalogue in catalogue order, each with whether its switch is on.
class SignatureListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("filled by the settings view model")
public:
    enum Role { SignatureIdRole = Qt::UserRole + 1, TitleRole, SubtitleRole, SwitchOnRole };
    using QAbstractListModel::QAbstractListModel;

    // A new catalogue replaces the rows; the same one only updates the switches that changed.
    void apply(std::shared_ptr<const SignatureDatabase> catalogue, const QStringList& disabledSignatureIds);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    std::shared_ptr<const SignatureDatabase> catalogue_;
    std::vector<bool> switchOn_;
};

class SettingsPanelModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")
    Q_PROPERTY(QString versionText READ versionText NOTIFY catalogueChanged)
    Q_PROPERTY(int signatureCount READ signatureCount NOTIFY catalogueChanged)
    Q_PROPERTY(glintward::SignatureListModel* signatures READ signatures CONSTANT)
    Q_PROPERTY(
        bool matchUnknownIds READ matchUnknownIds WRITE setMatchUnknownIds NOTIFY matchUnknownIdsChanged)
    Q_PROPERTY(bool hapticAlerts READ hapticAlerts WRITE setHapticAlerts NOTIFY hapticAlertsChanged)
    Q_PROPERTY(QString thresholdReading READ thresholdReading NOTIFY thresholdChanged)
    Q_PROPERTY(QString thresholdSubtitle READ thresholdSubtitle NOTIFY thresholdChanged)

public:
    using CatalogueProvider = std::function<std::shared_ptr<const SignatureDatabase>()>;

    // The catalogue is asked for afresh at each refresh; by default it is the one in force for the process.
    SettingsPanelModel(AppPreferences& preferences, std::function<void()> wipeSessionLog,
                       CatalogueProvider catalogue = {}, QObject* parent = nullptr);

    // Reads the catalogue in force again. The page calls it when it is shown; a change of the preferences
    // or a publish of the radar model calls it too, as those redraw the page.
    Q_INVOKABLE void refresh();
    Q_INVOKABLE void setSignatureEnabled(const QString& signatureId, bool enabled);
    // Stores the name of the threshold after the one in force.
    Q_INVOKABLE void cycleThreshold();
    Q_INVOKABLE void wipeSessionLog();

    QString versionText() const { return versionText_; }
    int signatureCount() const { return signatures_.rowCount(); }
    SignatureListModel* signatures() { return &signatures_; }
    bool matchUnknownIds() const { return preferences_.matchUnknownIds(); }
    void setMatchUnknownIds(bool value) { preferences_.setMatchUnknownIds(value); }
    bool hapticAlerts() const { return preferences_.hapticAlerts(); }
    void setHapticAlerts(bool value) { preferences_.setHapticAlerts(value); }
    QString thresholdReading() const;
    QString thresholdSubtitle() const;

signals:
    void catalogueChanged();
    void matchUnknownIdsChanged();
    void hapticAlertsChanged();
    void thresholdChanged();

private:
    AppPreferences& preferences_;
    std::function<void()> wipeSessionLog_;
    CatalogueProvider catalogue_;
    SignatureListModel signatures_;
    QString versionText_;
    int shownCount_ = -1;
};

}  // namespace glintward
