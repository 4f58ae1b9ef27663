#pragma once
// The dial's blips, all drawn by one item. A blip is one device marker: a dot with a ring that keeps growing
// and fading, `radius` away from the item's centre at angle `bearing` (0: right of the centre; 90: below it).
// One item rather than one per blip, so that a crowd costs one item's work a frame and no binding at all: the
// dot and the ring are pictures painted once, and each frame only moves, scales and fades them.
//
// Blips are identified by their position in `bearings`: when the list grows, each new blip starts its own
// ping at the clock's time, and the others keep theirs.

#include <QtQml/qqmlregistration.h>
#include <QColor>
#include <QPointer>
#include <QQuickItem>
#include <QVariant>
#include <vector>

namespace glintward {

class BearingListModel;

class BlipField : public QQuickItem {
    Q_OBJECT
    QML_ELEMENT
    // A list of numbers (degrees), or the page's bearing model.
    Q_PROPERTY(QVariant bearings READ bearings WRITE setBearings NOTIFY bearingsChanged)
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    // Distance of each blip from the centre, in points.
    Q_PROPERTY(qreal radius READ radius WRITE setRadius NOTIFY radiusChanged)
    // Milliseconds of motion: the pings follow it, and stand still while it does.
    Q_PROPERTY(qreal clock READ clock WRITE setClock NOTIFY clockChanged)
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    // A ping grows for this long, then starts again small.
    static constexpr qreal PING_MS = 1800;
    // The blips drawn at most, the first ones. The page's bearings step by 74 degrees and so come back to the
    // same places after 180 blips, where more would only stack rings on rings; and a frame costs each blip
    // drawn, which a flood of made-up devices would otherwise raise without limit.
    static constexpr int DRAWN_MAX = 180;

    explicit BlipField(QQuickItem* parent = nullptr);

    QVariant bearings() const { return bearingsValue_; }
    void setBearings(const QVariant& bearings);
    QColor color() const { return color_; }
    void setColor(const QColor& color);
    qreal radius() const { return radius_; }
    void setRadius(qreal radius);
    qreal clock() const { return clock_; }
    void setClock(qreal clock);
    int count() const { return static_cast<int>(blips_.size()); }

    // Where blip i's centre is, in the item's coordinates.
    Q_INVOKABLE QPointF centreOf(int i) const;
    // How far blip i's current ping has come, eased: 0 small and visible, 1 grown and gone.
    Q_INVOKABLE qreal pingOf(int i) const;
    // The clock's time when blip i was first shown.
    Q_INVOKABLE qreal pingStartOf(int i) const;

signals:
    void bearingsChanged();
    void colorChanged();
    void radiusChanged();
    void clockChanged();
    void countChanged();

protected:
    QSGNode* updatePaintNode(QSGNode* old, UpdatePaintNodeData*) override;

private:
    struct Blip {
        double bearing;
        double pingStart;
    };

    void readBearings();
    void take(const std::vector<double>& bearings);

    QVariant bearingsValue_;
    QPointer<BearingListModel> model_;
    std::vector<Blip> blips_;
    QColor color_ = Qt::white;
    qreal radius_ = 0;
    qreal clock_ = 0;
    bool picturesStale_ = true;  // the colour changed since the pictures were painted
};

}  // namespace glintward
