#pragma once
// Every value the panel derives from the model's published state and the preferences, as plain functions so
// that the views only lay them out and the rules can be tested without drawing anything.

#include <QLocale>
#include <QRgb>
#include <QString>
#include <QTimeZone>
#include <cstdint>
#include <string>
#include <vector>

#include "shared/detection/Alerting.h"
#include "shared/detection/Records.h"
#include "shared/detection/SignatureDatabase.h"
#include "shared/record/Set.h"

namespace glintward {

// ---- radar page -----------------------------------------------------------------------------------------

// The dial's two timing curves at progress t (0 to 1, clamped), for motion stepped by a clock of its own: ease
// in and out (0.42, 0, 0.58, 1) and ease out (0, 0, 0.58, 1).
double easeInOut(double t);
double easeOut(double t);

struct RadarStatus {
    QString label;
    QString explainer;
    QRgb color;
};

// The first rule that holds wins: Bluetooth off, then not scanning, then the threat level.
RadarStatus radarStatus(bool bluetoothOff, bool scanning, ThreatLevel threatLevel);

// With Bluetooth off the title is drawn in primary text rather than the (idle) status colour.
QRgb statusTitleColor(bool bluetoothOff, QRgb statusColor);

// The dial sweeps only while scanning with Bluetooth on.
bool dialScanning(bool scanning, bool bluetoothOff);

// The engine's flag lags a toggle by one publish; the user's muted set does not, so either counts.
bool countsAsMuted(const Detection& detection, const Set<std::string>& mutedAddresses);
int unmutedCount(const std::vector<Detection>& detections, const Set<std::string>& mutedAddresses);

// One bearing per unmuted detection, spread by 74 degrees from -60; they say how many, never where.
std::vector<double> blipBearings(bool bluetoothOff, int unmutedCount);

// ---- detection card and session-log row -----------------------------------------------------------------

// "In the room (~3.2 m)": always one decimal with a point, whatever the locale.
QString proximityLabel(Proximity proximity, double estimatedDistanceMeters);

// The smoothed signal truncated toward zero; non-finite values read 0, values beyond 64 bits saturate.
std::int64_t signalReadingDbm(double smoothedRssi);
QString signalReading(double smoothedRssi);

// Lit segments of the signal meter: -90 dBm lights none, -40 dBm all, linear between, halves away from zero.
int filledSegments(double smoothedRssi, int segments);

// The time of day in hours and minutes, in the locale's short style (its order, clock and separators, never
// seconds) and the given zone.
QString shortLocalTime(std::int64_t ms, const QLocale& locale = QLocale::system(),
                       const QTimeZone& zone = QTimeZone::systemTimeZone());
QString sessionLogLine(std::int64_t firstSeenMs, std::int64_t lastSeenMs, std::int32_t strongestRssi,
                       const QLocale& locale = QLocale::system(),
                       const QTimeZone& zone = QTimeZone::systemTimeZone());

// ---- settings page --------------------------------------------------------------------------------------

int identifierCount(const DeviceSignature& signature);
QString signatureSubtitle(const DeviceSignature& signature);
QString catalogueVersionText(std::int32_t version);
QString thresholdReading(AlertThreshold threshold);

// ---- what is drawn --------------------------------------------------------------------------------------
// The texts above are the product's own and stay exact for everything but drawing. Drawn, a name from outside
// is isolated (U+2068 ... U+2069) so that a right-to-left brand cannot reorder the words around it or turn
// the whole line's direction, and a value keeps its unit and its label with no-break spaces.

QString isolated(const QString& name);
// Each clause ("First seen 14:05", "last 14:20", "peak -80 dBm") stays on one line; lines break only
// after a separating dot.
QString drawnSessionLogLine(std::int64_t firstSeenMs, std::int64_t lastSeenMs, std::int32_t strongestRssi,
                            const QLocale& locale = QLocale::system(),
                            const QTimeZone& zone = QTimeZone::systemTimeZone());
QString drawnSignatureSubtitle(const DeviceSignature& signature);

}  // namespace glintward
