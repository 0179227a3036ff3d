#pragma once
// The process-wide clock. Everything that asks for "now" goes through here,
// so tests can fix the time instead of sleeping.

#include "common/DateTime.h"

#include <cstdint>
#include <memory>

namespace ot {

class Clock {
public:
    virtual ~Clock() = default;
    // Local date-time.
    virtual TDateTime Now() const = 0;
    // Seconds since 1970-01-01 UTC.
    virtual std::int64_t UnixNow() const = 0;
};

class SystemClock : public Clock {
public:
    TDateTime Now() const override;
    std::int64_t UnixNow() const override;
};

// A clock that shows a set time until told otherwise; safe across threads.
class FixedClock : public Clock {
public:
    explicit FixedClock(TDateTime now);
    TDateTime Now() const override;
    std::int64_t UnixNow() const override;
    void Set(TDateTime now);
    void AdvanceSeconds(double seconds);

private:
    struct State;
    std::shared_ptr<State> FState;
};

// The clock in use; the system clock unless a test installed another.
std::shared_ptr<const Clock> CurrentClock();
void SetClock(std::shared_ptr<const Clock> clock); // nullptr restores the system clock

inline TDateTime Now() { return CurrentClock()->Now(); }
inline std::int64_t UnixNow() { return CurrentClock()->UnixNow(); }

// Installs a clock for the lifetime of a scope (tests).
class ScopedClock {
public:
    explicit ScopedClock(std::shared_ptr<const Clock> clock);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    std::shared_ptr<const Clock> FPrevious;
};

} // namespace ot
