// Another Wayland client for the Wayland tests, on the compositor the environment names:
//   wayland_peer window   shows a plain window titled "peer" (the window the pointer crosses, the window that
//                         has the focus) until it is ended
//   wayland_peer token    asks the compositor for an activation token, as a launcher does, and prints it
//   wayland_peer pointer  a mouse: reads "x y" lines, moves the pointer there and answers "ok" for each
#include <qpa/qplatformnativeinterface.h>
#include <unistd.h>
#include <wayland-client-core.h>
#include <QGuiApplication>
#include <QRasterWindow>
#include <QSocketNotifier>
#include <QTimer>
#include <QWaylandClientExtensionTemplate>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "qwayland-virtual-pointer.h"
#include "qwayland-xdg-activation-v1.h"

namespace {

class Activation : public QWaylandClientExtensionTemplate<Activation>, public QtWayland::xdg_activation_v1 {
public:
    Activation() : QWaylandClientExtensionTemplate<Activation>(1) { initialize(); }
    ~Activation() override {
        if (isActive()) destroy();
    }
};

class Token : public QtWayland::xdg_activation_token_v1 {
public:
    explicit Token(struct ::xdg_activation_token_v1* token) : QtWayland::xdg_activation_token_v1(token) {}
    ~Token() override { destroy(); }

protected:
    void xdg_activation_token_v1_done(const QString& token) override {
        std::printf("%s\n", qPrintable(token));
        std::fflush(stdout);
        QCoreApplication::exit(0);
    }
};

class PointerManager : public QWaylandClientExtensionTemplate<PointerManager>,
                       public QtWayland::zwlr_virtual_pointer_manager_v1 {
public:
    PointerManager() : QWaylandClientExtensionTemplate<PointerManager>(1) { initialize(); }
};

int mouse(QGuiApplication& app) {
    PointerManager manager;
    if (!manager.isActive()) {
        std::fprintf(stderr, "wayland_peer: the compositor offers no virtual pointer\n");
        return 1;
    }
    QtWayland::zwlr_virtual_pointer_v1 pointer(manager.create_virtual_pointer(nullptr));
    auto* display = static_cast<::wl_display*>(
        QGuiApplication::platformNativeInterface()->nativeResourceForIntegration("wl_display"));
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        std::string line;
        if (!std::getline(std::cin, line)) {
            QCoreApplication::exit(0);
            return;
        }
        unsigned x = 0;
        unsigned y = 0;
        if (std::sscanf(line.c_str(), "%u %u", &x, &y) != 2) return;
        static unsigned time = 0;
        pointer.motion_absolute(time += 10, x, y, 1280, 720);
        pointer.frame();
        wl_display_roundtrip(display);
        std::printf("ok\n");
        std::fflush(stdout);
    });
    return app.exec();
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "wayland");
    QGuiApplication app(argc, argv);
    if (argc == 2 && std::strcmp(argv[1], "window") == 0) {
        QRasterWindow window;
        window.setTitle(QStringLiteral("peer"));
        window.show();
        return app.exec();
    }
    if (argc == 2 && std::strcmp(argv[1], "token") == 0) {
        Activation activation;
        if (!activation.isActive()) {
            std::fprintf(stderr, "wayland_peer: the compositor offers no xdg_activation_v1\n");
            return 1;
        }
        Token token(activation.get_activation_token());
        token.commit();
        QTimer::singleShot(5000, [] { QCoreApplication::exit(1); });
        return app.exec();
    }
    if (argc == 2 && std::strcmp(argv[1], "pointer") == 0) return mouse(app);
    std::fprintf(stderr, "usage: wayland_peer window|token|pointer\n");
    return 2;
}
