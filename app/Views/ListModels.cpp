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

void SessionLogListModel::apply(const SharedList<SessionLogEntry>& entries) {
    const std::size_t had = rows_.size();
    const auto sameEntryAt = [&](std::size_t i) { return entries[i].address == rows_[i].address; };
    bool grows = entries.size() >= had && applied_.size() == had;
    // Shared blocks hold the rows already shown; any other block must still hold the same addresses.
    for (std::size_t first = 0; grows && first < had; first += SharedList<SessionLogEntry>::BLOCK) {
        if (entries.sharesBlock(applied_, first)) continue;
        const std::size_t end = std::min(had, first + SharedList<SessionLogEntry>::BLOCK);
        for (std::size_t i = first; grows && i < end; ++i) grows = sameEntryAt(i);
    }
    if (!grows) {
        merge(entries.toVector(), &SessionLogEntry::address);
        applied_ = entries;
        return;
    }
    for (std::size_t first = 0; first < had; first += SharedList<SessionLogEntry>::BLOCK) {
        if (entries.sharesBlock(applied_, first)) continue;
        const std::size_t end = std::min(had, first + SharedList<SessionLogEntry>::BLOCK);
        for (std::size_t i = first; i < end; ++i) refresh(i, entries[i]);
    }
    if (entries.size() > had) {
        beginInsertRows({}, static_cast<int>(had), static_cast<int>(entries.size()) - 1);
        rows_.insert(rows_.end(), entries.begin() + static_cast<std::ptrdiff_t>(had), entries.end());
        endInsertRows();
    }
    applied_ = entries;
}

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

namespace glintward {

namespace {

// The page's roles: its own three, then every name of the two lists' roles once, each knowing the role of
// that name in either list.
struct PageRoles {
    QHash<int, QByteArray> names;
    QHash<int, int> detection;
    QHash<int, int> log;
};

const PageRoles& pageRoles() {
    static const PageRoles roles = [] {
        PageRoles r;
        r.names = {{PageListModel::KindRole, "kind"},
                   {PageListModel::FirstRole, "first"},
                   {PageListModel::LastRole, "last"}};
        int next = PageListModel::SourceRoleBase;
        const auto add = [&](const auto& table, QHash<int, int>& into) {
            for (const auto& role : table) {
                int page = r.names.key(role.name, 0);
                if (page == 0) {
                    page = next++;
                    r.names.insert(page, role.name);
                }
                into.insert(page, role.role);
            }
        };
        add(DETECTION_ROLES, r.detection);
        add(SESSION_LOG_ROLES, r.log);
        return r;
    }();
    return roles;
}

}  // namespace

PageListModel::PageListModel(QObject* parent) : QAbstractListModel(parent) {}

void PageListModel::setDetections(DetectionListModel* model) {
    if (model == detections_) return;
    if (detections_) disconnect(detections_, nullptr, this, nullptr);
    beginResetModel();
    detections_ = model;
    if (model) connectSource(model, false);
    detectionRows_ = model ? model->rowCount() : 0;
    endResetModel();
    emit detectionsChanged();
}

void PageListModel::setSessionLog(SessionLogListModel* model) {
    if (model == sessionLog_) return;
    if (sessionLog_) disconnect(sessionLog_, nullptr, this, nullptr);
    beginResetModel();
    sessionLog_ = model;
    if (model) connectSource(model, true);
    logRows_ = model ? model->rowCount() : 0;
    emptyRow_ = logRows_ == 0;
    endResetModel();
    emit sessionLogChanged();
}

int PageListModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid()) return 0;
    return logStart() + logRows_ + (emptyRow_ ? 1 : 0);
}

QVariant PageListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const int row = index.row();
    Kind kind;
    int at = -1;  // the row in its source
    if (row < nearbyRows()) {
        kind = row == 0 ? NearbyKicker : DetectionCard;
        at = row - 1;
    } else if (row == nearbyRows()) {
        kind = SessionLogKicker;
    } else {
        kind = emptyRow_ ? SessionLogEmpty : SessionLogRow;
        at = row - logStart();
    }
    switch (role) {
        case KindRole:
            return kind;
        case FirstRole:
            return kind == SessionLogRow && at == 0;
        case LastRole:
            return kind == SessionLogRow && at == logRows_ - 1;
        default:
            break;
    }
    if (kind == DetectionCard && detections_) {
        const int source = pageRoles().detection.value(role, 0);
        return source ? detections_->data(detections_->index(at), source) : QVariant();
    }
    if (kind == SessionLogRow && sessionLog_) {
        const int source = pageRoles().log.value(role, 0);
        return source ? sessionLog_->data(sessionLog_->index(at), source) : QVariant();
    }
    return {};
}

QHash<int, QByteArray> PageListModel::roleNames() const {
    return pageRoles().names;
}

void PageListModel::connectSource(QAbstractItemModel* source, bool isLog) {
    // Where the source's row 0 sits on the page, as the views know it now.
    const auto offset = [this, isLog] { return isLog ? logStart() : 1; };
    const auto recount = [this, source, isLog] { (isLog ? logRows_ : detectionRows_) = source->rowCount(); };
    connect(source, &QAbstractItemModel::rowsAboutToBeInserted, this,
            [this, isLog, offset](const QModelIndex&, int first, int last) {
                if (isLog && emptyRow_) {
                    // The empty state's row gives way to the first entries.
                    beginRemoveRows({}, logStart(), logStart());
                    emptyRow_ = false;
                    endRemoveRows();
                }
                if (!isLog && detectionRows_ == 0) {
                    beginInsertRows({}, 0, last - first + 1);  // the heading comes with the first cards
                } else {
                    beginInsertRows({}, offset() + first, offset() + last);
                }
            });
    connect(source, &QAbstractItemModel::rowsInserted, this, [this, isLog, recount] {
        recount();
        endInsertRows();
        if (isLog) markLogEnds();
    });
    connect(source, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this, isLog, offset](const QModelIndex&, int first, int last) {
                if (!isLog && last - first + 1 == detectionRows_) {
                    beginRemoveRows({}, 0, detectionRows_);  // the heading goes with the last card
                } else {
                    beginRemoveRows({}, offset() + first, offset() + last);
                }
            });
    connect(source, &QAbstractItemModel::rowsRemoved, this, [this, isLog, recount] {
        recount();
        endRemoveRows();
        if (isLog && logRows_ == 0) {
            beginInsertRows({}, logStart(), logStart());
            emptyRow_ = true;
            endInsertRows();
        }
        if (isLog) markLogEnds();
    });
    connect(source, &QAbstractItemModel::rowsAboutToBeMoved, this,
            [this, offset](const QModelIndex&, int first, int last, const QModelIndex&, int to) {
                beginMoveRows({}, offset() + first, offset() + last, {}, offset() + to);
            });
    connect(source, &QAbstractItemModel::rowsMoved, this, [this, isLog] {
        endMoveRows();
        if (isLog) markLogEnds();
    });
    connect(source, &QAbstractItemModel::dataChanged, this,
            [this, isLog, offset](const QModelIndex& from, const QModelIndex& to, const QList<int>& roles) {
                QList<int> page;
                const QHash<int, int>& map = isLog ? pageRoles().log : pageRoles().detection;
                for (int role : roles) page << map.key(role, 0);
                emit dataChanged(index(offset() + from.row()), index(offset() + to.row()), page);
            });
    connect(source, &QAbstractItemModel::modelAboutToBeReset, this, [this] { beginResetModel(); });
    connect(source, &QAbstractItemModel::modelReset, this, [this, recount] {
        recount();
        emptyRow_ = logRows_ == 0;
        endResetModel();
    });
}

void PageListModel::markLogEnds() {
    // Which entry is first or last may have changed; the views only look at the rows they have made.
    if (logRows_ > 0) {
        emit dataChanged(index(logStart()), index(logStart() + logRows_ - 1), {FirstRole, LastRole});
    }
}

}  // namespace glintward
