#pragma once
// Installs one of the process-wide seams that take a pointer (the clock, the
// main scheduler, the ubiquity backend) for the life of a scope, and puts the
// real one back at its end, also when a failed check leaves the test early.

namespace vellora {

template <class Seam, void (*Install)(Seam *)>
class ScopedSeam {
public:
    explicit ScopedSeam(Seam *seam) { Install(seam); }
    ~ScopedSeam() { Install(nullptr); }
    ScopedSeam(const ScopedSeam &) = delete;
    ScopedSeam &operator=(const ScopedSeam &) = delete;
};

} // namespace vellora
