// Runs the real application offscreen over a replayed capture and reports its CPU use, read from
// /proc/self/stat, in three scenarios, each in a process of its own:
//   hidden   scanning a quiet capture with the panel hidden (the target is under 0.5 % of one core)
//   shown    the same with the panel shown (the dial animates)
//   replay   200 matching advertisements per second with the panel shown, with the longest frame
//   hidden-replay  the same replay with the panel hidden: what the detection loop costs without drawing
// Usage: bench_panel [seconds per scenario, default 30]
#include <unistd.h>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QQuickView>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/uisupport/Captures.h"
#include "tray/GlintwardTrayApp.h"

namespace {

// User plus system CPU time of this process, in seconds.
double cpuSeconds() {
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name may hold blanks; the fields after it are counted from its closing parenthesis.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void runFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int scenario(const QString& name, int seconds, int argc, char** argv) {
    QApplication app(argc, argv);
    glintward::GlintwardTrayApp glintward;
    QQuickView& panel = glintward.panel();
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
    QElapsedTimer wall;
    wall.start();
    runFor(seconds * 1000);
    const double cpu = cpuSeconds() - before;
    const double elapsed = static_cast<double>(wall.elapsed()) / 1000.0;
    std::printf(
        "%-7s cpu %.3f s over %.1f s = %.2f %% of one core; %lld frames (%.1f/s), longest frame %.2f ms; "
        "%d detections, %d in the session log\n",
        qPrintable(name), cpu, elapsed, 100.0 * cpu / elapsed, static_cast<long long>(frames),
        static_cast<double>(frames) / elapsed, static_cast<double>(longestFrameUs) / 1000.0,
        static_cast<int>(glintward.model().state().detections.size()),
        static_cast<int>(glintward.model().state().sessionLog.size()));
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && QByteArray(argv[1]) == "--scenario") {
        return scenario(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]), argc, argv);
    }
    const int seconds = argc >= 2 ? std::max(1, std::atoi(argv[1])) : 30;
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
    QDir(dir.path()).mkpath("config/glintward");
    QFile defaults(dir.filePath("config/glintward/defaults.json"));
    if (!defaults.open(QIODevice::WriteOnly)) return 1;
    defaults.write(R"({"GlintwardAutoStart": true})");
    defaults.close();

    for (const auto& [name, capture] :
         {std::pair{"hidden", quiet}, {"shown", quiet}, {"replay", busy}, {"hidden-replay", busy}}) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QT_QUICK_BACKEND", "software");
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        env.insert("GLINTWARD_REPLAY", capture);
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {"--scenario", QString::fromLatin1(name), QString::number(seconds)});
        child.waitForFinished((seconds + 60) * 1000);
        if (child.exitCode() != 0) return child.exitCode();
    }
    return 0;
}
