#include <QApplication>
#include <QQuickView>
#include <cstdio>

#include "app/platform/BluetoothCentral.h"
#include "tray/GlintwardTrayApp.h"
#include "tray/SingleInstance.h"

int main(int argc, char** argv) {
    using glintward::SingleInstance;
    QApplication app(argc, argv);
    // A capture that cannot be read would otherwise leave a panel showing "All clear" over nothing.
    if (const auto problem = glintward::replayCaptureProblem()) {
        std::fprintf(stderr, "glintward: %s\n", problem->c_str());
        return 1;
    }

    SingleInstance instance;
    QString problem;
    const auto directory = SingleInstance::directory(problem);
    const SingleInstance::Claim claim = directory ? instance.claim(*directory) : SingleInstance::Claim::UNGUARDED;
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
    QObject::connect(&instance, &SingleInstance::showRequested, &glintward, [&glintward] {
        QQuickView& panel = glintward.panel();
        panel.setWindowStates(panel.windowStates() & ~Qt::WindowMinimized);
        glintward.showPanel();
    });
    return app.exec();
}
