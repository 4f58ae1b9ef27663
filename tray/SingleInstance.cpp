#include "tray/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace glintward {

namespace {
// Only the same user can connect, but a stuck or confused program of theirs must not cost the running
// instance more than this: a few connections at a time, each a short line within a short time.
constexpr int PEERS_MAX = 8;
// "show", or "show NAME=TOKEN" with the launcher's token, and a newline: 5 + name + 1 + token + 1.
constexpr qint64 REQUEST_MAX = 7 + ActivationToken::VARIABLE_MAX + ActivationToken::VALUE_MAX;
constexpr qint64 ANSWER_MAX = 16;
constexpr int PEER_MS = 2000;
constexpr int RETRY_MS = 50;
const QByteArray SHOW = "show";
const QByteArray OK = "ok\n";

QByteArray request(const ActivationToken& token) {
    if (token.empty()) return SHOW + '\n';
    return SHOW + ' ' + token.variable + '=' + token.value + '\n';
}

// The token a request carries: none for a bare "show"; nothing at all for anything but a request.
std::optional<ActivationToken> parseRequest(QByteArray line) {
    if (!line.endsWith('\n')) return std::nullopt;
    line.chop(1);
    if (line == SHOW) return ActivationToken{};
    if (!line.startsWith(SHOW + ' ')) return std::nullopt;
    const QByteArray assignment = line.mid(SHOW.size() + 1);
    const qsizetype equals = assignment.indexOf('=');
    if (equals < 0) return std::nullopt;
    ActivationToken token{assignment.left(equals), assignment.mid(equals + 1)};
    if (!ActivationToken::acceptable(token.variable, token.value)) return std::nullopt;
    return token;
}

QString lockPath(const QString& directory) { return directory + QStringLiteral("/glintward.lock"); }
QString socketPath(const QString& directory) { return directory + QStringLiteral("/glintward.socket"); }

// A folder that this user owns and no one else may enter. `follow`: whether the path itself may be a symbolic
// link (the user's own XDG_RUNTIME_DIR may be; a name in the shared temporary folder may not).
bool privateFolder(const QString& path, bool follow, QString& problem) {
    struct stat info {};
    const QByteArray name = QFile::encodeName(path);
    if ((follow ? ::stat(name.constData(), &info) : ::lstat(name.constData(), &info)) != 0) {
        problem = path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 077) != 0) {
        problem = path + QStringLiteral(" is not a folder of this user's own, closed to others");
        return false;
    }
    return true;
}
}  // namespace

std::optional<QString> SingleInstance::directory(QString& problem) {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime) && privateFolder(runtime, true, problem)) return runtime;
    // Without a usable runtime folder, one of our own; if someone else holds the name, there is none.
    const QString own = QDir::tempPath() + QStringLiteral("/glintward-") + QString::number(::geteuid());
    ::mkdir(QFile::encodeName(own).constData(), 0700);
    if (privateFolder(own, false, problem)) return own;
    return std::nullopt;
}

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {}

SingleInstance::~SingleInstance() {
    // The server first (closing it removes the socket file, and its peers count themselves out), then the lock.
    delete server_;
    if (lockFd_ >= 0) ::close(lockFd_);
}

SingleInstance::Claim SingleInstance::claim(const QString& directory, const ActivationToken& token,
                                            int answerMs) {
    const QDeadlineTimer deadline(answerMs);
    for (;;) {
        if (tryLock(directory)) {
            listen(directory);
            return Claim::FIRST;
        }
        if (!problem_.isEmpty()) return Claim::UNGUARDED;
        // Held: the instance may still be starting up, or may have just ended.
        if (askToShow(socketPath(directory), token, static_cast<int>(deadline.remainingTime()))) {
            return Claim::HANDED_OVER;
        }
        if (deadline.hasExpired()) return Claim::NO_ANSWER;
        QThread::msleep(RETRY_MS);
    }
}

bool SingleInstance::tryLock(const QString& directory) {
    const QString path = lockPath(directory);
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        problem_ = path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) problem_ = path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return false;
    }
    lockFd_ = fd;
    return true;
}

bool SingleInstance::listen(const QString& directory) {
    const QString path = socketPath(directory);
    // Whatever is there was left by an instance that ended without closing it: the lock says none runs.
    QLocalServer::removeServer(path);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(path)) {
        problem_ = path + QStringLiteral(": ") + server_->errorString();
        return false;
    }
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::onConnection);
    return true;
}

bool SingleInstance::askToShow(const QString& path, const ActivationToken& token, int timeoutMs) {
    const QDeadlineTimer deadline(std::max(timeoutMs, 0));
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) return false;
    socket.write(request(token));
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) return false;
    }
    while (!socket.canReadLine()) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
            return false;
        }
    }
    return socket.readLine(ANSWER_MAX) == OK;
}

void SingleInstance::onConnection() {
    while (QLocalSocket* peer = server_->nextPendingConnection()) {
        if (peers_ >= PEERS_MAX) {
            peer->abort();
            peer->deleteLater();
            continue;
        }
        ++peers_;
        connect(peer, &QObject::destroyed, this, [this] { --peers_; });
        peer->setReadBufferSize(REQUEST_MAX);
        connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        connect(peer, &QLocalSocket::readyRead, this, [this, peer] { onReadable(peer); });
        QTimer::singleShot(PEER_MS, peer, [peer] {
            peer->abort();
            peer->deleteLater();
        });
        if (peer->bytesAvailable() > 0) onReadable(peer);
    }
}

void SingleInstance::onReadable(QLocalSocket* peer) {
    if (!peer->canReadLine()) {
        if (peer->bytesAvailable() >= REQUEST_MAX) {
            peer->abort();
            peer->deleteLater();
        }
        return;
    }
    // readLine keeps room for its own terminating zero.
    const std::optional<ActivationToken> token = parseRequest(peer->readLine(REQUEST_MAX + 1));
    if (!token) {
        peer->abort();
        peer->deleteLater();
        return;
    }
    disconnect(peer, &QLocalSocket::readyRead, this, nullptr);
    emit showRequested(*token);
    peer->write(OK);
    peer->disconnectFromServer();
}

}  // namespace glintward
