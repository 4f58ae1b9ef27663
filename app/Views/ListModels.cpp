#include "app/Views/ListModels.h"

#include "app/Views/ViewLogic.h"

namespace glintward {

// ---- detections
// ---------------------------------------------------------------------------------------------

void DetectionListModel::apply(const std::vector<Detection>& detections,
                               const Set<std::string>& mutedAddresses) {
    std::vector<Row> next;
    next.reserve(detections.size());
    for (const auto& d : detections) next.push_back({d, countsAsMuted(d, mutedAddresses)});
    merge(
        rows_, next, [](const Row& r) -> const std::string& { return r.detection.address; },
        [](const Row& a, const Row& b) {
            QList<int> roles;
            const Detection& x = a.detection;
            const Detection& y = b.detection;
            if (x.displayName != y.displayName) roles << DisplayNameRole;
            if (x.brand != y.brand) roles << BrandRole;
            if (!record::equal(x.smoothedRssi, y.smoothedRssi)) roles << SmoothedRssiRole;
            if (!record::equal(x.estimatedDistanceMeters, y.estimatedDistanceMeters))
                roles << EstimatedDistanceRole;
            if (x.proximity != y.proximity) roles << ProximityRole;
            if (a.isMuted != b.isMuted) roles << IsMutedRole;
            // Fields no role shows (times, confidence, the engine's flag) are kept current without a signal.
            if (roles.isEmpty() && !(x == y)) roles << AddressRole;
            return roles;
        });
}

int DetectionListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant DetectionListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
    const Row& row = rows_[static_cast<std::size_t>(index.row())];
    const Detection& d = row.detection;
    switch (role) {
        case AddressRole:
            return QString::fromStdString(d.address);
        case DisplayNameRole:
            return QString::fromStdString(d.displayName);
        case BrandRole:
            return QString::fromStdString(d.brand);
        case SmoothedRssiRole:
            return d.smoothedRssi;
        case EstimatedDistanceRole:
            return d.estimatedDistanceMeters;
        case ProximityRole:
            return ordinal(d.proximity);
        case IsMutedRole:
            return row.isMuted;
        default:
            return {};
    }
}

QHash<int, QByteArray> DetectionListModel::roleNames() const {
    return {{AddressRole, "address"},
            {DisplayNameRole, "displayName"},
            {BrandRole, "brand"},
            {SmoothedRssiRole, "smoothedRssi"},
            {EstimatedDistanceRole, "estimatedDistanceMeters"},
            {ProximityRole, "proximity"},
            {IsMutedRole, "isMuted"}};
}

// ---- session log
// --------------------------------------------------------------------------------------------

void SessionLogListModel::apply(const std::vector<SessionLogEntry>& entries) {
    merge(
        rows_, entries, [](const SessionLogEntry& e) -> const std::string& { return e.address; },
        [](const SessionLogEntry& a, const SessionLogEntry& b) {
            QList<int> roles;
            if (a.displayName != b.displayName) roles << DisplayNameRole;
            if (a.firstSeenMs != b.firstSeenMs) roles << FirstSeenMsRole;
            if (a.lastSeenMs != b.lastSeenMs) roles << LastSeenMsRole;
            if (a.strongestRssi != b.strongestRssi) roles << StrongestRssiRole;
            if (roles.isEmpty() && !(a == b)) roles << AddressRole;
            return roles;
        });
}

int SessionLogListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant SessionLogListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
    const SessionLogEntry& e = rows_[static_cast<std::size_t>(index.row())];
    switch (role) {
        case AddressRole:
            return QString::fromStdString(e.address);
        case DisplayNameRole:
            return QString::fromStdString(e.displayName);
        // Milliseconds since 1970 are exact in a double for millions of years, and QML numbers are doubles.
        case FirstSeenMsRole:
            return static_cast<double>(e.firstSeenMs);
        case LastSeenMsRole:
            return static_cast<double>(e.lastSeenMs);
        case StrongestRssiRole:
            return e.strongestRssi;
        default:
            return {};
    }
}

QHash<int, QByteArray> SessionLogListModel::roleNames() const {
    return {{AddressRole, "address"},
            {DisplayNameRole, "displayName"},
            {FirstSeenMsRole, "firstSeenMs"},
            {LastSeenMsRole, "lastSeenMs"},
            {StrongestRssiRole, "strongestRssi"}};
}

// ---- bearings
// -----------------------------------------------------------------------------------------------

void BearingListModel::apply(const std::vector<double>& bearings) {
    const int had = static_cast<int>(bearings_.size());
    const int want = static_cast<int>(bearings.size());
    if (want < had) {
        beginRemoveRows({}, want, had - 1);
        bearings_.resize(static_cast<std::size_t>(want));
        endRemoveRows();
    }
    for (int i = 0; i < std::min(had, want); ++i) {
        const auto at = static_cast<std::size_t>(i);
        if (!record::equal(bearings_[at], bearings[at])) {
            bearings_[at] = bearings[at];
            emit dataChanged(index(i), index(i), {BearingRole});
        }
    }
    if (want > had) {
        beginInsertRows({}, had, want - 1);
        bearings_.insert(bearings_.end(), bearings.begin() + had, bearings.end());
        endInsertRows();
    }
}

int BearingListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(bearings_.size());
}

QVariant BearingListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(bearings_.size()) || role != BearingRole)
        return {};
    return bearings_[static_cast<std::size_t>(index.row())];
}

QHash<int, QByteArray> BearingListModel::roleNames() const {
    return {{BearingRole, "bearing"}};
}

}  // namespace glintward
