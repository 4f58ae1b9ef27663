#include "app/platform/Workspace.h"

#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

namespace glintward {
namespace {

class DesktopWorkspace : public Workspace {
public:
    void openBluetoothSettings() override {
        const struct {
            const char* program;
            QStringList arguments;
        } candidates[] = {
            {"gnome-control-center", {"bluetooth"}},
            {"systemsettings", {"kcm_bluetooth"}},
            {"blueman-manager", {}},
        };
        for (const auto& c : candidates) {
            const QString path = QStandardPaths::findExecutable(QString::fromLatin1(c.program));
            if (!path.isEmpty()) {
                QProcess::startDetached(path, c.arguments);
                return;
            }
        }
    }
};

}  // namespace

std::shared_ptr<Workspace> makeDesktopWorkspace() { return std::make_shared<DesktopWorkspace>(); }

}  // namespace glintward
