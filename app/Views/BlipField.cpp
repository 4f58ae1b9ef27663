#include "app/Views/BlipField.h"

#include <QJSValue>
#include <QPainter>
#include <QPen>
#include <QQuickWindow>
#include <QSGImageNode>
#include <QSGTransformNode>
#include <QtMath>
#include <algorithm>
#include <array>
#include <cmath>
#include <memory>

#include "app/Views/ListModels.h"
#include "app/Views/PictureItem.h"
#include "app/Views/ViewLogic.h"

namespace glintward {

namespace {

constexpr qreal DOT = 8;
// The ring is 16 points across and 1.4 wide at its natural size, and over a ping it grows from 0.4 to 2.6
// times that, line and all, while it fades from 0.7 to nothing.
constexpr qreal RING = 16;
constexpr qreal RING_LINE = 1.4;
constexpr qreal GROW_FROM = 0.4;
constexpr qreal GROW_TO = 2.6;
constexpr qreal RING_OPACITY = 0.7;
// A ping is drawn as one of this many pictures, each painted once at its size and strength: a picture
// copied as it is costs the software backend a fraction of one scaled and faded every frame. (Steps of half
// a point in size and 1 % in strength, too fine to see.)
constexpr int PING_FRAMES = 64;

QImage ringPicture(int frame, QColor color, qreal ratio) {
    const qreal ping = static_cast<qreal>(frame) / (PING_FRAMES - 1);
    const qreal grow = GROW_FROM + (GROW_TO - GROW_FROM) * ping;
    const qreal side = RING * grow;
    const qreal line = RING_LINE * grow;
    color.setAlphaF(static_cast<float>(color.alphaF() * RING_OPACITY * (1 - ping)));
    return paintedPicture(QSizeF(side, side), ratio, [&](QPainter& p) {
        p.setPen(QPen(color, line));
        p.drawEllipse(QRectF(line / 2, line / 2, side - line, side - line));
    });
}

QImage dotPicture(const QColor& color, qreal ratio) {
    return paintedPicture(QSizeF(DOT, DOT), ratio, [&](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(QRectF(0, 0, DOT, DOT));
    });
}

// The scene's part of the field: the pictures, painted as they are first needed, and two image nodes per
// blip, its ring then its dot. A transform node, left at identity, rather than a plain node: the software
// renderer records where a node stands (position, clip, opacity) for transform, clip and opacity nodes only,
// so an image node added later under a plain node would get none of its item's and be drawn at the item's
// coordinates taken as the window's.
struct BlipNodes : QSGTransformNode {
    std::array<std::unique_ptr<QSGTexture>, PING_FRAMES> rings;
    std::unique_ptr<QSGTexture> dot;
    qreal ratio = 0;
};

QSGTexture* texture(QQuickWindow* window, const QImage& image) {
    // Small pictures share one texture on a graphics card, so that all blips draw in one call.
    return window->createTextureFromImage(image, QQuickWindow::TextureCanUseAtlas);
}

// Where a picture of `texture`'s pixels goes, centred on `centre`, unscaled.
QRectF placed(QPointF centre, const QSGTexture& texture, qreal ratio) {
    const QSizeF size = QSizeF(texture.textureSize()) / ratio;
    return {centre.x() - size.width() / 2, centre.y() - size.height() / 2, size.width(), size.height()};
}

}  // namespace

BlipField::BlipField(QQuickItem* parent) : QQuickItem(parent) {
    setFlag(ItemHasContents);
}

void BlipField::setBearings(const QVariant& bearings) {
    if (model_) disconnect(model_, nullptr, this, nullptr);
    bearingsValue_ = bearings;
    model_ = qobject_cast<BearingListModel*>(bearings.value<QObject*>());
    if (model_) {
        for (auto changed : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved}) {
            connect(model_, changed, this, &BlipField::readBearings);
        }
        connect(model_, &QAbstractItemModel::dataChanged, this, &BlipField::readBearings);
        connect(model_, &QAbstractItemModel::modelReset, this, &BlipField::readBearings);
    }
    readBearings();
    emit bearingsChanged();
}

void BlipField::readBearings() {
    if (model_) {
        take(model_->rows());
        return;
    }
    QVariant value = bearingsValue_;
    if (value.canConvert<QJSValue>()) value = value.value<QJSValue>().toVariant();
    std::vector<double> bearings;
    for (const QVariant& element : value.toList()) bearings.push_back(element.toDouble());
    take(bearings);
}

void BlipField::take(const std::vector<double>& bearings) {
    const std::size_t had = blips_.size();
    blips_.resize(bearings.size(), Blip{0, clock_});
    for (std::size_t i = 0; i < bearings.size(); ++i) blips_[i].bearing = bearings[i];
    update();
    if (blips_.size() != had) emit countChanged();
}

void BlipField::setColor(const QColor& color) {
    if (color == color_) return;
    color_ = color;
    picturesStale_ = true;
    update();
    emit colorChanged();
}

void BlipField::setRadius(qreal radius) {
    if (qFuzzyCompare(radius, radius_)) return;
    radius_ = radius;
    update();
    emit radiusChanged();
}

void BlipField::setClock(qreal clock) {
    if (clock == clock_) return;
    clock_ = clock;
    if (!blips_.empty()) update();
    emit clockChanged();
}

QPointF BlipField::centreOf(int i) const {
    if (i < 0 || i >= count()) return {};
    const double a = qDegreesToRadians(blips_[static_cast<std::size_t>(i)].bearing);
    return {width() / 2 + radius_ * std::cos(a), height() / 2 + radius_ * std::sin(a)};
}

qreal BlipField::pingOf(int i) const {
    if (i < 0 || i >= count()) return 0;
    const double since = std::max(0.0, clock_ - blips_[static_cast<std::size_t>(i)].pingStart);
    return easeOut(std::fmod(since, PING_MS) / PING_MS);
}

qreal BlipField::pingStartOf(int i) const {
    return i < 0 || i >= count() ? 0 : blips_[static_cast<std::size_t>(i)].pingStart;
}

QSGNode* BlipField::updatePaintNode(QSGNode* old, UpdatePaintNodeData*) {
    auto* root = static_cast<BlipNodes*>(old);
    if (blips_.empty() || !window()) {
        delete root;
        return nullptr;
    }
    if (!root) root = new BlipNodes;
    QQuickWindow* w = window();
    const qreal ratio = w->effectiveDevicePixelRatio();
    if (picturesStale_ || ratio != root->ratio || !root->dot) {
        for (auto& ring : root->rings) ring.reset();
        root->dot.reset(texture(w, dotPicture(color_, ratio)));
        root->ratio = ratio;
        picturesStale_ = false;
    }

    // Counted once: a node counts its children by walking them, which over thousands of blips would cost
    // the square of their number.
    const int drawn = std::min(count(), DRAWN_MAX);
    const int wanted = 2 * drawn;
    int have = root->childCount();
    for (; have > wanted; --have) {
        QSGNode* last = root->lastChild();
        root->removeChildNode(last);
        delete last;
    }
    for (; have < wanted; ++have) {
        // Each starts with the dot's picture: a renderer may look at a node's texture once it is in the tree.
        QSGImageNode* node = w->createImageNode();
        node->setOwnsTexture(false);
        node->setFiltering(QSGTexture::Linear);
        node->setTexture(root->dot.get());
        root->appendChildNode(node);
    }

    auto* node = static_cast<QSGImageNode*>(root->firstChild());
    for (int i = 0; i < drawn; ++i) {
        auto* ring = node;
        auto* dot = static_cast<QSGImageNode*>(ring->nextSibling());
        node = static_cast<QSGImageNode*>(dot->nextSibling());
        const QPointF c = centreOf(i);
        const int frame = qRound(pingOf(i) * (PING_FRAMES - 1));
        std::unique_ptr<QSGTexture>& picture = root->rings[static_cast<std::size_t>(frame)];
        if (!picture) picture.reset(texture(w, ringPicture(frame, color_, ratio)));
        ring->setTexture(picture.get());
        // The last picture is the ring faded to nothing.
        ring->setRect(frame == PING_FRAMES - 1 ? QRectF() : placed(c, *picture, ratio));
        dot->setTexture(root->dot.get());
        dot->setRect(placed(c, *root->dot, ratio));
    }
    return root;
}

}  // namespace glintward
