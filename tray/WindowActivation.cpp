#include "tray/WindowActivation.h"

#include <qpa/qplatformnativeinterface.h>
#include <wayland-client-core.h>
#include <QGuiApplication>
#include <QScreen>
#include <QWaylandClientExtensionTemplate>
#include <QWindow>
#include <algorithm>
#include <optional>

#include "qwayland-xdg-activation-v1.h"

namespace glintward {

namespace {
const QByteArray WAYLAND_VARIABLE = "XDG_ACTIVATION_TOKEN";
const QByteArray X11_VARIABLE = "DESKTOP_STARTUP_ID";

// Qt hands out its platform's functions under one type of its own: through void (*)(), which stands for any
// function, to the type each has.
template <typename Function, typename Given>
Function cast(Given function) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(function));
}

// The X server time at the end of a startup id ("..._TIME12345"), if it has one.
std::optional<quint32> launchTime(const QByteArray& startupId) {
    const qsizetype at = startupId.lastIndexOf("_TIME");
    if (at < 0) return std::nullopt;
    const QByteArray digits = startupId.mid(at + 5);
    bool ok = false;
    const quint32 time = digits.toUInt(&ok);
    if (!ok || digits.isEmpty() || digits.front() == '+' || digits.front() == '-') return std::nullopt;
    return time;
}

bool onPlatform(const char* name) {
    return QGuiApplication::platformName().startsWith(QLatin1String(name));
}
}  // namespace

bool ActivationToken::acceptable(const QByteArray& variable, const QByteArray& value) {
    if (variable != WAYLAND_VARIABLE && variable != X11_VARIABLE) return false;
    if (value.isEmpty() || value.size() > VALUE_MAX) return false;
    return std::all_of(value.begin(), value.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

bool ActivationToken::forWayland() const {
    return variable == WAYLAND_VARIABLE;
}

ActivationToken ActivationToken::fromEnvironment() {
    for (const QByteArray& variable : {WAYLAND_VARIABLE, X11_VARIABLE}) {
        const QByteArray value = qgetenv(variable.constData());
        if (acceptable(variable, value)) return {variable, value};
    }
    return {};
}

void ActivationToken::clearEnvironment() {
    for (const QByteArray& variable : {WAYLAND_VARIABLE, X11_VARIABLE}) qunsetenv(variable.constData());
}

// Qt 6.4's own xdg_activation_v1 takes a token only through its private window class (it reads no
// XDG_ACTIVATION_TOKEN), so the application binds the protocol itself on Qt's connection.
class WindowActivation::XdgActivation : public QWaylandClientExtensionTemplate<XdgActivation>,
                                        public QtWayland::xdg_activation_v1 {
public:
    XdgActivation() : QWaylandClientExtensionTemplate<XdgActivation>(1) { initialize(); }
    ~XdgActivation() override {
        if (isActive()) destroy();
    }
};

WindowActivation::WindowActivation() = default;
WindowActivation::~WindowActivation() = default;

void WindowActivation::beforeShow(QWindow& window, const ActivationToken& token) {
    if (token.variable != X11_VARIABLE || !onPlatform("xcb")) return;
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    // The launch's time, when the id carries one, is the user's latest action: a window manager that
    // prevents focus stealing compares the time of the activation request that the window makes next (and
    // its user time) with it. Only a later time than the application's own moves it.
    if (const std::optional<quint32> time = launchTime(token.value); time && window.screen()) {
        using ScreenTime = void (*)(QScreen*, quint32);
        const auto current =
            reinterpret_cast<quintptr>(native->nativeResourceForScreen("apptime", window.screen()));
        if (static_cast<qint32>(*time - static_cast<quint32>(current)) > 0) {
            for (const char* name : {"setapptime", "setappusertime"}) {
                if (auto function = native->nativeResourceFunctionForScreen(name)) {
                    cast<ScreenTime>(function)(window.screen(), *time);
                }
            }
        }
    }
    // Qt's X11 connection ends that launch's startup feedback ("remove: ID=...") when it next shows a window.
    if (window.isVisible()) return;
    using SetStartupId = void (*)(const char*);
    if (auto function = native->nativeResourceFunctionForIntegration("setstartupid")) {
        cast<SetStartupId>(function)(token.value.constData());
    }
}

void WindowActivation::afterShow(QWindow& window, const ActivationToken& token) {
    if (token.variable != WAYLAND_VARIABLE || !onPlatform("wayland")) return;
    if (!xdg_) xdg_ = std::make_unique<XdgActivation>();
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    auto* surface = static_cast<::wl_surface*>(native->nativeResourceForWindow("surface", &window));
    auto* display = static_cast<::wl_display*>(native->nativeResourceForIntegration("wl_display"));
    // A compositor without the protocol has no way to take a token: the window was raised as far as it lets.
    if (!xdg_->isActive() || !surface || !display) return;
    xdg_->activate(QString::fromLatin1(token.value), surface);
    wl_display_flush(display);
}

}  // namespace glintward
