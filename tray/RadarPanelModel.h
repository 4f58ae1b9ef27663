#pragma once
// What the radar page shows, derived from the radar model's published state, its muted set and its
// Bluetooth flag, and the operations its buttons call. The lists reach QML as models keyed by address that
// change rows in place, so a publish at advertisement rate redraws only what changed.

#include <QtQml/qqmlregistration.h>
#include <QColor>
#include <QObject>
#include <QString>
#include <functional>
#include <string>

#include "app/Views/ListModels.h"
#include "shared/detection/Records.h"
#include "shared/record/Set.h"

namespace glintward {

class RadarPanelModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")
    Q_PROPERTY(QString statusLabel READ statusLabel NOTIFY presentationChanged)
    Q_PROPERTY(QString explainer READ explainer NOTIFY presentationChanged)
    Q_PROPERTY(QColor statusColor READ statusColor NOTIFY presentationChanged)
    Q_PROPERTY(QColor titleColor READ titleColor NOTIFY presentationChanged)
    Q_PROPERTY(bool bluetoothOff READ bluetoothOff NOTIFY presentationChanged)
    Q_PROPERTY(bool scanning READ scanning NOTIFY presentationChanged)
    Q_PROPERTY(bool dialScanning READ dialScanning NOTIFY presentationChanged)
    Q_PROPERTY(int detectionCount READ detectionCount NOTIFY presentationChanged)
    Q_PROPERTY(int sessionLogCount READ sessionLogCount NOTIFY presentationChanged)
    Q_PROPERTY(glintward::DetectionListModel* detections READ detections CONSTANT)
    Q_PROPERTY(glintward::SessionLogListModel* sessionLog READ sessionLog CONSTANT)
    Q_PROPERTY(glintward::BearingListModel* blips READ blips CONSTANT)

public:
    // The model operations behind the buttons. `isScanning` reads the model's state at the moment of a tap.
    struct Actions {
        std::function<bool()> isScanning;
        std::function<void()> startScanning;
        std::function<void()> stopScanning;
        std::function<void(const std::string&)> toggleMute;
        std::function<void()> openSystemSettings;
        std::function<void()> quit;
        // Escape on the radar page: put the panel away, where that means something.
        std::function<void()> dismiss;
    };

    explicit RadarPanelModel(Actions actions, QObject* parent = nullptr);

    // Takes in what the model published; call it on every change of any of the three.
    void apply(const RadarState& state, const Set<std::string>& mutedAddresses, bool bluetoothOff);

    Q_INVOKABLE void toggleScanning();
    Q_INVOKABLE void toggleMute(const QString& address);
    Q_INVOKABLE void openSystemSettings();
    Q_INVOKABLE void quit();
    Q_INVOKABLE void dismiss();

    QString statusLabel() const { return presentation_.statusLabel; }
    QString explainer() const { return presentation_.explainer; }
    QColor statusColor() const { return QColor(presentation_.statusColor); }
    QColor titleColor() const { return QColor(presentation_.titleColor); }
    bool bluetoothOff() const { return presentation_.bluetoothOff; }
    bool scanning() const { return presentation_.scanning; }
    bool dialScanning() const { return presentation_.dialScanning; }
    int detectionCount() const { return presentation_.detectionCount; }
    int sessionLogCount() const { return presentation_.sessionLogCount; }
    DetectionListModel* detections() { return &detections_; }
    SessionLogListModel* sessionLog() { return &sessionLog_; }
    BearingListModel* blips() { return &blips_; }

signals:
    void presentationChanged();

private:
    struct Presentation {
        QString statusLabel;
        QString explainer;
        QRgb statusColor = 0;
        QRgb titleColor = 0;
        bool bluetoothOff = false;
        bool scanning = false;
        bool dialScanning = false;
        int detectionCount = 0;
        int sessionLogCount = 0;
        bool operator==(const Presentation&) const = default;
    };

    Actions actions_;
    Presentation presentation_;
    DetectionListModel detections_;
    SessionLogListModel sessionLog_;
    BearingListModel blips_;
};

}  // namespace glintward
