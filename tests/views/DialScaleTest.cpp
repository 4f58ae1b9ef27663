// The radar dial drawn at the display scale factors people use, on both of Qt Quick's renderers, must be the
// picture drawn at scale 1, only finer, with its blips where it places them. The scale factor is read once,
// when the application object is made, so each picture is drawn by a process of its own (this program,
// started with --render or --blips).
#include <gtest/gtest.h>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLineF>
#include <QProcess>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include "app/DesignSystem.h"
#include "app/Views/BlipField.h"
#include "app/Views/ViewsModule.h"
#include "tests/uisupport/FreeDisplay.h"

namespace {

constexpr int SIDE = 190;  // the window, logical pixels; the dial of 170 sits in its middle
// A ring is 1 px wide at a third of the status colour's strength: blurred, still more than this.
constexpr int TOLERANCE = 16;
// Pixels allowed past it: the software backend draws small round rectangles a pixel larger or smaller at some
// scale factors, some 250 pixels in all, where a missing ring or a misplaced sweep makes thousands.
constexpr int ALLOWED = SIDE * SIDE / 100;

// Shows a page of `side` logical pixels in `window`: a dial of 170 in the status colour "likely", still, with
// `properties` (QML) of its own, on black. Returns the dial; nullptr (with the reason on standard error) when
// the page does not load.
QQuickItem* showDial(QQmlEngine& engine, QQuickWindow& window, const char* properties, QSize side) {
    glintward::initViewsModule(engine);
    QQmlComponent component(&engine);
    component.setData(QByteArray(R"(
        import Glintward.Views
        import QtQuick
        Rectangle {
            color: "black"
            RadarInstrument {
                objectName: "dial"
                diameter: 170
                statusColor: Palette.stateLikely
                animated: false
                )") + properties +
                          "\n}\n}",
                      QUrl(QStringLiteral("qrc:/test/Page.qml")));
    auto* page = qobject_cast<QQuickItem*>(component.create());
    if (!page) {
        std::fprintf(stderr, "%s\n", qPrintable(component.errorString()));
        return nullptr;
    }
    page->setParentItem(window.contentItem());
    page->setParent(&window);
    page->setSize(side);
    window.resize(side);
    window.show();
    return page->findChild<QQuickItem*>(QStringLiteral("dial"));
}

void printRenderer(QQuickWindow& window) {
    std::printf(
        "%s %gx\n",
        window.rendererInterface()->graphicsApi() == QSGRendererInterface::Software ? "software" : "hardware",
        window.effectiveDevicePixelRatio());
}

// Draws the dial, still, scanning with its sweep turned part way and three blips, and saves the window.
int render(const QString& out) {
    QQmlEngine engine;
    QQuickWindow window;
    QQuickItem* dial =
        showDial(engine, window, "anchors.centerIn: parent; scanning: true; bearings: [-60, 14, 88]",
                 QSize(SIDE, SIDE));
    if (!dial) return 2;
    // A turn that is not a multiple of 90 degrees shows where the sweep turns about.
    for (QQuickItem* wedge : dial->findChildren<QQuickItem*>(QStringLiteral("sweepWedge"))) {
        wedge->setRotation(137);
    }
    QEventLoop wait;
    QTimer::singleShot(300, &wait, &QEventLoop::quit);
    wait.exec();
    const QImage image = window.grabWindow();
    printRenderer(window);
    return image.save(out) ? 0 : 3;
}

// The page of the blips' test: the dial where the panel has it, away from the window's corner.
constexpr QSize PAGE(340, 260);
// Blips arrive as detections do, a few at a time after the dial is first drawn; far enough apart that no two
// touch.
const QList<QVariantList> ARRIVALS = {
    {10.0},
    {10.0, 55.0, 100.0, 145.0},
    {10.0, 55.0, 100.0, 145.0, 190.0, 235.0, 280.0, 325.0},
};

// Draws the dial of ARRIVALS, a frame for each, and saves the last; prints where the centre disc and each
// blip belong (BlipField::centreOf), one "x y" line each in the window's logical pixels.
int renderBlips(const QString& out) {
    QQmlEngine engine;
    QQuickWindow window;
    QQuickItem* dial = showDial(engine, window, "x: 85; y: 44", PAGE);
    auto* blips = dial ? dial->findChild<glintward::BlipField*>(QStringLiteral("blips")) : nullptr;
    if (!blips) return 2;
    // Until the window is on the display its picture has not the display's scale.
    QDeadlineTimer deadline(10000);
    while (!window.isExposed() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    if (!window.isExposed()) return 4;
    QImage image;
    for (const QVariantList& bearings : ARRIVALS) {
        dial->setProperty("bearings", bearings);
        // A grab draws a frame with the window's own renderer, as a shown window would.
        image = window.grabWindow();
    }
    printRenderer(window);
    const QPointF disc = dial->mapToScene(QPointF(dial->width() / 2, dial->height() / 2));
    std::printf("%g %g\n", disc.x(), disc.y());
    for (int i = 0; i < blips->count(); ++i) {
        const QPointF c = blips->mapToScene(blips->centreOf(i));
        std::printf("%g %g\n", c.x(), c.y());
    }
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

// The pieces of a picture drawn over black at full strength in `color`, the dots of the blips and the centre
// disc (the rings are too faint), each as the mean of its pixels' centres in logical pixels.
std::vector<QPointF> solidSpots(const QImage& picture, QColor color, qreal ratio) {
    const QImage image = picture.convertToFormat(QImage::Format_RGB32);
    const int w = image.width();
    const int h = image.height();
    const auto solid = [&](int x, int y) {
        const QRgb p = image.pixel(x, y);
        return 2 * qRed(p) >= color.red() && 2 * qGreen(p) >= color.green() && 2 * qBlue(p) >= color.blue();
    };
    std::vector<bool> seen(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    std::vector<QPointF> spots;
    for (int y0 = 0; y0 < h; ++y0) {
        for (int x0 = 0; x0 < w; ++x0) {
            if (seen[static_cast<std::size_t>(y0 * w + x0)] || !solid(x0, y0)) continue;
            QPointF sum;
            int n = 0;
            std::vector<QPoint> todo{{x0, y0}};
            seen[static_cast<std::size_t>(y0 * w + x0)] = true;
            while (!todo.empty()) {
                const QPoint p = todo.back();
                todo.pop_back();
                sum += QPointF(p) + QPointF(0.5, 0.5);
                ++n;
                for (const QPoint step : {QPoint(1, 0), QPoint(-1, 0), QPoint(0, 1), QPoint(0, -1)}) {
                    const QPoint q = p + step;
                    if (q.x() < 0 || q.y() < 0 || q.x() >= w || q.y() >= h) continue;
                    const auto at = static_cast<std::size_t>(q.y() * w + q.x());
                    if (seen[at] || !solid(q.x(), q.y())) continue;
                    seen[at] = true;
                    todo.push_back(q);
                }
            }
            spots.push_back(sum / n / ratio);
        }
    }
    return spots;
}

class DialScaleTest : public ::testing::Test {
protected:
    struct Drawn {
        QImage image;
        QStringList lines;  // what the child printed after its renderer
    };

    // Draws in a child process with `env` and the scale factor (`mode` chooses what), into a folder of its
    // own; saves a copy as build/screenshots/<name>-<backend>-<factor>x.png to look at.
    Drawn run(const QProcessEnvironment& env, const char* mode, const QString& name, const QString& backend,
              const QString& factor) {
        const QTemporaryDir own;
        const QString path = own.filePath(QStringLiteral("picture.png"));
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
        child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(mode), path});
        EXPECT_TRUE(child.waitForFinished(30000)) << backend.toStdString() << " " << factor.toStdString();
        QStringList said = QString::fromLocal8Bit(child.readAllStandardOutput()).trimmed().split('\n');
        EXPECT_EQ(child.exitCode(), 0) << said.join('\n').toStdString();
        EXPECT_TRUE(said.front().startsWith(backend == QLatin1String("software") ? "software" : "hardware"))
            << said.front().toStdString();
        said.removeFirst();
        const QImage image(path);
        QDir().mkpath(QStringLiteral(GLINTWARD_SCREENSHOT_DIR));
        const QString shot =
            QStringLiteral(GLINTWARD_SCREENSHOT_DIR "/%1-%2-%3x.png").arg(name, backend, factor);
        QFile::remove(shot);
        image.save(shot);
        return {image, said};
    }

    QImage draw(const QProcessEnvironment& env, const QString& backend, const QString& factor) {
        QImage image = run(env, "--render", QStringLiteral("dial"), backend, factor).image;
        EXPECT_EQ(image.width(), qRound(SIDE * factor.toDouble())) << backend.toStdString();
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

    // At every factor, the dial of ARRIVALS drawn with its centre disc and each blip where they belong, and
    // nothing else at full strength.
    void expectBlipsWhereTheyBelong(const QProcessEnvironment& env, const QString& backend) {
        for (const char* factor : {"1", "1.25", "1.5", "2"}) {
            SCOPED_TRACE(backend.toStdString() + " at " + factor);
            const Drawn drawn =
                run(env, "--blips", QStringLiteral("blips"), backend, QString::fromLatin1(factor));
            ASSERT_EQ(drawn.image.width(), qRound(PAGE.width() * QByteArray(factor).toDouble()));
            std::vector<QPointF> belong;
            for (const QString& line : drawn.lines) {
                belong.emplace_back(line.section(' ', 0, 0).toDouble(), line.section(' ', 1, 1).toDouble());
            }
            ASSERT_EQ(belong.size(), 1 + ARRIVALS.back().size());
            const std::vector<QPointF> spots =
                solidSpots(drawn.image, QColor(glintward::Palette::stateLikely),
                           qreal(drawn.image.width()) / PAGE.width());
            EXPECT_EQ(spots.size(), belong.size());
            for (std::size_t i = 0; i < belong.size(); ++i) {
                qreal nearest = 1e9;
                for (const QPointF& spot : spots) {
                    nearest = std::min(nearest, QLineF(spot, belong[i]).length());
                }
                EXPECT_LT(nearest, 1.0) << (i == 0 ? "the centre disc" : "blip " + std::to_string(i - 1))
                                        << " belongs at " << belong[i].x() << ", " << belong[i].y();
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

    // An X display of its own, through GLX (Mesa's rasteriser where there is no graphics card): the
    // environment of a child drawing on it, empty when it does not start.
    QProcessEnvironment startXvfb() {
        const int display = glintward::testing::freeDisplayNumber();
        if (display == 0) return {};
        xvfb_.start(QStringLiteral("Xvfb"),
                    {QStringLiteral(":%1").arg(display), "-screen", "0", "640x480x24", "-nolisten", "tcp"});
        if (!xvfb_.waitForStarted(5000)) return {};
        const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(display);
        for (int i = 0; i < 250 && !QFile::exists(socket); ++i) QThread::msleep(20);
        if (!QFile::exists(socket)) return {};
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(display));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), QStringLiteral("xcb_glx"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        return env;
    }
    static QProcessEnvironment openGl(QProcessEnvironment env) {
        env.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("rhi"));
        env.insert(QStringLiteral("QSG_RHI_BACKEND"), QStringLiteral("opengl"));
        return env;
    }
    static bool haveXvfb() { return !QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty(); }

    void TearDown() override {
        if (xvfb_.state() == QProcess::NotRunning) return;
        xvfb_.terminate();
        if (!xvfb_.waitForFinished(3000)) xvfb_.kill();
    }

private:
    QProcess xvfb_;
};

TEST_F(DialScaleTest, SoftwareRendererDrawsTheScaleOnePictureAtEveryFactor) {
    const QProcessEnvironment env = offscreenSoftware();
    expectAllFactorsMatch(env, QStringLiteral("software"), draw(env, QStringLiteral("software"), "1"));
}

// Both renderers against the OpenGL picture at scale 1.
TEST_F(DialScaleTest, BothRenderersDrawTheOpenGlPictureAtEveryFactor) {
    if (!haveXvfb()) GTEST_SKIP() << "no Xvfb";
    const QProcessEnvironment env = startXvfb();
    ASSERT_FALSE(env.isEmpty()) << "Xvfb did not start";
    const QProcessEnvironment gl = openGl(env);
    QProcessEnvironment software = env;
    software.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));

    const QImage reference = draw(gl, QStringLiteral("opengl"), "1");
    expectAllFactorsMatch(gl, QStringLiteral("opengl"), reference);
    expectAllFactorsMatch(software, QStringLiteral("software"), reference);
}

TEST_F(DialScaleTest, BlipsArrivingAfterTheFirstFrameAreDrawnWhereTheyBelong) {
    expectBlipsWhereTheyBelong(offscreenSoftware(), QStringLiteral("software"));
    if (!haveXvfb()) GTEST_SKIP() << "no Xvfb for OpenGL";
    const QProcessEnvironment env = startXvfb();
    ASSERT_FALSE(env.isEmpty()) << "Xvfb did not start";
    expectBlipsWhereTheyBelong(openGl(env), QStringLiteral("opengl"));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && (QByteArray(argv[1]) == "--render" || QByteArray(argv[1]) == "--blips")) {
        QGuiApplication app(argc, argv);
        const QString out = QString::fromLocal8Bit(argv[2]);
        return QByteArray(argv[1]) == "--render" ? render(out) : renderBlips(out);
    }
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
