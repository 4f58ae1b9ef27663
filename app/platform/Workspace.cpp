#include "app/platform/Workspace.h"

#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QString>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <deque>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "app/platform/CentralSupport.h"

extern char** environ;

namespace glintward {
namespace {

// A program that ends with a failure this soon after its start never showed the user anything: the next one is
// tried. Later failures are only logged.
constexpr qint64 SETTLE_MS = 3000;

struct Candidate {
    const char* program;
    std::vector<const char*> arguments;
    std::vector<const char*> desktops;  // XDG_CURRENT_DESKTOP names whose own tool this is
};

// GNOME's, Plasma's and blueman (the tool of XFCE, LXQt, LXDE and MATE) first, as on most desktops; then the
// other desktops' own.
const std::vector<Candidate>& candidates() {
    static const std::vector<Candidate> list = {
        {"gnome-control-center", {"bluetooth"}, {"GNOME", "Unity"}},
        {"systemsettings", {"kcm_bluetooth"}, {"KDE"}},
        {"blueman-manager", {}, {"XFCE", "LXQt", "LXDE", "MATE"}},
        {"kcmshell6", {"kcm_bluetooth"}, {"KDE"}},
        {"kcmshell5", {"kcm_bluetooth"}, {"KDE"}},
        {"budgie-control-center", {"bluetooth"}, {"Budgie"}},
        {"cinnamon-settings", {"bluetooth"}, {"X-Cinnamon"}},
        {"blueberry", {}, {"X-Cinnamon"}},
    };
    return list;
}

bool ofCurrentDesktop(const Candidate& candidate, const QStringList& desktops) {
    return std::any_of(candidate.desktops.begin(), candidate.desktops.end(), [&](const char* name) {
        return desktops.contains(QString::fromLatin1(name), Qt::CaseInsensitive);
    });
}

struct Command {
    std::string path;
    std::vector<std::string> arguments;

    std::string text() const {
        std::string out = path;
        for (const auto& argument : arguments) out += ' ' + argument;
        return out;
    }
};

// In the order to try: the current desktop's own tools first, each group in the list's order.
std::vector<Command> installedCommands(std::string& lookedFor) {
    std::vector<const Candidate*> ordered;
    for (const auto& candidate : candidates()) ordered.push_back(&candidate);
    const QStringList desktops = qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(u':', Qt::SkipEmptyParts);
    std::stable_partition(ordered.begin(), ordered.end(),
                          [&](const Candidate* candidate) { return ofCurrentDesktop(*candidate, desktops); });
    std::vector<Command> commands;
    for (const Candidate* candidate : ordered) {
        if (!lookedFor.empty()) lookedFor += ", ";
        lookedFor += candidate->program;
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(candidate->program));
        if (path.isEmpty()) continue;
        Command command{path.toStdString(), {}};
        for (const char* argument : candidate->arguments) command.arguments.emplace_back(argument);
        commands.push_back(std::move(command));
    }
    return commands;
}

// Starts the command in a session of its own, so that it outlives us and our terminal's signals; 0 or the errno.
int spawn(const Command& command, pid_t& pid) {
    std::vector<std::string> words{command.path};
    words.insert(words.end(), command.arguments.begin(), command.arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int error = posix_spawn(&pid, command.path.c_str(), nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    return error;
}

class DesktopWorkspace : public Workspace {
public:
    explicit DesktopWorkspace(std::function<void(std::string)> log) : log_(central::orStderr(std::move(log))) {}

    ~DesktopWorkspace() override {
        // A program still running is left to run; it is reaped by whoever inherits it when we end.
        for (auto& attempt : attempts_) {
            if (attempt->pidfd >= 0) ::close(attempt->pidfd);
        }
    }

    void openBluetoothSettings() override {
        std::string lookedFor;
        std::vector<Command> commands = installedCommands(lookedFor);
        if (commands.empty()) {
            log_("bluetooth settings: none installed (looked for " + lookedFor + ")");
            return;
        }
        auto attempt = std::make_unique<Attempt>();
        attempt->remaining.assign(commands.begin(), commands.end());
        Attempt* raw = attempt.get();
        attempts_.push_back(std::move(attempt));
        startNext(raw);
    }

private:
    struct Attempt {
        std::deque<Command> remaining;
        Command current;
        pid_t pid = -1;
        int pidfd = -1;
        QElapsedTimer since;
        std::unique_ptr<QSocketNotifier> exit;
    };

    void startNext(Attempt* attempt) {
        while (!attempt->remaining.empty()) {
            attempt->current = std::move(attempt->remaining.front());
            attempt->remaining.pop_front();
            const int error = spawn(attempt->current, attempt->pid);
            if (error != 0) {
                log_("bluetooth settings: cannot start " + attempt->current.text() + ": " + std::strerror(error));
                continue;
            }
            log_("bluetooth settings: started " + attempt->current.text());
            attempt->since.start();
            attempt->pidfd = static_cast<int>(::syscall(SYS_pidfd_open, attempt->pid, 0));
            if (attempt->pidfd < 0) {  // cannot be watched: taken as started
                finish(attempt);
                return;
            }
            attempt->exit = std::make_unique<QSocketNotifier>(attempt->pidfd, QSocketNotifier::Read);
            QObject::connect(attempt->exit.get(), &QSocketNotifier::activated, attempt->exit.get(),
                             [this, attempt] { onExit(attempt); });
            return;
        }
        log_("bluetooth settings: none could be started");
        finish(attempt);
    }

    void onExit(Attempt* attempt) {
        attempt->exit->setEnabled(false);
        int status = 0;
        const pid_t reaped = ::waitpid(attempt->pid, &status, WNOHANG);
        if (reaped == 0) {  // not ended after all
            attempt->exit->setEnabled(true);
            return;
        }
        ::close(attempt->pidfd);
        attempt->pidfd = -1;
        attempt->exit.release()->deleteLater();  // it is the sender
        // Reaped elsewhere (reaped < 0): nothing is known of its end, so it stands as started.
        if (reaped < 0 || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
            finish(attempt);
            return;
        }
        const std::string what = WIFEXITED(status) ? "exited with status " + std::to_string(WEXITSTATUS(status))
                                                   : "ended by signal " + std::to_string(WTERMSIG(status));
        log_("bluetooth settings: " + attempt->current.text() + " " + what);
        if (attempt->since.elapsed() < SETTLE_MS) {
            startNext(attempt);
        } else {
            finish(attempt);
        }
    }

    void finish(Attempt* attempt) {
        if (attempt->pidfd >= 0) ::close(attempt->pidfd);
        std::erase_if(attempts_, [attempt](const auto& owned) { return owned.get() == attempt; });
    }

    std::function<void(std::string)> log_;
    std::vector<std::unique_ptr<Attempt>> attempts_;
};

}  // namespace

std::shared_ptr<Workspace> makeDesktopWorkspace(std::function<void(std::string)> log) {
    return std::make_shared<DesktopWorkspace>(std::move(log));
}

}  // namespace glintward
