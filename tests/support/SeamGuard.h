#pragma once
// Every process-wide seam a test can replace, put back as it was found.
//
// Make one in init() and drop it in cleanup() (a std::optional member does
// it), so a clock, scheduler, ubiquity backend, service hook or alert that a
// case installed never leaks into the next case:
//
//     void init() { m_seams.emplace(); ... }
//     void cleanup() { ...; m_seams.reset(); }
//
// Seams installed in initTestCase() are what the guard finds, so they stay.
// The caches filled from the settings (the library folders, the synced
// folder) and the drops' remembered failures are forgotten as well: the next
// case reads its own settings afresh. A hook only tests set (the library
// move hook) goes back to none.

#include <memory>

namespace vellora {

class SeamGuard {
public:
    SeamGuard();
    ~SeamGuard();
    SeamGuard(const SeamGuard &) = delete;
    SeamGuard &operator=(const SeamGuard &) = delete;

private:
    struct Saved;
    std::unique_ptr<Saved> m_saved;
};

} // namespace vellora
