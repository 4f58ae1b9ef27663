#include "app/Views/ListModels.h"

#include "app/Views/ViewLogic.h"

namespace glintward {

namespace {

using D = DetectionListModel;
constexpr ListRole<DetectionRow> DETECTION_ROLES[] = {
    listRole<DetectionRow, &DetectionRow::detection, &Detection::address>(D::AddressRole, "address"),
    listRole<DetectionRow, &DetectionRow::detection, &Detection::displayName>(D::DisplayNameRole,
                                                                              "displayName"),
    listRole<DetectionRow, &DetectionRow::detection, &Detection::brand>(D::BrandRole, "brand"),
    listRole<DetectionRow, &DetectionRow::detection, &Detection::smoothedRssi>(D::SmoothedRssiRole,
                                                                               "smoothedRssi"),
    listRole<DetectionRow, &DetectionRow::detection, &Detection::estimatedDistanceMeters>(
        D::EstimatedDistanceRole, "estimatedDistanceMeters"),
    listRole<DetectionRow, &DetectionRow::detection, &Detection::proximity>(D::ProximityRole, "proximity"),
    listRole<DetectionRow, &DetectionRow::isMuted>(D::IsMutedRole, "isMuted"),
};

using S = SessionLogListModel;
constexpr ListRole<SessionLogEntry> SESSION_LOG_ROLES[] = {
    listRole<SessionLogEntry, &SessionLogEntry::address>(S::AddressRole, "address"),
    listRole<SessionLogEntry, &SessionLogEntry::displayName>(S::DisplayNameRole, "displayName"),
    listRole<SessionLogEntry, &SessionLogEntry::firstSeenMs>(S::FirstSeenMsRole, "firstSeenMs"),
    listRole<SessionLogEntry, &SessionLogEntry::lastSeenMs>(S::LastSeenMsRole, "lastSeenMs"),
    listRole<SessionLogEntry, &SessionLogEntry::strongestRssi>(S::StrongestRssiRole, "strongestRssi"),
};

constexpr ListRole<double> BEARING_ROLES[] = {
    listRole<double>(BearingListModel::BearingRole, "bearing"),
};

}  // namespace

DetectionListModel::DetectionListModel(QObject* parent) : MergingListModel(DETECTION_ROLES, parent) {}

void DetectionListModel::apply(const std::vector<Detection>& detections,
                               const Set<std::string>& mutedAddresses) {
    std::vector<DetectionRow> next;
    next.reserve(detections.size());
    for (const auto& d : detections) next.push_back({d, countsAsMuted(d, mutedAddresses)});
    // Fields no role shows (times, confidence, the engine's flag) are kept current under the address role.
    merge(next, [](const DetectionRow& r) -> const std::string& { return r.detection.address; });
}

SessionLogListModel::SessionLogListModel(QObject* parent) : MergingListModel(SESSION_LOG_ROLES, parent) {}

BearingListModel::BearingListModel(QObject* parent) : RowListModel(BEARING_ROLES, parent) {}

void BearingListModel::apply(const std::vector<double>& bearings) {
    const std::size_t had = rows_.size();
    const std::size_t want = bearings.size();
    if (want < had) {
        beginRemoveRows({}, static_cast<int>(want), static_cast<int>(had) - 1);
        rows_.resize(want);
        endRemoveRows();
    }
    for (std::size_t i = 0; i < std::min(had, want); ++i) {
        QList<int> roles = changedRoles(rows_[i], bearings[i]);
        if (!roles.isEmpty()) update(i, bearings[i], std::move(roles));
    }
    if (want > had) {
        beginInsertRows({}, static_cast<int>(had), static_cast<int>(want) - 1);
        rows_.insert(rows_.end(), bearings.begin() + static_cast<std::ptrdiff_t>(had), bearings.end());
        endInsertRows();
    }
}

}  // namespace glintward
