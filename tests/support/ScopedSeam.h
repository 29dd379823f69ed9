#pragma once
// Installs one of the process-wide seams that take a pointer (the clock, the
// main scheduler, the ubiquity backend) for the life of a scope, and puts the
// one it found back at its end, also when a failed check leaves the test
// early.

namespace vellora {

template <class Seam, Seam &(*Current)(), void (*Install)(Seam *)>
class ScopedSeam {
public:
    explicit ScopedSeam(Seam *seam) : m_found(&Current()) { Install(seam); }
    ~ScopedSeam() { Install(m_found); }
    ScopedSeam(const ScopedSeam &) = delete;
    ScopedSeam &operator=(const ScopedSeam &) = delete;

private:
    Seam *m_found;
};

} // namespace vellora
