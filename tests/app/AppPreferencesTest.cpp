#include "app/AppPreferences.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <gtest/gtest.h>

#include "tests/platform/TempDir.h"

namespace glintward {
namespace {

using Strings = std::vector<std::string>;

class AppPreferencesTest : public ::testing::Test {
protected:
    testing::TempDir dir;
    UserDefaults defaults{dir / "defaults.json"};
};

TEST_F(AppPreferencesTest, AnEmptyStoreGivesTheDefaultsAndConstructionWritesNothing) {
    AppPreferences prefs(defaults);
    EXPECT_TRUE(prefs.hapticAlerts());
    EXPECT_TRUE(prefs.matchUnknownIds());
    EXPECT_TRUE(prefs.disabledSignatureIds().isEmpty());
    EXPECT_FALSE(prefs.onboardingComplete());
    EXPECT_EQ(prefs.lastSyncMs(), 0.0);
    EXPECT_EQ(prefs.alertThresholdRaw(), "IN_THE_ROOM");
    EXPECT_EQ(prefs.alertThreshold(), AlertThreshold::IN_THE_ROOM);
    EXPECT_FALSE(std::filesystem::exists(defaults.path()));
}

TEST_F(AppPreferencesTest, ReadsTheStoredValuesAndKeepsAnUnknownThresholdName) {
    defaults.setBool(false, "haptic_alerts");
    defaults.setObject(std::string("off"), "match_unknown_ids");  // text, not a boolean: true
    defaults.setBool(true, "onboarding_complete");
    defaults.setObject(Strings{"a", "b", "a"}, "disabled_signatures");
    defaults.setObject(std::string("very_close"), "alert_threshold");
    defaults.setDouble(1700000000123.5, "last_sync_ms");
    AppPreferences prefs(defaults);
    EXPECT_FALSE(prefs.hapticAlerts());
    EXPECT_TRUE(prefs.matchUnknownIds());
    EXPECT_TRUE(prefs.onboardingComplete());
    EXPECT_EQ(prefs.disabledSignatureIds(), (QStringList{"a", "b"}));
    EXPECT_EQ(prefs.alertThresholdRaw(), "very_close");
    EXPECT_EQ(prefs.alertThreshold(), AlertThreshold::IN_THE_ROOM);
    EXPECT_EQ(prefs.lastSyncMs(), 1700000000123.5);
}

TEST_F(AppPreferencesTest, EverySetNotifiesFirstThenWritesEvenAnUnchangedValue) {
    AppPreferences prefs(defaults);
    // Whether the file holds the key at all: a written default is told apart from an absent one.
    auto written = [&](const char* key) {
        std::ifstream in(defaults.path());
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        return text.find('"' + std::string(key) + '"') != std::string::npos;
    };
    struct Case {
        const char* key;
        void (AppPreferences::*signal)();
        std::function<void()> setUnchanged;
    };
    const std::vector<Case> cases = {
        {"haptic_alerts", &AppPreferences::hapticAlertsChanged, [&] { prefs.setHapticAlerts(true); }},
        {"match_unknown_ids", &AppPreferences::matchUnknownIdsChanged,
         [&] { prefs.setMatchUnknownIds(true); }},
        {"last_sync_ms", &AppPreferences::lastSyncMsChanged, [&] { prefs.setLastSyncMs(0); }},
        {"alert_threshold", &AppPreferences::alertThresholdRawChanged,
         [&] { prefs.setAlertThresholdRaw("IN_THE_ROOM"); }},
        {"disabled_signatures", &AppPreferences::disabledSignatureIdsChanged,
         [&] { prefs.setDisabledSignatureIds({}); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        int notified = 0;
        bool writtenWhenNotified = true;
        const auto connection = QObject::connect(&prefs, c.signal, [&] {
            ++notified;
            writtenWhenNotified = written(c.key);
        });
        c.setUnchanged();
        QObject::disconnect(connection);
        EXPECT_EQ(notified, 1);
        EXPECT_FALSE(writtenWhenNotified);
        EXPECT_TRUE(written(c.key));
    }

    // Observers already read the new value; an observer that sets it again has the last word in the store.
    std::vector<bool> seen;
    const auto connection = QObject::connect(&prefs, &AppPreferences::hapticAlertsChanged, [&] {
        seen.push_back(prefs.hapticAlerts());
        if (!prefs.hapticAlerts()) prefs.setHapticAlerts(true);
    });
    prefs.setHapticAlerts(false);
    QObject::disconnect(connection);
    EXPECT_EQ(seen, (std::vector<bool>{false, true}));
    EXPECT_TRUE(prefs.hapticAlerts());
    EXPECT_TRUE(defaults.boolForKey("haptic_alerts"));
}

TEST_F(AppPreferencesTest, SettersWriteThroughAndAFreshObjectReadsThemBack) {
    {
        AppPreferences prefs(defaults);
        prefs.setHapticAlerts(false);
        prefs.setMatchUnknownIds(false);
        prefs.setLastSyncMs(1234.5);
        prefs.setAlertThresholdRaw("ANY_DISTANCE");
        prefs.setDisabledSignatureIds({"x", "y", "x"});
        prefs.setOnboardingComplete(true);
        EXPECT_EQ(prefs.alertThreshold(), AlertThreshold::ANY_DISTANCE);
    }
    UserDefaults reopened(defaults.path());
    AppPreferences prefs(reopened);
    EXPECT_FALSE(prefs.hapticAlerts());
    EXPECT_FALSE(prefs.matchUnknownIds());
    EXPECT_EQ(prefs.lastSyncMs(), 1234.5);
    EXPECT_EQ(prefs.alertThresholdRaw(), "ANY_DISTANCE");
    EXPECT_EQ(prefs.disabledSignatureIds(), (QStringList{"x", "y"}));
    EXPECT_FALSE(prefs.onboardingComplete());  // never written
}

TEST_F(AppPreferencesTest, SetEnabledAssignsTheSetBackEveryTime) {
    AppPreferences prefs(defaults);
    int notified = 0;
    QObject::connect(&prefs, &AppPreferences::disabledSignatureIdsChanged, [&] { ++notified; });

    prefs.setEnabled(true, "meta");  // nothing to remove: still notified and written
    EXPECT_EQ(notified, 1);
    EXPECT_EQ(defaults.stringArrayForKey("disabled_signatures"), Strings{});

    prefs.setEnabled(false, "meta");
    prefs.setEnabled(false, "meta");
    prefs.setEnabled(false, "snap");
    EXPECT_EQ(notified, 4);
    EXPECT_EQ(prefs.disabledSignatureIds(), (QStringList{"meta", "snap"}));
    EXPECT_EQ(defaults.stringArrayForKey("disabled_signatures"), (Strings{"meta", "snap"}));

    prefs.setEnabled(true, "meta");
    EXPECT_EQ(defaults.stringArrayForKey("disabled_signatures"), Strings{"snap"});
}

// The user edits the settings file while the application runs (here through a second store on the file, as
// another instance would). The preferences take the edit in and signal it, without writing it back; a tap then
// builds on what the file holds, even an edit made a moment before that no look has seen yet.
TEST_F(AppPreferencesTest, AnOutsideEditIsTakenInAndSignalledAndATapChangesOnlyWhatWasTapped) {
    std::atomic<std::int64_t> nowMs{0};
    UserDefaults store(dir / "watched.json", {[&] { return nowMs.load(); }, {}});
    store.setObject(Strings{"a", "b"}, "disabled_signatures");
    int argc = 1;
    char name[] = "test_app";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    AppPreferences prefs(store);
    std::vector<std::string> signalled;
    for (const auto& [signal, what] :
         std::initializer_list<std::pair<void (AppPreferences::*)(), const char*>>{
             {&AppPreferences::hapticAlertsChanged, "haptic"},
             {&AppPreferences::matchUnknownIdsChanged, "unknown"},
             {&AppPreferences::disabledSignatureIdsChanged, "disabled"},
             {&AppPreferences::alertThresholdRawChanged, "threshold"},
             {&AppPreferences::lastSyncMsChanged, "sync"},
             {&AppPreferences::onboardingCompleteChanged, "onboarding"},
             {&AppPreferences::storeChanged, "store"}}) {
        QObject::connect(&prefs, signal, [&signalled, what = what] { signalled.push_back(what); });
    }

    UserDefaults outside(store.path());
    outside.setObject(Strings{"b", "a"}, "disabled_signatures");
    outside.setBool(false, "match_unknown_ids");
    outside.setBool(false, "haptic_alerts");
    outside.setObject(std::string("VERY_CLOSE"), "alert_threshold");
    const auto file = [&] {
        std::ifstream in(store.path());
        return std::string{std::istreambuf_iterator<char>(in), {}};
    };
    const std::string edited = file();
    nowMs += UserDefaults::CHECK_INTERVAL_MS;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (signalled.empty() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(signalled, (std::vector<std::string>{"haptic", "unknown", "threshold", "store"}));
    EXPECT_FALSE(prefs.hapticAlerts());
    EXPECT_FALSE(prefs.matchUnknownIds());
    EXPECT_EQ(prefs.alertThreshold(), AlertThreshold::VERY_CLOSE);
    EXPECT_EQ(prefs.disabledSignatureIds(), (QStringList{"a", "b"}));  // the same set in another order
    EXPECT_EQ(file(), edited);

    outside.setObject(Strings{"a", "b", "c"}, "disabled_signatures");
    prefs.setEnabled(true, "a");
    const auto stored = store.stringArrayForKey("disabled_signatures").value_or(Strings{});
    EXPECT_EQ(std::set<std::string>(stored.begin(), stored.end()), (std::set<std::string>{"b", "c"}));
    outside.refresh();
    EXPECT_EQ(outside.stringArrayForKey("disabled_signatures"), stored);
}

TEST(HostAlertThreshold, RawNamesNextAndSubtitles) {
    struct Raw {
        const char* text;
        AlertThreshold threshold;
    };
    for (const auto& [text, threshold] :
         {Raw{"VERY_CLOSE", AlertThreshold::VERY_CLOSE}, Raw{"IN_THE_ROOM", AlertThreshold::IN_THE_ROOM},
          Raw{"ANY_DISTANCE", AlertThreshold::ANY_DISTANCE}, Raw{"very_close", AlertThreshold::IN_THE_ROOM},
          Raw{"", AlertThreshold::IN_THE_ROOM}, Raw{"ANY_DISTANCE ", AlertThreshold::IN_THE_ROOM}}) {
        EXPECT_EQ(alertThresholdFromRaw(text), threshold) << '"' << text << '"';
    }
    EXPECT_EQ(next(AlertThreshold::VERY_CLOSE), AlertThreshold::IN_THE_ROOM);
    EXPECT_EQ(next(AlertThreshold::IN_THE_ROOM), AlertThreshold::ANY_DISTANCE);
    EXPECT_EQ(next(AlertThreshold::ANY_DISTANCE), AlertThreshold::VERY_CLOSE);
    EXPECT_EQ(subtitle(AlertThreshold::VERY_CLOSE),
              "Only alert when signal strength suggests about arm's length");
    EXPECT_EQ(subtitle(AlertThreshold::IN_THE_ROOM),
              "Only alert when signal strength suggests ~5 m or closer");
    EXPECT_EQ(subtitle(AlertThreshold::ANY_DISTANCE), "Alert on anything the radar can hear");
}

}  // namespace
}  // namespace glintward
