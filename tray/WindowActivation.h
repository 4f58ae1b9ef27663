#pragma once
// Bringing the window forward when a later start asks for it. Desktops do not let a program take the focus
// on its own: the launcher gives each program it starts a token saying that the user asked for it
// (XDG_ACTIVATION_TOKEN on Wayland, DESKTOP_STARTUP_ID on X11), and a later start hands its token to the
// running instance, which presents it with its window.

#include <QByteArray>
#include <memory>

class QWindow;

namespace glintward {

struct ActivationToken {
    static constexpr qsizetype VARIABLE_MAX = 20;  // "XDG_ACTIVATION_TOKEN"
    static constexpr qsizetype VALUE_MAX = 255;

    QByteArray variable;  // the environment variable it came in; empty for no token
    QByteArray value;

    bool empty() const { return variable.isEmpty(); }
    bool forWayland() const;
    // Whether `variable` names one of the two and `value` is 1 to VALUE_MAX printable ASCII characters
    // without blanks: what the desktops hand out, and nothing that could break the line it travels in.
    static bool acceptable(const QByteArray& variable, const QByteArray& value);
    // The token this process was started with (none when it is not acceptable). Read before the application
    // object exists: Qt's X11 connection takes DESKTOP_STARTUP_ID out of the environment for itself.
    static ActivationToken fromEnvironment();
    // Once the application object exists: no program started from here may present the token again.
    static void clearEnvironment();
};

class WindowActivation {
public:
    WindowActivation();
    ~WindowActivation();
    WindowActivation(const WindowActivation&) = delete;
    WindowActivation& operator=(const WindowActivation&) = delete;

    // Before `window` is shown or raised: on X11, the launch's time goes with the activation request, and a
    // hidden window ends the launch's startup feedback when it is shown.
    void beforeShow(QWindow& window, const ActivationToken& token);
    // Once `window` is on screen: Wayland's compositor takes a token only for a mapped surface.
    void afterShow(QWindow& window, const ActivationToken& token);

private:
    class XdgActivation;
    std::unique_ptr<XdgActivation> xdg_;
};

}  // namespace glintward
