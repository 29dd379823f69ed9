#pragma once
// The grid's public value types: what the application hands to a grid and
// how the grid is tuned. Plain values, compared field by field.

#include <QColor>
#include <QString>

namespace zezevaveri {

struct SpringMotion {
    double mass = 1.0;
    double stiffness = 100.0;
    double damping = 10.0;

    bool operator==(const SpringMotion &) const = default;

    // Seconds until the spring, released from rest, stays within a thousandth
    // of its travel. Animations play this whole curve, sped up to fit the
    // duration they are given.
    double settlingDuration(double initialVelocity = 0.0) const;
};

struct ScatterConfig {
    SpringMotion item{1.89, 200.67, 31.86};
    SpringMotion hover{3.0, 335.7, 28.39};
    double hoverScale = 1.02;
    double push = 800;
    double reach = 1000;
    int densityThreshold = 80;
    double openDuration = 0.3;
    double closeDuration = 0.3;
    double scatterDuration = 0.35;
    double cornerDuration = 0.34;
    double rowHeight = 150;
    double gap = 14;
    double cornerRadius = 6;
    double maxZoom = 8;
    QColor background = QColor(30, 30, 30);

    bool operator==(const ScatterConfig &) const = default;
};

struct ScatterItem {
    QString id;
    double aspect = 1.0;
    QString title;
    QString subtitle;
    int revision = 0;
    bool loading = false;
    bool external = false;

    bool operator==(const ScatterItem &) const = default;
};

} // namespace zezevaveri

// Strings and plain values only: lists of items move them as bytes.
Q_DECLARE_TYPEINFO(zezevaveri::ScatterItem, Q_RELOCATABLE_TYPE);

namespace zezevaveri {

// Width over height as the layout uses it: zero, negative and non-finite
// aspects count as square, and extremes are bounded so that no frame
// overflows.
double sanitizedAspect(double aspect);

} // namespace zezevaveri
