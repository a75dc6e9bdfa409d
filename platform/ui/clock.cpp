#include "platform/ui/clock.h"

#include "platform/ui/winuser.h"
#include "platform/win/thread.h"

namespace orvui {

namespace {

class TickClock : public Clock {
 public:
  ULONGLONG NowMs() const override { return GetTickCount64(); }
};

TickClock g_tickClock;
std::atomic<Clock*> g_clock{nullptr};

}  // namespace

Clock& CurrentClock() {
  Clock* c = g_clock.load();
  return c ? *c : g_tickClock;
}

Clock* SetClock(Clock* clock) {
  Clock* previous = g_clock.exchange(clock);
  WakeAllMessageLoops();
  return previous;
}

void ManualClock::Advance(ULONGLONG milliseconds) {
  now_ += milliseconds;
  WakeAllMessageLoops();
}

}  // namespace orvui
