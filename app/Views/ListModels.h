#pragma once
// The lists of the radar page as Qt list models keyed by device address. Each publish is merged into the
// rows already shown: a changed device changes its row in place, a new one is inserted where it belongs, a
// reordered one is moved, so the views keep their delegates (and their animations) instead of rebuilding.

#include <QtQml/qqmlregistration.h>
#include <QAbstractListModel>
#include <string>
#include <unordered_map>
#include <vector>

#include "shared/detection/Records.h"
#include "shared/record/Set.h"

namespace glintward {

// Brings a list keyed uniquely by address to its next value with removals, moves, inserts and in-place
// changes, telling the views about each step.
class MergingListModel : public QAbstractListModel {
protected:
    using QAbstractListModel::QAbstractListModel;

    // `key(row)` gives the row's address; `changedRoles(old, new)` the roles that differ (empty: unchanged).
    template <class Row, class Key, class Changed>
    void merge(std::vector<Row>& rows, const std::vector<Row>& next, Key&& key, Changed&& changedRoles) {
        std::unordered_map<std::string, std::size_t> wanted;
        wanted.reserve(next.size());
        for (std::size_t i = 0; i < next.size(); ++i) {
            if (!wanted.emplace(key(next[i]), i).second) {
                // Keys are unique by contract; should they not be, showing the list as given beats guessing.
                beginResetModel();
                rows = next;
                endResetModel();
                return;
            }
        }
        for (std::size_t i = rows.size(); i-- > 0;) {
            if (wanted.count(key(rows[i])) == 0) {
                beginRemoveRows({}, static_cast<int>(i), static_cast<int>(i));
                rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(i));
                endRemoveRows();
            }
        }
        for (std::size_t i = 0; i < next.size(); ++i) {
            const std::string& k = key(next[i]);
            if (i >= rows.size() || key(rows[i]) != k) {
                std::size_t from = i + 1;
                while (from < rows.size() && key(rows[from]) != k) ++from;
                if (from < rows.size()) {
                    beginMoveRows({}, static_cast<int>(from), static_cast<int>(from), {},
                                  static_cast<int>(i));
                    Row moved = std::move(rows[from]);
                    rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(from));
                    rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(i), std::move(moved));
                    endMoveRows();
                } else {
                    beginInsertRows({}, static_cast<int>(i), static_cast<int>(i));
                    rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(i), next[i]);
                    endInsertRows();
                    continue;
                }
            }
            const QList<int> roles = changedRoles(rows[i], next[i]);
            if (!roles.isEmpty()) {
                rows[i] = next[i];
                const QModelIndex at = index(static_cast<int>(i));
                emit dataChanged(at, at, roles);
            }
        }
    }
};

class DetectionListModel : public MergingListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("filled by the panel's view model")
public:
    enum Role {
        AddressRole = Qt::UserRole + 1,
        DisplayNameRole,
        BrandRole,
        SmoothedRssiRole,
        EstimatedDistanceRole,
        ProximityRole,
        IsMutedRole,
    };
    using MergingListModel::MergingListModel;

    // Merges the detections in their order; isMuted is the page's rule over the engine's flag and the
    // user's muted set.
    void apply(const std::vector<Detection>& detections, const Set<std::string>& mutedAddresses);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    struct Row {
        Detection detection;
        bool isMuted = false;
    };
    const std::vector<Row>& rows() const { return rows_; }

private:
    std::vector<Row> rows_;
};

class SessionLogListModel : public MergingListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("filled by the panel's view model")
public:
    enum Role {
        AddressRole = Qt::UserRole + 1,
        DisplayNameRole,
        FirstSeenMsRole,
        LastSeenMsRole,
        StrongestRssiRole,
    };
    using MergingListModel::MergingListModel;

    void apply(const std::vector<SessionLogEntry>& entries);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    const std::vector<SessionLogEntry>& rows() const { return rows_; }

private:
    std::vector<SessionLogEntry> rows_;
};

// The dial's blip bearings, identified by position: growing the list appends rows, so the blips already shown
// keep their ping cycle.
class BearingListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("filled by the panel's view model")
public:
    enum Role { BearingRole = Qt::UserRole + 1 };
    using QAbstractListModel::QAbstractListModel;

    void apply(const std::vector<double>& bearings);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    const std::vector<double>& bearings() const { return bearings_; }

private:
    std::vector<double> bearings_;
};

}  // namespace glintward
