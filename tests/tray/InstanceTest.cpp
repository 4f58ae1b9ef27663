// The real application, started more than once for one user (offscreen, each test with its own runtime and
// settings folders): the first start runs, a later one hands over to it and ends with status 0, and whatever
// else connects to it cannot stop that.
#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace glintward {
namespace {

bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 15000) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    return true;
}

class Instances : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        ASSERT_TRUE(QDir(dir_.path()).mkpath("run"));
        ::chmod(QFile::encodeName(runtime()).constData(), 0700);
        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert("QT_QPA_PLATFORM", "offscreen");
        env_.insert("QT_QUICK_BACKEND", "software");
        env_.insert("XDG_RUNTIME_DIR", runtime());
        env_.insert("XDG_CONFIG_HOME", dir_.filePath("config"));
        env_.insert("TMPDIR", dir_.path());
        env_.remove("GLINTWARD_REPLAY");
    }
    void TearDown() override {
        for (auto& process : processes_) {
            if (process->state() == QProcess::NotRunning) continue;
            process->kill();
            process->waitForFinished(5000);
        }
    }

    QString runtime() const { return dir_.filePath("run"); }
    QString socket() const { return runtime() + "/glintward.socket"; }

    QProcess& start(const QProcessEnvironment& env) {
        auto& process = processes_.emplace_back(std::make_unique<QProcess>());
        process->setProcessEnvironment(env);
        process->start(QStringLiteral(GLINTWARD_APP), {});
        EXPECT_TRUE(process->waitForStarted(5000));
        return *process;
    }
    QProcess& start() { return start(env_); }

    // Whether an instance answers on this socket (a stale socket refuses the connection).
    static bool answers(const QString& socketPath) {
        QLocalSocket socket;
        socket.connectToServer(socketPath);
        if (!socket.waitForConnected(1000)) return false;
        socket.write("show\n");
        while (!socket.canReadLine()) {
            if (!socket.waitForReadyRead(1000)) return false;
        }
        return socket.readLine() == "ok\n";
    }

    // A first start, once it answers.
    QProcess& startFirst(const QString& socketPath) {
        QProcess& first = start();
        EXPECT_TRUE(waitUntil([&] { return answers(socketPath); }, 30000)) << "the first start did not answer";
        return first;
    }

    // A later start: it must end by itself with status 0 and leave the first one running.
    void expectHandsOver(QProcess& first) {
        QProcess& later = start();
        ASSERT_TRUE(later.waitForFinished(30000)) << "a later start kept running";
        EXPECT_EQ(later.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(later.exitCode(), 0) << later.readAllStandardError().toStdString();
        EXPECT_EQ(first.state(), QProcess::Running);
    }

    QTemporaryDir dir_;
    QProcessEnvironment env_;
    std::vector<std::unique_ptr<QProcess>> processes_;
};

TEST_F(Instances, ALaterStartHandsOverToTheRunningOneWhateverElseConnects) {
    QProcess& first = startFirst(socket());
    expectHandsOver(first);

    // Peers that say nothing, more of them than the instance serves at once, one that floods it and one that
    // says something else: none may block it or bring it down.
    std::vector<std::unique_ptr<QLocalSocket>> peers;
    for (int i = 0; i < 12; ++i) {
        auto& peer = peers.emplace_back(std::make_unique<QLocalSocket>());
        peer->connectToServer(socket());
        ASSERT_TRUE(peer->waitForConnected(5000));
    }
    peers[0]->write(QByteArray(1 << 20, 'x'));
    peers[1]->write("hide everything\n");
    peers[2]->write("show");  // never finished
    for (auto& peer : peers) peer->flush();
    expectHandsOver(first);
    EXPECT_TRUE(waitUntil([&] {
        return std::all_of(peers.begin(), peers.end(),
                           [](const auto& peer) { return peer->state() == QLocalSocket::UnconnectedState; });
    })) << "the instance kept peers that never asked properly";
}

// An instance that was killed leaves its socket behind; the next start runs in its place.
TEST_F(Instances, TheSocketOfAKilledInstanceIsTakenOver) {
    QProcess& killed = startFirst(socket());
    ::kill(static_cast<pid_t>(killed.processId()), SIGKILL);
    ASSERT_TRUE(killed.waitForFinished(5000));
    ASSERT_TRUE(QFile::exists(socket()));
    QProcess& next = startFirst(socket());
    expectHandsOver(next);
}

// A runtime folder that others may enter is not used: a private one under the temporary folder is.
TEST_F(Instances, ARuntimeFolderOpenToOthersIsPassedOver) {
    ::chmod(QFile::encodeName(runtime()).constData(), 0755);
    const QString own = dir_.filePath(QStringLiteral("glintward-%1/glintward.socket").arg(::geteuid()));
    QProcess& first = startFirst(own);
    EXPECT_FALSE(QFile::exists(socket()));
    expectHandsOver(first);
}

// A capture that cannot be read ends the start with a reason; a FIFO that nothing writes into yet does not
// hold the start up.
TEST_F(Instances, AReplayCaptureThatCannotBeReadEndsTheStart) {
    QProcessEnvironment env = env_;
    const QString missing = dir_.filePath("missing.btsnoop");
    env.insert("GLINTWARD_REPLAY", missing);
    QProcess& failed = start(env);
    ASSERT_TRUE(failed.waitForFinished(15000));
    EXPECT_EQ(failed.exitCode(), 1);
    EXPECT_EQ(failed.readAllStandardError().trimmed().toStdString(),
              "glintward: GLINTWARD_REPLAY: cannot read " + missing.toStdString() +
                  ": No such file or directory");
    EXPECT_FALSE(QFile::exists(socket())) << "it went on to start";

    const QString fifo = dir_.filePath("live");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    env.insert("GLINTWARD_REPLAY", fifo);
    QProcess& live = start(env);
    EXPECT_TRUE(waitUntil([&] { return answers(socket()); }, 30000)) << "a FIFO held up the start";
    EXPECT_EQ(live.state(), QProcess::Running);
}

}  // namespace
}  // namespace glintward

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
