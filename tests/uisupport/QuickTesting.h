#pragma once
// Helpers for tests that run Qt Quick offscreen: find items by objectName in the visual tree, wait on a
// condition with a deadline, click an item, save a screenshot under the build tree.

#include <QColor>
#include <QQuickItem>
#include <QQuickWindow>
#include <QString>
#include <functional>
#include <ostream>
#include <vector>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* out) {
    *out << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QColor& c, std::ostream* out) {
    *out << c.name(QColor::HexArgb).toStdString();
}
QT_END_NAMESPACE

namespace glintward::testing {

// Every item below `root` (itself included) with this objectName, in tree order, visible or not.
std::vector<QQuickItem*> findAll(QQuickItem* root, const QString& objectName);
// The only such item; fails the test (and returns nullptr) when there is none or more than one.
QQuickItem* findOne(QQuickItem* root, const QString& objectName);
// Only those that are visible (their own and every ancestor's visible flag).
std::vector<QQuickItem*> findVisible(QQuickItem* root, const QString& objectName);

// Runs the event loop until `condition` holds or `timeoutMs` passes; returns whether it held.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 5000);

// Lets pending polish and layout run so geometry is current.
void settle(QQuickWindow& window);

// Scrolls every flickable around the item, as a person would, so that the item is on screen.
void scrollIntoView(QQuickItem* item);

// Clicks the centre of the item with the left button.
void click(QQuickWindow& window, QQuickItem* item);

QString text(QQuickItem* item);
QColor color(QQuickItem* item, const char* property = "color");

// Saves the window's contents as <build>/screenshots/<name>.png and returns the path.
QString saveScreenshot(QQuickWindow& window, const QString& name);

}  // namespace glintward::testing

#include <QQmlEngine>
#include <QVariantMap>
#include <memory>

namespace glintward::testing {

// A QML snippet loaded into a shown offscreen window of its own.
struct Scene {
    QQmlEngine engine;
    QQuickWindow window;
    QQuickItem* root = nullptr;
};
std::unique_ptr<Scene> loadScene(const QByteArray& qml, const QVariantMap& initialProperties = {},
                                 QSize size = QSize(340, 560));

}  // namespace glintward::testing
