#pragma once
// A damped spring between 0 and 1, the motion behind every tile animation.
// Velocities are fractions of the travel per second, as the layer model uses
// them.

#include "ScatterTypes.h"

namespace zezevaveri {

class SpringCurve {
public:
    SpringCurve() = default;
    SpringCurve(double mass, double stiffness, double damping, double initialVelocity = 0.0);
    explicit SpringCurve(const SpringMotion &motion, double initialVelocity = 0.0)
        : SpringCurve(motion.mass, motion.stiffness, motion.damping, initialVelocity) {}

    // Fraction of the travel covered after t seconds of the spring's own time.
    double progress(double t) const;
    // First time after which the spring stays within epsilon of its end.
    double settlingDuration(double epsilon = 1e-3) const;

private:
    // Upper bound of |1 - progress(t)|, falling monotonically.
    double envelope(double t) const;

    double m_omega = 10.0;   // undamped angular frequency
    double m_zeta = 1.0;     // damping ratio
    double m_velocity = 0.0; // initial velocity
};

// Playback speed that fits a spring's whole settling time into `duration`;
// durations of a hundredth of a second or less play at the spring's own pace.
double springSpeed(double settlingDuration, double duration);

// The pager's slide starts with the commit velocity, expressed as a fraction
// of the distance still to go and kept within [0, 12] so a short remaining
// slide never overshoots wildly.
double pageInitialVelocity(double velocity, double target, double current);

inline constexpr double kPageMass = 1.0;
inline constexpr double kPageStiffness = 640.0;
inline constexpr double kPageDamping = 45.536798306424664;

} // namespace zezevaveri
