// The radar dial drawn at the display scale factors people use, on both of Qt Quick's renderers, must be the
// picture drawn at scale 1, only finer. The scale factor is read once, when the application object is made,
// so each picture is drawn by a process of its own (this program, started with --render).
#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include "app/Views/ViewsModule.h"
#include "tests/uisupport/FreeDisplay.h"

namespace {

constexpr int SIDE = 190;  // the window, logical pixels; the dial of 170 sits in its middle
// A ring is 1 px wide at a third of the status colour's strength: blurred, still more than this.
constexpr int TOLERANCE = 16;
// Pixels allowed past it: the software backend draws small round rectangles a pixel larger or smaller at some
// scale factors, some 250 pixels in all, where a missing ring or a misplaced sweep makes thousands.
constexpr int ALLOWED = SIDE * SIDE / 100;

// Draws the dial, still, scanning with its sweep turned part way and three blips, and saves the window.
int render(const QString& out) {
    int argc = 1;
    char name[] = "test_dial_scale";
    char* argv[] = {name, nullptr};
    QGuiApplication app(argc, argv);
    QQmlEngine engine;
    glintward::initViewsModule(engine);
    QQmlComponent component(&engine);
    component.setData(R"(
        import Glintward.Views
        import QtQuick
        Rectangle {
            color: "black"
            RadarInstrument {
                objectName: "dial"
                anchors.centerIn: parent
                diameter: 170
                scanning: true
                statusColor: Palette.stateLikely
                bearings: [-60, 14, 88]
                animated: false
            }
        })",
                      QUrl(QStringLiteral("qrc:/test/Dial.qml")));
    auto* root = qobject_cast<QQuickItem*>(component.create());
    if (!root) {
        std::fprintf(stderr, "%s\n", qPrintable(component.errorString()));
        return 2;
    }
    QQuickWindow window;
    root->setParentItem(window.contentItem());
    root->setParent(&window);
    root->setSize(QSizeF(SIDE, SIDE));
    window.resize(SIDE, SIDE);
    window.show();
    // A turn that is not a multiple of 90 degrees shows where the sweep turns about.
    for (QQuickItem* wedge : root->findChildren<QQuickItem*>(QStringLiteral("sweepWedge"))) {
        wedge->setRotation(137);
    }
    QEventLoop wait;
    QTimer::singleShot(300, &wait, &QEventLoop::quit);
    wait.exec();
    const QImage image = window.grabWindow();
    std::printf(
        "%s %gx\n",
        window.rendererInterface()->graphicsApi() == QSGRendererInterface::Software ? "software" : "hardware",
        window.effectiveDevicePixelRatio());
    return image.save(out) ? 0 : 3;
}

// A picture brought to scale 1 and blurred over its neighbouring pixels, so that how an edge is antialiased
// counts for little.
QImage normalised(const QImage& picture) {
    const QImage one = picture.convertToFormat(QImage::Format_RGB32)
                           .scaled(SIDE, SIDE, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QImage blurred(one.size(), QImage::Format_RGB32);
    for (int y = 0; y < SIDE; ++y) {
        for (int x = 0; x < SIDE; ++x) {
            int sum[3] = {0, 0, 0};
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    const QRgb c =
                        one.pixel(std::clamp(x + dx, 0, SIDE - 1), std::clamp(y + dy, 0, SIDE - 1));
                    sum[0] += qRed(c);
                    sum[1] += qGreen(c);
                    sum[2] += qBlue(c);
                }
            }
            blurred.setPixel(x, y, qRgb(sum[0] / 9, sum[1] / 9, sum[2] / 9));
        }
    }
    return blurred;
}

struct Difference {
    int largest = 0;  // the largest difference of one channel at one pixel, 0 to 255
    int over = 0;     // pixels where some channel differs by more than the tolerance
    QImage picture;   // where they differ, to look at when a comparison fails
};

int distance(QRgb p, QRgb q) {
    return std::max(
        {std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q))});
}

// Each pixel of either picture against the nearest match among the other's pixels at most one pixel away:
// renderers place edges up to a pixel apart, which is no fault, while a missing ring or a shifted sweep
// differs over hundreds of pixels.
Difference compare(const QImage& a, const QImage& b, int tolerance) {
    Difference d;
    d.picture = QImage(a.size(), QImage::Format_RGB32);
    d.picture.fill(Qt::black);
    for (const auto& [from, to] : {std::pair{&a, &b}, {&b, &a}}) {
        for (int y = 0; y < SIDE; ++y) {
            for (int x = 0; x < SIDE; ++x) {
                int nearest = 255;
                for (int dy = -1; dy <= 1; ++dy) {
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int px = std::clamp(x + dx, 0, SIDE - 1);
                        const int py = std::clamp(y + dy, 0, SIDE - 1);
                        nearest = std::min(nearest, distance(from->pixel(x, y), to->pixel(px, py)));
                    }
                }
                d.largest = std::max(d.largest, nearest);
                if (nearest > tolerance) {
                    ++d.over;
                    d.picture.setPixel(x, y, qRgb(255, 0, 0));
                }
            }
        }
    }
    return d;
}

class DialScaleTest : public ::testing::Test {
protected:
    // Draws the dial in a child process with `env` and the scale factor; saves it under build/screenshots.
    QImage draw(const QProcessEnvironment& env, const QString& backend, const QString& factor) {
        const QString dir = QStringLiteral(GLINTWARD_SCREENSHOT_DIR);
        QDir().mkpath(dir);
        const QString path = dir + QStringLiteral("/dial-%1-%2x.png").arg(backend, factor);
        QFile::remove(path);
        QProcess child;
        QProcessEnvironment childEnv = env;
        childEnv.insert(QStringLiteral("QT_SCALE_FACTOR"), factor);
        if (backend == QLatin1String("opengl")) {
            // Under AddressSanitizer: the OpenGL driver, unloaded by then, leaves a few bytes behind at exit.
            childEnv.insert(QStringLiteral("ASAN_OPTIONS"), childEnv.value(QStringLiteral("ASAN_OPTIONS")) +
                                                                QStringLiteral(":detect_leaks=0"));
        }
        child.setProcessEnvironment(childEnv);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--render"), path});
        EXPECT_TRUE(child.waitForFinished(30000)) << backend.toStdString() << " " << factor.toStdString();
        const QString said = QString::fromLocal8Bit(child.readAllStandardOutput()).trimmed();
        EXPECT_EQ(child.exitCode(), 0) << said.toStdString();
        EXPECT_TRUE(said.startsWith(backend == QLatin1String("software") ? "software" : "hardware"))
            << said.toStdString();
        QImage image(path);
        EXPECT_EQ(image.width(), qRound(SIDE * factor.toDouble())) << path.toStdString();
        return image;
    }

    // Every factor's picture against the reference, scaled to it.
    void expectAllFactorsMatch(const QProcessEnvironment& env, const QString& backend,
                               const QImage& reference) {
        ASSERT_FALSE(reference.isNull());
        const QImage wanted = normalised(reference);
        for (const char* factor : {"1", "1.25", "1.5", "2"}) {
            SCOPED_TRACE(backend.toStdString() + " at " + factor);
            const QImage image = draw(env, backend, QString::fromLatin1(factor));
            ASSERT_FALSE(image.isNull());
            const Difference d = compare(normalised(image), wanted, TOLERANCE);
            EXPECT_LE(d.over, ALLOWED) << "largest difference " << d.largest;
            if (d.over > ALLOWED) {
                d.picture.save(QStringLiteral(GLINTWARD_SCREENSHOT_DIR "/dial-%1-%2x-difference.png")
                                   .arg(backend, QString::fromLatin1(factor)));
            }
        }
    }

    static QProcessEnvironment offscreenSoftware() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
        env.remove(QStringLiteral("QSG_RHI_BACKEND"));
        return env;
    }
};

TEST_F(DialScaleTest, SoftwareRendererDrawsTheScaleOnePictureAtEveryFactor) {
    const QProcessEnvironment env = offscreenSoftware();
    expectAllFactorsMatch(env, QStringLiteral("software"), draw(env, QStringLiteral("software"), "1"));
}

// On an X display of its own, through GLX (Mesa's rasteriser where there is no graphics card): both renderers
// against the OpenGL picture at scale 1.
TEST_F(DialScaleTest, BothRenderersDrawTheOpenGlPictureAtEveryFactor) {
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty()) GTEST_SKIP() << "no Xvfb";
    const int display = glintward::testing::freeDisplayNumber();
    ASSERT_NE(display, 0);
    QProcess xvfb;
    xvfb.start(QStringLiteral("Xvfb"),
               {QStringLiteral(":%1").arg(display), "-screen", "0", "640x480x24", "-nolisten", "tcp"});
    ASSERT_TRUE(xvfb.waitForStarted(5000));
    const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(display);
    for (int i = 0; i < 250 && !QFile::exists(socket); ++i) QThread::msleep(20);
    ASSERT_TRUE(QFile::exists(socket)) << "Xvfb did not start";

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(display));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), QStringLiteral("xcb_glx"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    QProcessEnvironment gl = env;
    gl.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("rhi"));
    gl.insert(QStringLiteral("QSG_RHI_BACKEND"), QStringLiteral("opengl"));
    QProcessEnvironment software = env;
    software.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));

    const QImage reference = draw(gl, QStringLiteral("opengl"), "1");
    expectAllFactorsMatch(gl, QStringLiteral("opengl"), reference);
    expectAllFactorsMatch(software, QStringLiteral("software"), reference);
    xvfb.terminate();
    xvfb.waitForFinished(3000);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && QByteArray(argv[1]) == "--render") return render(QString::fromLocal8Bit(argv[2]));
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
