#include "app/Views/ListModels.h"

#include <gtest/gtest.h>
#include <QAbstractItemModelTester>
#include <QSignalSpy>

namespace glintward {
namespace {

Detection detection(std::string address, double rssi, bool engineMuted = false) {
    return Detection{std::move(address), "Ray-Ban Meta", "Meta", 0.9, rssi, 2, Proximity::NEAR, 0, 0,
                     engineMuted};
}

SessionLogEntry entry(std::string address, std::int64_t lastSeenMs = 1000) {
    return {std::move(address), "One", "B", 1000, lastSeenMs, -60};
}

QStringList addresses(const QAbstractItemModel& model) {
    QStringList out;
    for (int i = 0; i < model.rowCount(); ++i) out << model.index(i, 0).data(Qt::UserRole + 1).toString();
    return out;
}

// Every signal a view would react to, counted.
struct Signals {
    explicit Signals(QAbstractItemModel& m)
        : reset(&m, &QAbstractItemModel::modelReset),
          inserted(&m, &QAbstractItemModel::rowsInserted),
          removed(&m, &QAbstractItemModel::rowsRemoved),
          moved(&m, &QAbstractItemModel::rowsMoved),
          changed(&m, &QAbstractItemModel::dataChanged) {}
    void clear() {
        reset.clear();
        inserted.clear();
        removed.clear();
        moved.clear();
        changed.clear();
    }
    QSignalSpy reset, inserted, removed, moved, changed;
};

TEST(DetectionListModelTest, PublishesChangeRowsInPlaceAndKeepTheirIdentity) {
    DetectionListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    Signals s(model);

    model.apply({detection("a", -60), detection("b", -70)}, {});
    ASSERT_EQ(addresses(model), (QStringList{"a", "b"}));
    const QPersistentModelIndex a(model.index(0, 0));
    s.clear();

    // The same picture again (as at advertisement rate with nothing new): no signal at all.
    model.apply({detection("a", -60), detection("b", -70)}, {});
    EXPECT_EQ(s.changed.count() + s.inserted.count() + s.removed.count() + s.moved.count() + s.reset.count(),
              0);

    // One signal changes: one row, that role only.
    model.apply({detection("a", -55), detection("b", -70)}, {});
    ASSERT_EQ(s.changed.count(), 1);
    EXPECT_EQ(s.changed[0][0].toModelIndex().row(), 0);
    EXPECT_EQ(s.changed[0][2].value<QList<int>>(), QList<int>{DetectionListModel::SmoothedRssiRole});
    s.clear();

    // Reordered, one gone, one new: moves, removes and inserts, never a reset; "a" keeps its row object.
    model.apply({detection("c", -50), detection("a", -55)}, {});
    EXPECT_EQ(addresses(model), (QStringList{"c", "a"}));
    EXPECT_EQ(s.reset.count(), 0);
    EXPECT_EQ(s.removed.count(), 1);
    EXPECT_EQ(s.inserted.count(), 1);
    EXPECT_TRUE(a.isValid());
    EXPECT_EQ(a.row(), 1);
    s.clear();

    model.apply({detection("a", -55), detection("c", -50)}, {});
    EXPECT_EQ(addresses(model), (QStringList{"a", "c"}));
    EXPECT_EQ(s.moved.count(), 1);
    EXPECT_EQ(s.inserted.count() + s.removed.count() + s.reset.count(), 0);
    EXPECT_EQ(a.row(), 0);

    model.apply({}, {});
    EXPECT_EQ(model.rowCount(), 0);
}

// A list that changes all over (a flood of made-up devices) is one reset, not a step per row for the views to
// take over the whole list; a list that changes in a few places still changes in place.
TEST(DetectionListModelTest, AListChangedAllOverIsOneReset) {
    DetectionListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    Signals s(model);
    std::vector<Detection> before;
    for (int i = 0; i < 2000; ++i) before.push_back(detection("d" + std::to_string(i), -60 - i % 40));
    model.apply(before, {});
    s.clear();

    std::vector<Detection> scattered;  // every other row gone, a new one after each that stays
    for (int i = 0; i < 2000; i += 2) {
        scattered.push_back(before[static_cast<std::size_t>(i)]);
        scattered.push_back(detection("n" + std::to_string(i), -70));
    }
    std::swap(scattered[0], scattered[2]);
    model.apply(scattered, {});
    EXPECT_EQ(s.reset.count(), 1);
    EXPECT_EQ(s.inserted.count() + s.removed.count() + s.moved.count() + s.changed.count(), 0);
    ASSERT_EQ(model.rowCount(), 2000);
    for (std::size_t i = 0; i < scattered.size(); i += 97) {
        EXPECT_EQ(model.rows()[i].detection, scattered[i]) << i;
    }
    s.clear();

    // The first and the last row trade places: two rows out of place, but every row between moves up once.
    std::vector<Detection> ends = scattered;
    std::swap(ends.front(), ends.back());
    model.apply(ends, {});
    EXPECT_EQ(s.reset.count(), 1);
    EXPECT_EQ(s.moved.count(), 0);
    EXPECT_EQ(model.rows().front().detection, ends.front());
    s.clear();

    std::vector<Detection> few = ends;  // two rows trade places, one leaves, one arrives
    std::swap(few[10], few[11]);
    few.erase(few.begin() + 500);
    few.push_back(detection("late", -90));
    model.apply(few, {});
    EXPECT_EQ(s.reset.count(), 0);
    EXPECT_EQ(s.moved.count(), 1);
    EXPECT_EQ(s.removed.count(), 1);
    EXPECT_EQ(s.inserted.count(), 1);
    EXPECT_EQ(model.rows().size(), few.size());
    EXPECT_EQ(model.rows().back().detection, few.back());
}

TEST(DetectionListModelTest, RowsCarryTheFieldsAndThePagesMutedRule) {
    DetectionListModel model;
    model.apply({detection("a", -60), detection("b", -70, true), detection("c", -80)}, Set<std::string>{"c"});
    const auto muted = [&](int row) {
        return model.index(row, 0).data(DetectionListModel::IsMutedRole).toBool();
    };
    EXPECT_FALSE(muted(0));
    EXPECT_TRUE(muted(1));
    EXPECT_TRUE(muted(2));
    const QModelIndex first = model.index(0, 0);
    EXPECT_EQ(first.data(DetectionListModel::DisplayNameRole).toString(), QStringLiteral("Ray-Ban Meta"));
    EXPECT_EQ(first.data(DetectionListModel::BrandRole).toString(), QStringLiteral("Meta"));
    EXPECT_EQ(first.data(DetectionListModel::SmoothedRssiRole).toDouble(), -60);
    EXPECT_EQ(first.data(DetectionListModel::EstimatedDistanceRole).toDouble(), 2);
    EXPECT_EQ(first.data(DetectionListModel::ProximityRole).toInt(), ordinal(Proximity::NEAR));

    // Unmuting in the user's set alone changes only that role of that row.
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    model.apply({detection("a", -60), detection("b", -70, true), detection("c", -80)}, {});
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed[0][0].toModelIndex().row(), 2);
    EXPECT_EQ(changed[0][2].value<QList<int>>(), QList<int>{DetectionListModel::IsMutedRole});
}

TEST(SessionLogListModelTest, NeighbouringArrivalsAndDeparturesAreOneChangeEach) {
    SessionLogListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    Signals s(model);
    model.apply({entry("a"), entry("b"), entry("c"), entry("d")});
    ASSERT_EQ(s.inserted.count(), 1);
    model.apply({entry("x"), entry("a"), entry("y"), entry("z"), entry("d")});
    EXPECT_EQ(addresses(model), (QStringList{"x", "a", "y", "z", "d"}));
    EXPECT_EQ(s.removed.count(), 1);   // b and c together
    EXPECT_EQ(s.inserted.count(), 3);  // then x, and y with z
    EXPECT_EQ(s.moved.count() + s.reset.count(), 0);
}

TEST(DetectionListModelTest, DuplicateAddressesAreShownAsGiven) {
    DetectionListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.apply({detection("a", -60)}, {});
    model.apply({detection("a", -60), detection("a", -70)}, {});
    EXPECT_EQ(addresses(model), (QStringList{"a", "a"}));
    model.apply({detection("b", -60)}, {});
    EXPECT_EQ(addresses(model), (QStringList{"b"}));
}

TEST(SessionLogListModelTest, AppendsAndUpdatesInPlaceAndEmptiesOnWipe) {
    SessionLogListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    Signals s(model);
    model.apply({{"a", "One", "B", 1000, 2000, -60}});
    model.apply({{"a", "One", "B", 1000, 3000, -55}, {"b", "Two", "B", 2500, 2500, -70}});
    EXPECT_EQ(addresses(model), (QStringList{"a", "b"}));
    EXPECT_EQ(s.inserted.count(), 2);
    ASSERT_EQ(s.changed.count(), 1);
    EXPECT_EQ(s.changed[0][2].value<QList<int>>(),
              (QList<int>{SessionLogListModel::LastSeenMsRole, SessionLogListModel::StrongestRssiRole}));
    const QModelIndex first = model.index(0, 0);
    EXPECT_EQ(first.data(SessionLogListModel::FirstSeenMsRole).toDouble(), 1000);
    EXPECT_EQ(first.data(SessionLogListModel::LastSeenMsRole).toDouble(), 3000);
    EXPECT_EQ(first.data(SessionLogListModel::StrongestRssiRole).toInt(), -55);
    model.apply({});
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(s.reset.count(), 0);
}

TEST(SessionLogListModelTest, ALogThatGrewReadsOnlyTheBlocksItDidNotShare) {
    SessionLogListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    SharedList<SessionLogEntry> log;
    for (int i = 0; i < 100; ++i) log.push_back(entry("d" + std::to_string(i)));
    model.apply(log);
    Signals s(model);
    // As the engine publishes: one entry heard again, one device new.
    log.edit(70).lastSeenMs = 5000;
    log.push_back(entry("new"));
    model.apply(log);
    EXPECT_EQ(s.inserted.count(), 1);
    ASSERT_EQ(s.changed.count(), 1);
    EXPECT_EQ(s.changed[0][0].toModelIndex().row(), 70);
    EXPECT_EQ(model.rows(), log.toVector());
    EXPECT_EQ(s.reset.count() + s.removed.count() + s.moved.count(), 0);

    // A log built afresh shares nothing and is compared row by row; one in another order is merged.
    s.clear();
    model.apply(SharedList<SessionLogEntry>(log.toVector()));
    EXPECT_EQ(s.changed.count() + s.inserted.count() + s.removed.count(), 0);
    std::vector<SessionLogEntry> reordered = log.toVector();
    std::swap(reordered[3], reordered[40]);
    model.apply(SharedList<SessionLogEntry>(reordered));
    EXPECT_EQ(model.rows(), reordered);
}

TEST(BearingListModelTest, GrowingAppendsSoExistingBlipsKeepTheirRows) {
    BearingListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    Signals s(model);
    model.apply({-60, 14});
    model.apply({-60, 14, 88});
    ASSERT_EQ(s.inserted.count(), 2);
    EXPECT_EQ(s.inserted[1][1].toInt(), 2);
    EXPECT_EQ(s.inserted[1][2].toInt(), 2);
    model.apply({-60});
    ASSERT_EQ(s.removed.count(), 1);
    EXPECT_EQ(s.removed[0][1].toInt(), 1);
    EXPECT_EQ(s.changed.count() + s.reset.count(), 0);
    EXPECT_EQ(model.index(0, 0).data(BearingListModel::BearingRole).toDouble(), -60);
}

// The page's rows as a view sees them: "N" and "L" the headings, "D:<address>" a card, "E:<address>" a log
// entry with "^" when first and "$" when last, "0" the log's empty state.
QStringList page(const PageListModel& model) {
    const QHash<int, QByteArray> names = model.roleNames();
    const int address = names.key("address");
    QStringList out;
    for (int i = 0; i < model.rowCount(); ++i) {
        const QModelIndex at = model.index(i, 0);
        const QString key = at.data(address).toString();
        switch (at.data(PageListModel::KindRole).toInt()) {
            case PageListModel::NearbyKicker:
                out << "N";
                break;
            case PageListModel::DetectionCard:
                out << "D:" + key;
                break;
            case PageListModel::SessionLogKicker:
                out << "L";
                break;
            case PageListModel::SessionLogRow:
                out << (at.data(PageListModel::FirstRole).toBool() ? "^" : "") + QString("E:") + key +
                           (at.data(PageListModel::LastRole).toBool() ? "$" : "");
                break;
            default:
                out << "0";
        }
    }
    return out;
}

TEST(PageListModelTest, FollowsBothListsWithHeadingsEmptyStateAndLogEnds) {
    DetectionListModel detections;
    SessionLogListModel log;
    PageListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.setDetections(&detections);
    model.setSessionLog(&log);
    Signals s(model);
    EXPECT_EQ(page(model), (QStringList{"L", "0"}));

    log.apply({entry("x")});
    EXPECT_EQ(page(model), (QStringList{"L", "^E:x$"}));
    detections.apply({detection("a", -60), detection("b", -70)}, {});
    EXPECT_EQ(page(model), (QStringList{"N", "D:a", "D:b", "L", "^E:x$"}));
    // A view's row stays with its device through inserts and moves on either list.
    const QPersistentModelIndex b(model.index(2, 0));
    const QPersistentModelIndex x(model.index(4, 0));
    s.clear();
    log.apply({entry("y"), entry("x")});
    EXPECT_EQ(page(model), (QStringList{"N", "D:a", "D:b", "L", "^E:y", "E:x$"}));
    EXPECT_EQ(x.row(), 5);
    // x is no longer first: its row is said to have changed.
    bool toldX = false;
    for (const auto& change : s.changed) {
        toldX |= change[0].toModelIndex().row() <= 5 && change[1].toModelIndex().row() >= 5 &&
                 change[2].value<QList<int>>().contains(PageListModel::FirstRole);
    }
    EXPECT_TRUE(toldX);

    s.clear();
    detections.apply({detection("c", -50), detection("b", -65), detection("a", -60)}, {});
    EXPECT_EQ(page(model), (QStringList{"N", "D:c", "D:b", "D:a", "L", "^E:y", "E:x$"}));
    EXPECT_EQ(b.row(), 2);
    EXPECT_EQ(x.row(), 6);
    // A changed reading reaches the card's row under the page's role of that name.
    const int rssi = model.roleNames().key("smoothedRssi");
    bool toldB = false;
    for (const auto& change : s.changed) {
        toldB |= change[0].toModelIndex().row() == 2 && change[2].value<QList<int>>() == QList<int>{rssi};
    }
    EXPECT_TRUE(toldB);
    EXPECT_EQ(b.data(rssi).toDouble(), -65);

    detections.apply({}, {});
    EXPECT_EQ(page(model), (QStringList{"L", "^E:y", "E:x$"}));
    EXPECT_EQ(x.row(), 2);
    log.apply({entry("x")});
    EXPECT_EQ(page(model), (QStringList{"L", "^E:x$"}));
    log.apply({});
    EXPECT_EQ(page(model), (QStringList{"L", "0"}));
    EXPECT_FALSE(x.isValid());
    EXPECT_EQ(s.reset.count(), 0);
}

}  // namespace
}  // namespace glintward
