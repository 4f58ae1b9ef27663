#pragma once
// One running Glintward per user. The first start holds an advisory lock in a folder only its user can enter
// and listens on a local socket beside it; a later start asks it, over that socket, to show its panel and
// then ends, handing over the token its launcher gave it so that the running instance may take the focus. The
// lock, not the socket file, decides who runs: the kernel drops it when its holder ends however it ends, so
// the socket a crashed instance left behind is simply replaced. Nothing listens on the network.

#include <QObject>
#include <QString>
#include <optional>

#include "tray/WindowActivation.h"

class QLocalServer;
class QLocalSocket;

namespace glintward {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Claim {
        FIRST,        // this process runs; a later start shows up as showRequested
        HANDED_OVER,  // the running instance was asked to show its panel and said it would
        NO_ANSWER,    // an instance runs but did not answer in time
        UNGUARDED,    // no private folder or lock could be had (see problem()): this process runs anyway
    };

    // The folder for the lock and the socket: $XDG_RUNTIME_DIR, or else a folder of our own under the system's
    // temporary folder. Either must be a folder owned by this user and closed to everyone else. Nothing when
    // there is no such folder, with the reason in `problem`.
    static std::optional<QString> directory(QString& problem);

    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // Decides whether this process runs. A later start that finds the first still starting up retries until
    // `answerMs` have passed. Call once.
    // `token` goes to the running instance with the request (none: the request alone).
    Claim claim(const QString& directory, const ActivationToken& token = {}, int answerMs = 10000);
    QString problem() const { return problem_; }

signals:
    // A later start asked for the panel, with its launcher's token if it had one.
    void showRequested(const glintward::ActivationToken& token);

private:
    bool tryLock(const QString& directory);
    bool listen(const QString& directory);
    static bool askToShow(const QString& socketPath, const ActivationToken& token, int timeoutMs);
    void onConnection();
    void onReadable(QLocalSocket* peer);

    int lockFd_ = -1;
    QLocalServer* server_ = nullptr;
    int peers_ = 0;
    QString problem_;
};

}  // namespace glintward
