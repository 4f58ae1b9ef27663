#include "tray/SettingsPanelModel.h"

#include "app/HostAlertThreshold.h"
#include "app/Views/ViewLogic.h"
#include "shared/detection/SignatureRepository.h"

namespace glintward {

// ---- signatures
// ---------------------------------------------------------------------------------------------

void SignatureListModel::apply(std::shared_ptr<const SignatureDatabase> catalogue,
                               const QStringList& disabledSignatureIds) {
    const auto on = [&](const SignaturePtr& s) {
        return !disabledSignatureIds.contains(QString::fromStdString(s->id));
    };
    if (catalogue != catalogue_) {
        beginResetModel();
        catalogue_ = std::move(catalogue);
        switchOn_.clear();
        if (catalogue_) {
            for (const auto& s : catalogue_->signatures()) switchOn_.push_back(on(s));
        }
        endResetModel();
        return;
    }
    if (!catalogue_) return;
    const auto& signatures = catalogue_->signatures();
    for (std::size_t i = 0; i < signatures.size(); ++i) {
        const bool next = on(signatures[i]);
        if (switchOn_[i] != next) {
            switchOn_[i] = next;
            const QModelIndex at = index(static_cast<int>(i));
            emit dataChanged(at, at, {SwitchOnRole});
        }
    }
}

int SignatureListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() || !catalogue_ ? 0 : static_cast<int>(catalogue_->signatures().size());
}

QVariant SignatureListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const auto row = static_cast<std::size_t>(index.row());
    const DeviceSignature& s = *catalogue_->signatures()[row];
    switch (role) {
        case SignatureIdRole:
            return QString::fromStdString(s.id);
        case TitleRole:
            return QString::fromStdString(s.displayName);
        case SubtitleRole:
            return drawnSignatureSubtitle(s);
        case SwitchOnRole:
            return bool(switchOn_[row]);
        default:
            return {};
    }
}

QHash<int, QByteArray> SignatureListModel::roleNames() const {
    return {{SignatureIdRole, "signatureId"},
            {TitleRole, "title"},
            {SubtitleRole, "subtitle"},
            {SwitchOnRole, "switchOn"}};
}

// ---- the page
// -----------------------------------------------------------------------------------------------

SettingsPanelModel::SettingsPanelModel(AppPreferences& preferences, std::function<void()> wipeSessionLog,
                                       CatalogueProvider catalogue, QObject* parent)
    : QObject(parent),
      preferences_(preferences),
      wipeSessionLog_(std::move(wipeSessionLog)),
      catalogue_(catalogue ? std::move(catalogue) : [] { return SignatureRepository::shared().current(); }) {
    connect(&preferences_, &AppPreferences::matchUnknownIdsChanged, this,
            &SettingsPanelModel::matchUnknownIdsChanged);
    connect(&preferences_, &AppPreferences::hapticAlertsChanged, this,
            &SettingsPanelModel::hapticAlertsChanged);
    connect(&preferences_, &AppPreferences::alertThresholdRawChanged, this,
            &SettingsPanelModel::thresholdChanged);
    // Any change of the preferences redraws the page, and a redraw reads the catalogue in force.
    for (auto changed : {&AppPreferences::hapticAlertsChanged, &AppPreferences::disabledSignatureIdsChanged,
                         &AppPreferences::matchUnknownIdsChanged, &AppPreferences::onboardingCompleteChanged,
                         &AppPreferences::lastSyncMsChanged, &AppPreferences::alertThresholdRawChanged}) {
        connect(&preferences_, changed, this, &SettingsPanelModel::refresh);
    }
    refresh();
}

void SettingsPanelModel::refresh() {
    const auto catalogue = catalogue_();
    const QString version = catalogue ? catalogueVersionText(catalogue->version()) : QString();
    signatures_.apply(catalogue, preferences_.disabledSignatureIds());
    if (version != versionText_ || signatures_.rowCount() != shownCount_) {
        versionText_ = version;
        shownCount_ = signatures_.rowCount();
        emit catalogueChanged();
    }
}

void SettingsPanelModel::setSignatureEnabled(const QString& signatureId, bool enabled) {
    preferences_.setEnabled(enabled, signatureId);
}

void SettingsPanelModel::cycleThreshold() {
    preferences_.refresh();  // the threshold after the one in force, even if the file changed it just now
    const AlertThreshold following = next(preferences_.alertThreshold());
    preferences_.setAlertThresholdRaw(
        QString::fromLatin1(name(following).data(), static_cast<qsizetype>(name(following).size())));
}

void SettingsPanelModel::wipeSessionLog() {
    if (wipeSessionLog_) wipeSessionLog_();
}

QString SettingsPanelModel::thresholdReading() const {
    return glintward::thresholdReading(preferences_.alertThreshold());
}

QString SettingsPanelModel::thresholdSubtitle() const {
    const std::string_view text = subtitle(preferences_.alertThreshold());
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace glintward
