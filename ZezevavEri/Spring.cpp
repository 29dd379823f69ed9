#include "Spring.h"

#include <algorithm>
#include <cmath>

namespace zezevaveri {

double sanitizedAspect(double aspect)
{
    if (!std::isfinite(aspect) || aspect <= 0)
        return 1.0;
    return std::clamp(aspect, 1e-4, 1e4);
}

double SpringMotion::settlingDuration(double initialVelocity) const
{
    return SpringCurve(*this, initialVelocity).settlingDuration();
}

SpringCurve::SpringCurve(double mass, double stiffness, double damping, double initialVelocity)
{
    // A spring without mass or stiffness has no motion to speak of; give it a
    // stiff, critically damped stand-in rather than dividing by zero.
    if (!(mass > 0) || !std::isfinite(mass))
        mass = 1.0;
    if (!(stiffness > 0) || !std::isfinite(stiffness))
        stiffness = 100.0;
    if (!(damping >= 0) || !std::isfinite(damping))
        damping = 2.0 * std::sqrt(mass * stiffness);
    m_omega = std::sqrt(stiffness / mass);
    m_zeta = damping / (2.0 * std::sqrt(stiffness * mass));
    m_velocity = std::isfinite(initialVelocity) ? initialVelocity : 0.0;
}

// Displacement y = progress - 1 solves y'' + 2ζω y' + ω² y = 0 with
// y(0) = -1 and y'(0) = v.
double SpringCurve::progress(double t) const
{
    if (t <= 0)
        return 0.0;
    const double w = m_omega, z = m_zeta, v = m_velocity;
    double y;
    if (z < 1.0 - 1e-9) {
        const double wd = w * std::sqrt(1.0 - z * z);
        const double a = -1.0, b = (v + z * w * a) / wd;
        y = std::exp(-z * w * t) * (a * std::cos(wd * t) + b * std::sin(wd * t));
    } else if (z <= 1.0 + 1e-9) {
        const double a = -1.0, b = v + w * a;
        y = (a + b * t) * std::exp(-w * t);
    } else {
        const double s = std::sqrt(z * z - 1.0);
        const double r1 = -w * (z - s), r2 = -w * (z + s);
        const double c2 = (v + r1) / (r2 - r1), c1 = -1.0 - c2;
        y = c1 * std::exp(r1 * t) + c2 * std::exp(r2 * t);
    }
    return 1.0 + y;
}

double SpringCurve::envelope(double t) const
{
    const double w = m_omega, z = m_zeta, v = m_velocity;
    if (z < 1.0 - 1e-9) {
        const double wd = w * std::sqrt(1.0 - z * z);
        const double b = (v - z * w) / wd;
        return std::sqrt(1.0 + b * b) * std::exp(-z * w * t);
    }
    if (z <= 1.0 + 1e-9)
        return (1.0 + std::abs(v - w) * t) * std::exp(-w * t);
    const double s = std::sqrt(z * z - 1.0);
    const double r1 = -w * (z - s), r2 = -w * (z + s);
    const double c2 = (v + r1) / (r2 - r1), c1 = -1.0 - c2;
    return std::abs(c1) * std::exp(r1 * t) + std::abs(c2) * std::exp(r2 * t);
}

double SpringCurve::settlingDuration(double epsilon) const
{
    if (m_zeta < 1.0 - 1e-9) {
        const double amplitude = envelope(0.0);
        if (amplitude <= epsilon)
            return 0.0;
        return std::log(amplitude / epsilon) / (m_zeta * m_omega);
    }
    // The envelope of the critical and overdamped cases falls monotonically
    // after its peak: step forward, then bisect the last step.
    double lo = 0.0, hi = 0.0, step = 1.0 / 240.0;
    const double limit = 600.0;
    while (hi < limit && (envelope(hi) > epsilon || (hi < 1.0 / m_omega))) {
        lo = hi;
        hi += step;
    }
    for (int i = 0; i < 40; ++i) {
        const double mid = 0.5 * (lo + hi);
        (envelope(mid) > epsilon ? lo : hi) = mid;
    }
    return hi;
}

double springSpeed(double settlingDuration, double duration)
{
    if (duration > 0.01 && settlingDuration > 0)
        return settlingDuration / duration;
    return 1.0;
}

double pageInitialVelocity(double velocity, double target, double current)
{
    const double distance = target - current;
    if (distance == 0 || !std::isfinite(distance) || !std::isfinite(velocity))
        return 0.0;
    return std::clamp(velocity / distance, 0.0, 12.0);
}

} // namespace zezevaveri
