#include "common/Clock.h"

#include <atomic>
#include <chrono>
#include <mutex>

namespace ot {

TDateTime SystemClock::Now() const {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto secs = time_point_cast<seconds>(now);
    const auto ms = duration_cast<milliseconds>(now - secs).count();
    return UnixToLocalDateTime(secs.time_since_epoch().count()) + ms / MSecsPerDay;
}

std::int64_t SystemClock::UnixNow() const {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

struct FixedClock::State {
    mutable std::mutex Mutex;
    TDateTime Now = 0;
};

FixedClock::FixedClock(TDateTime now) : FState(std::make_shared<State>()) { FState->Now = now; }

TDateTime FixedClock::Now() const {
    std::lock_guard lock(FState->Mutex);
    return FState->Now;
}

std::int64_t FixedClock::UnixNow() const { return LocalDateTimeToUnix(Now()); }

void FixedClock::Set(TDateTime now) {
    std::lock_guard lock(FState->Mutex);
    FState->Now = now;
}

void FixedClock::AdvanceSeconds(double seconds) {
    std::lock_guard lock(FState->Mutex);
    FState->Now += seconds / 86400.0;
}

namespace {
std::mutex gClockMutex;
std::shared_ptr<const Clock>& ClockSlot() {
    static std::shared_ptr<const Clock> clock = std::make_shared<SystemClock>();
    return clock;
}
} // namespace

std::shared_ptr<const Clock> CurrentClock() {
    std::lock_guard lock(gClockMutex);
    return ClockSlot();
}

void SetClock(std::shared_ptr<const Clock> clock) {
    std::lock_guard lock(gClockMutex);
    ClockSlot() = clock ? std::move(clock) : std::make_shared<SystemClock>();
}

ScopedClock::ScopedClock(std::shared_ptr<const Clock> clock) : FPrevious(CurrentClock()) {
    SetClock(std::move(clock));
}

ScopedClock::~ScopedClock() { SetClock(FPrevious); }

} // namespace ot
