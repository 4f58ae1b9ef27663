// Runs the real application over a replayed capture and reports its CPU use, read from /proc/<pid>/stat, in
// scenarios each in a process of its own:
//   hidden   scanning a quiet capture with the panel hidden (the target is under 0.5 % of one core)
//   shown    the same with the panel shown (the dial animates)
//   replay   200 matching advertisements per second with the panel shown, with the longest frame
//   hidden-replay  the same replay with the panel hidden: what the detection loop costs without drawing
//   hidden-crowd   the panel hidden over a crowd of 200 devices that match nothing, 2,000 advertisements per
//                  second: what hearing a busy room costs above "hidden"
//   detections     the panel shown over three pairs of glasses heard twice a second each: blips on the dial
//   open-empty     opening the panel on an empty radar: how long until its first frame, its resident memory,
//                  then its CPU use shown and hidden
//   open-lists     the same over 100 pairs of glasses near and 2,000 entries in the session log (2,000 heard
//                  once at the start, 100 of them heard on at 6 advertisements a second in all, as in
//                  "detections"; the rest leave the nearby list after 30 s)
//   open-attack    the panel hidden for two minutes of a transmitter that sends every advertisement under a
//                  new address, 200 a second, then opened while the attack goes on: how long until its first
//                  frame, the longest the main thread was busy at a stretch while opening and while open, and
//                  its resident memory shown against hidden
// Usage: bench_panel [seconds per scenario, default 30] [scenario ...]
//          offscreen, on Qt Quick's software backend: the scenarios named, or all of them; with
//          GLINTWARD_BENCH_CHILD naming another build's bench_panel, that one runs them
//        bench_panel --x11 [seconds per run, default 20]
//          on an X display of its own served by Xvfb, through GLX: "shown", "detections" and "replay" under
//          Qt Quick's OpenGL renderer, under its software backend, and under the backend the application
//          chooses by itself; beside each the X server's CPU share, which draws what the application sends it
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QQuickView>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/uisupport/Captures.h"
#include "tests/uisupport/FreeDisplay.h"
#include "tray/GlintwardTrayApp.h"
#include "tray/SceneGraphBackend.h"

namespace {

// User plus system CPU time of a process (this one when 0), in seconds.
double cpuSeconds(qint64 pid = 0) {
    std::ifstream stat(pid == 0 ? std::string("/proc/self/stat") : "/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto paren = text.rfind(')');
    if (paren == std::string::npos) return 0;
    // The command name may hold blanks; the fields after it are counted from its closing parenthesis.
    std::istringstream fields(text.substr(paren + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Resident memory of this process, in MB.
double residentMb() {
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

QString loadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly)) return QStringLiteral("?");
    return QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2);
}

void runFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

const char* backendName(QQuickWindow& window) {
    switch (window.rendererInterface()->graphicsApi()) {
        case QSGRendererInterface::Software:
            return "software";
        case QSGRendererInterface::OpenGL:
            return "opengl";
        case QSGRendererInterface::Vulkan:
            return "vulkan";
        default:
            return "other";
    }
}

// The X server's process, whose CPU time is read beside the application's (0 offscreen).
qint64 serverPid() {
    return qEnvironmentVariableIntValue("GLINTWARD_BENCH_SERVER_PID");
}

// CPU share of this process over `ms` of running the event loop, in % of one core.
double cpuShare(int ms) {
    const double before = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    runFor(ms);
    return 100.0 * (cpuSeconds() - before) / (static_cast<double>(wall.elapsed()) / 1000.0);
}

// Opens the hidden panel once the radar holds what the capture brings, and reports the first frame's delay,
// memory and CPU use shown, then hidden again.
int openScenario(const QString& name, int seconds, glintward::GlintwardTrayApp& glintward,
                 std::size_t detections, std::size_t logEntries) {
    QQuickView& panel = glintward.panel();
    glintward.hidePanel();
    QElapsedTimer waited;
    waited.start();
    const auto& model = glintward.model();
    while (model.state().detections.size() != detections || model.state().sessionLog.size() != logEntries) {
        if (waited.elapsed() > 120000) {
            std::fprintf(stderr, "%s: %zu detections and %zu entries after 120 s\n", qPrintable(name),
                         model.state().detections.size(), model.state().sessionLog.size());
            return 1;
        }
        runFor(100);
    }
    runFor(1000);
    const double hiddenMb = residentMb();
    bool shown = false;
    QElapsedTimer open;
    const auto connection = QObject::connect(&panel, &QQuickWindow::frameSwapped, [&] { shown = true; });
    open.start();
    glintward.showPanel();
    while (!shown && open.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    const double openMs = static_cast<double>(open.nsecsElapsed()) / 1e6;
    QObject::disconnect(connection);
    runFor(2000);
    const double shownMb = residentMb();
    const double shownCpu = cpuShare(seconds * 1000);
    glintward.hidePanel();
    runFor(1000);
    const double hiddenCpu = cpuShare(seconds * 1000);
    std::printf(
        "%-13s %-8s first frame %.1f ms after opening; resident %.1f MB shown (%.1f MB hidden before); cpu "
        "%.2f %% of one core shown, %.2f %% hidden; %zu detections, %zu in the session log; load %s\n",
        qPrintable(name), backendName(panel), openMs, shownMb, hiddenMb, shownCpu, hiddenCpu,
        model.state().detections.size(), model.state().sessionLog.size(), qPrintable(loadAverage()));
    std::fflush(stdout);
    return 0;
}

// The longest the main thread was kept from a timer due every few milliseconds, while the event loop runs.
class MainThreadWatch {
public:
    static constexpr int TICK_MS = 5;
    MainThreadWatch() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(TICK_MS);
        QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
        since_.start();
        timer_.start();
    }
    // Counts from now, as if a tick had just come.
    void restart() {
        longestMs_ = 0;
        since_.start();
    }
    void tick() {
        longestMs_ = std::max(longestMs_, static_cast<double>(since_.nsecsElapsed()) / 1e6 - TICK_MS);
        since_.start();
    }
    double longestMs() const { return longestMs_; }

private:
    QTimer timer_;
    QElapsedTimer since_;
    double longestMs_ = 0;
};

constexpr int ATTACK_SECONDS = 120;
constexpr int ATTACK_PER_SECOND = 200;

int attackScenario(const QString& name, int seconds, glintward::GlintwardTrayApp& glintward) {
    QQuickView& panel = glintward.panel();
    glintward.hidePanel();
    runFor(ATTACK_SECONDS * 1000);
    const double hiddenMb = residentMb();
    const auto& model = glintward.model();
    const std::size_t hiddenDetections = model.state().detections.size();
    const std::size_t hiddenLog = model.state().sessionLog.size();

    MainThreadWatch watch;
    bool shown = false;
    const auto connection = QObject::connect(&panel, &QQuickWindow::frameSwapped, [&] { shown = true; });
    QElapsedTimer open;
    open.start();
    glintward.showPanel();
    watch.tick();  // the call itself kept the main thread
    while (!shown && open.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    const double openMs = static_cast<double>(open.nsecsElapsed()) / 1e6;
    QObject::disconnect(connection);
    const double openingBusyMs = watch.longestMs();
    watch.restart();
    runFor(seconds * 1000);
    const double openBusyMs = watch.longestMs();
    const double shownMb = residentMb();
    std::printf(
        "%-13s %-8s first frame %.1f ms after opening; main thread busy at most %.1f ms at a stretch while "
        "opening, %.1f ms in %d s open; resident %.1f MB shown, %.1f MB hidden before (%+.1f); %zu detections, "
        "%zu in the session log when opened, %zu and %zu after; load %s\n",
        qPrintable(name), backendName(panel), openMs, openingBusyMs, openBusyMs, seconds, shownMb, hiddenMb,
        shownMb - hiddenMb, hiddenDetections, hiddenLog, model.state().detections.size(),
        model.state().sessionLog.size(), qPrintable(loadAverage()));
    std::fflush(stdout);
    return 0;
}

int scenario(const QString& name, int seconds, int argc, char** argv) {
    QApplication app(argc, argv);
    // What learning the OpenGL renderer costs at start-up (the application asks again, by then from warm
    // caches).
    QElapsedTimer probe;
    probe.start();
    const QString renderer = glintward::openGlRenderer();
    const double probeMs = static_cast<double>(probe.nsecsElapsed()) / 1e6;
    glintward::GlintwardTrayApp glintward;
    QQuickView& panel = glintward.panel();
    if (name == QLatin1String("open-empty")) return openScenario(name, seconds, glintward, 0, 0);
    if (name == QLatin1String("open-lists")) return openScenario(name, seconds, glintward, 100, 2000);
    if (name == QLatin1String("open-attack")) return attackScenario(name, seconds, glintward);
    if (name.startsWith(QLatin1String("hidden"))) glintward.hidePanel();

    qint64 frames = 0;
    qint64 longestFrameUs = 0;
    QElapsedTimer frame;
    QObject::connect(&panel, &QQuickWindow::afterAnimating, [&] { frame.start(); });
    QObject::connect(&panel, &QQuickWindow::frameSwapped, [&] {
        if (!frame.isValid()) return;
        ++frames;
        longestFrameUs = std::max(longestFrameUs, frame.nsecsElapsed() / 1000);
        frame.invalidate();
    });

    runFor(2000);  // start-up, auto-start and the first publish are not part of the figure
    frames = 0;
    longestFrameUs = 0;
    const double before = cpuSeconds();
    const double serverBefore = serverPid() ? cpuSeconds(serverPid()) : 0;
    QElapsedTimer wall;
    wall.start();
    runFor(seconds * 1000);
    const double cpu = cpuSeconds() - before;
    const double elapsed = static_cast<double>(wall.elapsed()) / 1000.0;
    QString server;
    if (serverPid()) {
        server = QStringLiteral("; X server %1 %")
                     .arg(100.0 * (cpuSeconds(serverPid()) - serverBefore) / elapsed, 0, 'f', 2);
    }
    std::printf(
        "%-13s %-8s cpu %.3f s over %.1f s = %.2f %% of one core%s; %lld frames (%.1f/s), longest frame %.2f "
        "ms; %d detections, %d in the session log; load %s; OpenGL \"%s\" learnt in %.1f ms\n",
        qPrintable(name), backendName(panel), cpu, elapsed, 100.0 * cpu / elapsed, qPrintable(server),
        static_cast<long long>(frames), static_cast<double>(frames) / elapsed,
        static_cast<double>(longestFrameUs) / 1000.0,
        static_cast<int>(glintward.model().state().detections.size()),
        static_cast<int>(glintward.model().state().sessionLog.size()), qPrintable(loadAverage()),
        qPrintable(renderer), probeMs);
    std::fflush(stdout);
    return 0;
}

int runScenario(const QString& name, const QString& capture, int seconds, const QProcessEnvironment& env) {
    QProcess child;
    QProcessEnvironment childEnv = env;
    childEnv.insert("GLINTWARD_REPLAY", capture);
    child.setProcessEnvironment(childEnv);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    // Another build's bench_panel may run the scenario, to compare builds over the same captures.
    const QString program =
        qEnvironmentVariable("GLINTWARD_BENCH_CHILD", QCoreApplication::applicationFilePath());
    child.start(program, {"--scenario", name, QString::number(seconds)});
    child.waitForFinished((2 * seconds + 180) * 1000);
    return child.exitCode();
}

// Xvfb on the first free display from an offset set by our process id; stopped when this goes away.
class VirtualDisplay {
public:
    VirtualDisplay() : display_(glintward::testing::freeDisplayNumber()) {
        server_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server_.start(QStringLiteral("Xvfb"), {QStringLiteral(":%1").arg(display_), "-screen", "0",
                                               "1024x768x24", "-nolisten", "tcp"});
        if (!server_.waitForStarted(5000)) return;
        for (int i = 0; i < 500 && !QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display_)); ++i) {
            QThread::msleep(20);
        }
    }
    ~VirtualDisplay() {
        server_.terminate();
        if (!server_.waitForFinished(3000)) server_.kill();
    }
    bool running() const {
        return server_.state() == QProcess::Running &&
               QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display_));
    }
    QString name() const { return QStringLiteral(":%1").arg(display_); }
    qint64 pid() const { return server_.processId(); }

private:
    const int display_;
    QProcess server_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && QByteArray(argv[1]) == "--scenario") {
        return scenario(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]), argc, argv);
    }
    const bool x11 = argc >= 2 && QByteArray(argv[1]) == "--x11";
    const int secondsArg = x11 ? 2 : 1;
    const int seconds = argc > secondsArg ? std::max(1, std::atoi(argv[secondsArg])) : (x11 ? 20 : 30);
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString quiet = dir.filePath("quiet.btsnoop");
    const QString busy = dir.filePath("busy.btsnoop");
    glintward::testing::writeCapture(quiet.toStdString(), {}, 0, 0);
    // Ten pairs of glasses, twenty reports a second each: 200 matching advertisements per second.
    std::vector<glintward::testing::AdvertisingDevice> devices;
    for (int i = 0; i < 10; ++i) {
        char address[18];
        std::snprintf(address, sizeof address, "AA:BB:CC:00:00:%02X", i + 1);
        devices.push_back({address, "Ray-Ban Meta " + std::to_string(i), -50 - 3 * i});
    }
    glintward::testing::writeCapture(busy.toStdString(), devices, seconds + 10, 20);
    const QString few = dir.filePath("few.btsnoop");
    devices.resize(3);
    glintward::testing::writeCapture(few.toStdString(), devices, seconds + 10, 2);
    const QString crowd = dir.filePath("crowd.btsnoop");
    std::vector<glintward::testing::AdvertisingDevice> phones;
    for (int i = 0; i < 200; ++i) {
        char address[18];
        std::snprintf(address, sizeof address, "DE:AD:00:00:%02X:%02X", i >> 8, i & 0xFF);
        phones.push_back({address, "Phone " + std::to_string(i), -60 - i % 30});
    }
    glintward::testing::writeCapture(crowd.toStdString(), phones, seconds + 10, 10);
    // 2,000 pairs of glasses heard once within two seconds, then the first 100 of them every 17 s or so: as
    // many advertisements a second as in "detections", so that the two differ only in the lists' length.
    std::vector<glintward::testing::AdvertisingDevice> passers;
    for (int i = 0; i < 2000; ++i) {
        char address[18];
        std::snprintf(address, sizeof address, "AA:BB:CD:00:%02X:%02X", i >> 8, i & 0xFF);
        passers.push_back({address, "Ray-Ban Meta " + std::to_string(i), -50 - i % 40});
    }
    std::vector<glintward::testing::AdvertisingDevice> stayers(passers.begin(), passers.begin() + 100);
    const QString lists = dir.filePath("lists.btsnoop");
    glintward::testing::writeCapture(lists.toStdString(),
                                     {{passers, 2, 0.5}, {stayers, 2.0 * seconds + 120, 0.06}});
    // Every advertisement under an address of its own, for the attack and the time the panel is open after.
    std::vector<glintward::testing::AdvertisingDevice> madeUp;
    const int madeUpCount = ATTACK_PER_SECOND * (ATTACK_SECONDS + seconds + 60);
    for (int i = 0; i < madeUpCount; ++i) {
        char address[18];
        std::snprintf(address, sizeof address, "C0:DE:00:%02X:%02X:%02X", (i >> 16) & 0xFF, (i >> 8) & 0xFF,
                      i & 0xFF);
        madeUp.push_back({address, "Ray-Ban Meta", -50 - i % 40});
    }
    const QString attack = dir.filePath("attack.btsnoop");
    glintward::testing::writeCapture(
        attack.toStdString(),
        {{madeUp, static_cast<double>(madeUpCount) / ATTACK_PER_SECOND, 1.0 * ATTACK_PER_SECOND / madeUpCount}});
    QDir(dir.path()).mkpath("config/glintward");
    QFile defaults(dir.filePath("config/glintward/defaults.json"));
    if (!defaults.open(QIODevice::WriteOnly)) return 1;
    defaults.write(R"({"GlintwardAutoStart": true})");
    defaults.close();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
    for (const char* chosen : {"QT_QUICK_BACKEND", "QMLSCENE_DEVICE", "QSG_RHI_BACKEND"}) env.remove(chosen);
    if (!x11) {
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QT_QUICK_BACKEND", "software");
        for (const auto& [name, capture] : {std::pair{"hidden", quiet},
                                            {"shown", quiet},
                                            {"replay", busy},
                                            {"hidden-replay", busy},
                                            {"hidden-crowd", crowd},
                                            {"detections", few},
                                            {"open-empty", quiet},
                                            {"open-lists", lists},
                                            {"open-attack", attack}}) {
            if (argc > 2 && !QCoreApplication::arguments().mid(2).contains(QLatin1String(name))) continue;
            if (const int code = runScenario(QString::fromLatin1(name), capture, seconds, env)) return code;
        }
        return 0;
    }

    VirtualDisplay display;
    if (!display.running()) {
        std::fprintf(stderr, "Xvfb did not start (scripts/install-deps installs it)\n");
        return 1;
    }
    env.insert("DISPLAY", display.name());
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("QT_XCB_GL_INTEGRATION", "xcb_glx");
    env.remove("WAYLAND_DISPLAY");
    // No desktop session bus, hence no tray: the panel opens as a window and stays shown.
    env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir.filePath("no-bus"));
    env.insert("GLINTWARD_BENCH_SERVER_PID", QString::number(display.pid()));
    const std::vector<std::pair<const char*, std::vector<std::pair<const char*, const char*>>>> renderers{
        {"OpenGL", {{"QT_QUICK_BACKEND", "rhi"}, {"QSG_RHI_BACKEND", "opengl"}}},
        {"software", {{"QT_QUICK_BACKEND", "software"}}},
        {"chosen by the application", {}},
    };
    for (const auto& [title, settings] : renderers) {
        std::printf("-- %s\n", title);
        std::fflush(stdout);
        QProcessEnvironment runEnv = env;
        for (const auto& [key, value] : settings) runEnv.insert(key, value);
        for (const auto& [name, capture] :
             {std::pair{"shown", quiet}, {"detections", few}, {"replay", busy}}) {
            if (const int code = runScenario(QString::fromLatin1(name), capture, seconds, runEnv))
                return code;
        }
    }
    return 0;
}
