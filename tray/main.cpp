#include <QApplication>
#include <QQuickView>
#include <cstdio>

#include "app/platform/BluetoothCentral.h"
#include "tray/GlintwardTrayApp.h"
#include "tray/SingleInstance.h"

int main(int argc, char** argv) {
    using glintward::SingleInstance;
    const glintward::ActivationToken token = glintward::ActivationToken::fromEnvironment();
    QApplication app(argc, argv);
    glintward::ActivationToken::clearEnvironment();
    // The Wayland app_id, by which docks and the desktop's menu find the desktop entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(GLINTWARD_APP_ID));
    // A capture that cannot be read would otherwise leave a panel showing "All clear" over nothing.
    if (const auto problem = glintward::replayCaptureProblem()) {
        std::fprintf(stderr, "glintward: %s\n", problem->c_str());
        return 1;
    }

    SingleInstance instance;
    QString problem;
    const auto directory = SingleInstance::directory(problem);
    const SingleInstance::Claim claim =
        directory ? instance.claim(*directory, token) : SingleInstance::Claim::UNGUARDED;
    if (claim == SingleInstance::Claim::HANDED_OVER) return 0;
    if (claim == SingleInstance::Claim::NO_ANSWER) {
        std::fprintf(stderr, "glintward: Glintward is already running but did not answer\n");
        return 1;
    }
    if (directory) problem = instance.problem();
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "glintward: a second start will not find this one: %s\n", qPrintable(problem));
    }

    glintward::GlintwardTrayApp glintward;
    QObject::connect(
        &instance, &SingleInstance::showRequested, &glintward,
        [&glintward](const glintward::ActivationToken& later) { glintward.bringForward(later); });
    // A window shown at start takes the focus with this start's own token, as a later start's would (on X11,
    // Qt's connection has presented it with that window already).
    glintward.presentStartToken(token);
    return app.exec();
}
