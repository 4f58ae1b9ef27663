#include "tests/uisupport/QuickTesting.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QImage>
#include <QTest>
#include <algorithm>

namespace glintward::testing {

namespace {
void collect(QQuickItem* item, const QString& objectName, std::vector<QQuickItem*>& out) {
    if (item->objectName() == objectName) out.push_back(item);
    for (QQuickItem* child : item->childItems()) collect(child, objectName, out);
}

bool shown(QQuickItem* item) {
    for (; item; item = item->parentItem()) {
        if (!item->isVisible()) return false;
    }
    return true;
}
}  // namespace

std::vector<QQuickItem*> findAll(QQuickItem* root, const QString& objectName) {
    std::vector<QQuickItem*> out;
    if (root) collect(root, objectName, out);
    return out;
}

QQuickItem* findOne(QQuickItem* root, const QString& objectName) {
    const auto all = findAll(root, objectName);
    EXPECT_EQ(all.size(), 1u) << "items named " << objectName.toStdString();
    return all.size() == 1 ? all.front() : nullptr;
}

std::vector<QQuickItem*> findVisible(QQuickItem* root, const QString& objectName) {
    std::vector<QQuickItem*> out;
    for (QQuickItem* item : findAll(root, objectName)) {
        if (shown(item)) out.push_back(item);
    }
    return out;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

void settle(QQuickWindow& window) {
    QCoreApplication::processEvents();
    QQuickItem* root = window.contentItem();
    // Layouts finish in the polish step; ask for it until nothing more is pending.
    for (int i = 0; i < 5; ++i) {
        for (QQuickItem* item : findAll(root, QString())) item->ensurePolished();
        QCoreApplication::processEvents();
    }
}

void scrollIntoView(QQuickItem* item) {
    for (QQuickItem* p = item->parentItem(); p; p = p->parentItem()) {
        if (!p->inherits("QQuickFlickable")) continue;
        const QPointF top = item->mapToItem(p, QPointF(0, 0));
        const qreal contentY = p->property("contentY").toReal();
        // A list's content may begin above 0 (its header does), at originY.
        const qreal minY = p->property("originY").toReal();
        const qreal maxY = minY + std::max<qreal>(0, p->property("contentHeight").toReal() - p->height());
        if (top.y() < 0 || top.y() + item->height() > p->height()) {
            const qreal wanted = contentY + top.y() + item->height() / 2 - p->height() / 2;
            p->setProperty("contentY", std::clamp<qreal>(wanted, minY, maxY));
        }
    }
}

void click(QQuickWindow& window, QQuickItem* item) {
    ASSERT_NE(item, nullptr);
    settle(window);
    scrollIntoView(item);
    settle(window);
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(&window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    QCoreApplication::processEvents();
}

QString text(QQuickItem* item) {
    return item ? item->property("text").toString() : QString();
}

QColor color(QQuickItem* item, const char* property) {
    return item ? item->property(property).value<QColor>() : QColor();
}

QString saveScreenshot(QQuickWindow& window, const QString& name) {
    settle(window);
    const QString dir = QStringLiteral(GLINTWARD_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".png");
    const QImage image = window.grabWindow();
    EXPECT_FALSE(image.isNull()) << "grab of " << name.toStdString();
    EXPECT_TRUE(image.save(path)) << path.toStdString();
    return path;
}

}  // namespace glintward::testing

#include <QQmlComponent>

#include "app/Views/ViewsModule.h"

namespace glintward::testing {

std::unique_ptr<Scene> loadScene(const QByteArray& qml, const QVariantMap& initialProperties, QSize size) {
    auto scene = std::make_unique<Scene>();
    initViewsModule(scene->engine);
    QQmlComponent component(&scene->engine);
    component.setData(qml, QUrl(QStringLiteral("qrc:/test/Scene.qml")));
    QObject* object = component.createWithInitialProperties(initialProperties);
    EXPECT_NE(object, nullptr) << component.errorString().toStdString();
    scene->root = qobject_cast<QQuickItem*>(object);
    if (!scene->root) {
        delete object;
        return scene;
    }
    scene->root->setParentItem(scene->window.contentItem());
    scene->root->setParent(&scene->window);
    scene->window.resize(size);
    scene->window.setColor(Qt::black);
    scene->window.show();
    EXPECT_TRUE(waitUntil([&] { return scene->window.isExposed(); }));
    settle(scene->window);
    return scene;
}

}  // namespace glintward::testing
