#pragma once
// The lists of the radar page as Qt list models keyed by device address. Each publish is merged into the
// rows already shown: a changed device changes its row in place, a new one is inserted where it belongs, a
// reordered one is moved, so the views keep their delegates (and their animations) instead of rebuilding.

#include <QtQml/qqmlregistration.h>
#include <QAbstractListModel>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "shared/detection/Records.h"
#include "shared/record/Set.h"

namespace glintward {

// One role of a list: its number, its name in QML, what a row shows in it, and whether two rows show the
// same there. Made by listRole() from the path of members that leads from the row to the field.
template <class Row>
struct ListRole {
    int role;
    const char* name;
    QVariant (*shown)(const Row&);
    bool (*same)(const Row&, const Row&);
};

namespace list_role {
// What a role shows for a field's value.
inline QVariant shown(const std::string& text) {
    return QString::fromStdString(text);
}
// Milliseconds since 1970 are exact in a double for millions of years, and QML numbers are doubles.
inline QVariant shown(std::int64_t ms) {
    return static_cast<double>(ms);
}
template <class T>
requires std::is_enum_v<T> QVariant shown(T value) {
    return ordinal(value);
}
template <class T>
requires std::is_arithmetic_v<T> QVariant shown(T value) {
    return QVariant::fromValue(value);
}

// The field that the members of `path` lead to from the row, in turn; with none, the row itself.
template <auto... path, class Row>
const auto& field(const Row& row) {
    return (row.*....*path);
}
}  // namespace list_role

template <class Row, auto... path>
constexpr ListRole<Row> listRole(int role, const char* name) {
    return {role, name, [](const Row& r) { return list_role::shown(list_role::field<path...>(r)); },
            [](const Row& a, const Row& b) {
                return record::equal(list_role::field<path...>(a), list_role::field<path...>(b));
            }};
}

// A list model over a vector of rows whose roles are one table: the count, the look-up, the role names and
// which roles a change touches all read it.
template <class Row>
class RowListModel : public QAbstractListModel {
public:
    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : static_cast<int>(rows_.size());
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
        for (const ListRole<Row>& r : roles_) {
            if (r.role == role) return r.shown(rows_[static_cast<std::size_t>(index.row())]);
        }
        return {};
    }
    QHash<int, QByteArray> roleNames() const override {
        QHash<int, QByteArray> names;
        for (const ListRole<Row>& r : roles_) names.insert(r.role, r.name);
        return names;
    }
    const std::vector<Row>& rows() const { return rows_; }

protected:
    RowListModel(std::span<const ListRole<Row>> roles, QObject* parent)
        : QAbstractListModel(parent), roles_(roles) {}

    // The roles in which `next` shows something other than `row`.
    QList<int> changedRoles(const Row& row, const Row& next) const {
        QList<int> changed;
        for (const ListRole<Row>& r : roles_) {
            if (!r.same(row, next)) changed << r.role;
        }
        return changed;
    }
    // Replaces row i and tells the views which of its roles changed.
    void update(std::size_t i, const Row& next, QList<int> roles) {
        rows_[i] = next;
        const QModelIndex at = index(static_cast<int>(i));
        emit dataChanged(at, at, roles);
    }

    std::vector<Row> rows_;

private:
    std::span<const ListRole<Row>> roles_;
};

// Brings a list keyed uniquely by address to its next value with removals, moves, inserts and in-place
// changes, telling the views about each step.
template <class Row>
class MergingListModel : public RowListModel<Row> {
protected:
    using RowListModel<Row>::RowListModel;

    // The role of the row's address, first in every keyed list; a row that differs only in fields no role
    // shows is kept current under it.
    static constexpr int ADDRESS_ROLE = Qt::UserRole + 1;

    // Beyond this many steps (runs of rows leaving, runs arriving, rows out of place) a merge is one reset: the
    // views then make only the rows in sight, where each step would cost them time over the whole list, and
    // a flood of made-up devices would hold the main thread for seconds.
    static constexpr std::size_t STEPS_MAX = 64;

    // `key` gives a row's address: a member pointer or a function of the row.
    template <class Key>
    void merge(const std::vector<Row>& next, Key&& key) {
        std::vector<Row>& rows = this->rows_;
        const auto resetTo = [&] {
            this->beginResetModel();
            rows = next;
            this->endResetModel();
        };
        std::unordered_map<std::string, std::size_t> wanted;
        wanted.reserve(next.size());
        for (std::size_t i = 0; i < next.size(); ++i) {
            if (!wanted.emplace(std::invoke(key, next[i]), i).second) {
                // Keys are unique by contract; should they not be, showing the list as given beats guessing.
                resetTo();
                return;
            }
        }
        std::unordered_set<std::string> shown;
        shown.reserve(rows.size());
        for (const Row& row : rows) shown.insert(std::invoke(key, row));
        if (steps(rows, next, wanted, shown, key) > STEPS_MAX) {
            resetTo();
            return;
        }
        // Runs of neighbouring rows leave, and arrive, in one change each: opening on a long list, or a crowd
        // leaving at once, is then one change for the views rather than one per row.
        for (std::size_t end = rows.size(); end > 0;) {
            if (wanted.count(std::invoke(key, rows[end - 1])) != 0) {
                --end;
                continue;
            }
            std::size_t begin = end - 1;
            while (begin > 0 && wanted.count(std::invoke(key, rows[begin - 1])) == 0) --begin;
            this->beginRemoveRows({}, static_cast<int>(begin), static_cast<int>(end) - 1);
            rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(begin),
                       rows.begin() + static_cast<std::ptrdiff_t>(end));
            this->endRemoveRows();
            end = begin;
        }
        for (std::size_t i = 0; i < next.size(); ++i) {
            const std::string& k = std::invoke(key, next[i]);
            if (shown.count(k) == 0) {
                std::size_t end = i + 1;
                while (end < next.size() && shown.count(std::invoke(key, next[end])) == 0) ++end;
                this->beginInsertRows({}, static_cast<int>(i), static_cast<int>(end) - 1);
                rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(i),
                            next.begin() + static_cast<std::ptrdiff_t>(i),
                            next.begin() + static_cast<std::ptrdiff_t>(end));
                this->endInsertRows();
                i = end - 1;
                continue;
            }
            if (i >= rows.size() || std::invoke(key, rows[i]) != k) {
                std::size_t from = i + 1;
                while (from < rows.size() && std::invoke(key, rows[from]) != k) ++from;
                this->beginMoveRows({}, static_cast<int>(from), static_cast<int>(from), {},
                                    static_cast<int>(i));
                Row moved = std::move(rows[from]);
                rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(from));
                rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(i), std::move(moved));
                this->endMoveRows();
            }
            refresh(i, next[i]);
        }
    }

    // The steps the merge from `rows` to `next` takes, counted without changing anything, up to just past
    // STEPS_MAX: runs that leave, runs that arrive, and rows moved up to their place, which is where the first
    // staying row not yet placed is not the one due there.
    template <class Key>
    static std::size_t steps(const std::vector<Row>& rows, const std::vector<Row>& next,
                             const std::unordered_map<std::string, std::size_t>& wanted,
                             const std::unordered_set<std::string>& shown, Key&& key) {
        std::size_t count = 0;
        bool inRun = false;
        std::vector<std::string_view> staying;  // in their order now
        staying.reserve(std::min(rows.size(), next.size()));
        for (const Row& row : rows) {
            const std::string& k = std::invoke(key, row);
            const bool stays = wanted.count(k) != 0;
            if (stays) staying.push_back(k);
            count += !stays && !inRun;
            inRun = !stays;
        }
        inRun = false;
        std::size_t first = 0;  // the first staying row not yet placed, once those moved up are passed
        std::unordered_set<std::string_view> movedUp;
        for (const Row& row : next) {
            const std::string& k = std::invoke(key, row);
            const bool arrives = shown.count(k) == 0;
            count += arrives && !inRun;
            inRun = arrives;
            if (count > STEPS_MAX) break;
            if (arrives) continue;
            while (first < staying.size() && movedUp.count(staying[first]) != 0) ++first;
            if (first < staying.size() && staying[first] == k) {
                ++first;
            } else {
                ++count;
                movedUp.insert(k);
            }
        }
        return count;
    }

    // Brings row i, already under the right address, to `next`, telling the views which roles changed.
    void refresh(std::size_t i, const Row& next) {
        QList<int> roles = this->changedRoles(this->rows_[i], next);
        if (roles.isEmpty() && !(this->rows_[i] == next)) roles << ADDRESS_ROLE;
        if (!roles.isEmpty()) this->update(i, next, std::move(roles));
    }
};

struct DetectionRow {
    Detection detection;
    bool isMuted = false;
    bool operator==(const DetectionRow&) const = default;
};

class DetectionListModel : public MergingListModel<DetectionRow> {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("filled by the panel's view model")
public:
    enum Role {
        AddressRole = ADDRESS_ROLE,
        DisplayNameRole,
        BrandRole,
        SmoothedRssiRole,
        EstimatedDistanceRole,
        ProximityRole,
        IsMutedRole,
    };
    explicit DetectionListModel(QObject* parent = nullptr);

    // Merges the detections in their order; isMuted is the page's rule over the engine's flag and the
    // user's muted set.
    void apply(const std::vector<Detection>& detections, const Set<std::string>& mutedAddresses);
};

class SessionLogListModel : public MergingListModel<SessionLogEntry> {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("filled by the panel's view model")
public:
    enum Role {
        AddressRole = ADDRESS_ROLE,
        DisplayNameRole,
        FirstSeenMsRole,
        LastSeenMsRole,
        StrongestRssiRole
    };
    explicit SessionLogListModel(QObject* parent = nullptr);

    // The log grows at its end and changes its entries in place until it is wiped: blocks of entries it
    // shares with the log applied last are skipped unread, the rest compared row by row, and new entries
    // added in one change. Anything else is merged as any keyed list.
    void apply(const SharedList<SessionLogEntry>& entries);

private:
    SharedList<SessionLogEntry> applied_;
};

// The radar page's lists as one list, so that one view can scroll the whole page and make only the rows in
// sight: the "Nearby" heading and one row per detection (only while there are detections), the "Session log"
// heading, then one row per session-log entry or, while the log is empty, one row for its empty state. The
// rows of the two lists keep their roles (a name both have is one role) and the changes of either reach the
// views as changes of these rows, so delegates are kept as they are.
class PageListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(glintward::DetectionListModel* detections READ detections WRITE setDetections NOTIFY
                   detectionsChanged)
    Q_PROPERTY(glintward::SessionLogListModel* sessionLog READ sessionLog WRITE setSessionLog NOTIFY
                   sessionLogChanged)

public:
    enum Kind { NearbyKicker, DetectionCard, SessionLogKicker, SessionLogRow, SessionLogEmpty };
    Q_ENUM(Kind)
    // `first` and `last`: the row is the first or the last of the session log's rows.
    enum Role { KindRole = Qt::UserRole + 1, FirstRole, LastRole, SourceRoleBase };

    explicit PageListModel(QObject* parent = nullptr);

    DetectionListModel* detections() const { return detections_; }
    void setDetections(DetectionListModel* model);
    SessionLogListModel* sessionLog() const { return sessionLog_; }
    void setSessionLog(SessionLogListModel* model);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void detectionsChanged();
    void sessionLogChanged();

private:
    // Rows before the session log's heading.
    int nearbyRows() const { return detectionRows_ > 0 ? detectionRows_ + 1 : 0; }
    int logStart() const { return nearbyRows() + 1; }
    void connectSource(QAbstractItemModel* source, bool isLog);
    void markLogEnds();

    DetectionListModel* detections_ = nullptr;
    SessionLogListModel* sessionLog_ = nullptr;
    // The sources' counts as this model last told the views; between a source's "about to" signal and its
    // "done" signal the source has already changed while the views have not.
    int detectionRows_ = 0;
    int logRows_ = 0;
    bool emptyRow_ = true;  // the log's empty state is shown in place of its entries
};

// The dial's blip bearings, identified by position: growing the list appends rows, so the blips already shown
// keep their ping cycle.
class BearingListModel : public RowListModel<double> {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("filled by the panel's view model")
public:
    enum Role { BearingRole = Qt::UserRole + 1 };
    explicit BearingListModel(QObject* parent = nullptr);

    void apply(const std::vector<double>& bearings);
};

}  // namespace glintward
