// The fault sweep, over whichever registry store the test mounts.
#ifndef TESSARIL_TESTS_FAULT_SWEEP_H
#define TESSARIL_TESTS_FAULT_SWEEP_H

#include <functional>
#include <string>

struct SweepStore {
    // Called after the in-memory platform is reset: mounts the store for the
    // scenario named and sets it up with setUp (which uses the memplat
    // registry helpers, so works on any mounted store).
    std::function<void(const char *scenario, const std::function<void()> &setUp)> prepare;
    // The whole registry as bytes, for telling that a run left it untouched.
    std::function<std::string()> image;
};

// Sweeps the three scenarios over the store; returns the number of failing
// runs made.
long RunFaultSweep(const SweepStore &store);

#endif
