// The clock of the message loop's timers. Programs run on the monotonic
// tick count; tests install a ManualClock and move time themselves, so no
// test sleeps through a real timer period.
#pragma once

#include <atomic>

#include "platform/win/types.h"

namespace orvui {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual ULONGLONG NowMs() const = 0;
  // A driven clock moves only when told to: loops then wait for a wake-up
  // instead of a time-out.
  virtual bool IsDriven() const { return false; }
};

// The installed clock (the tick count unless a test set another).
Clock& CurrentClock();
// Installs a clock for every loop of the process, or with null the tick
// count again; answers the previous one (null for the tick count). The
// clock must outlive its use.
Clock* SetClock(Clock* clock);

class ManualClock : public Clock {
 public:
  explicit ManualClock(ULONGLONG start = 0) : now_(start) {}
  ULONGLONG NowMs() const override { return now_.load(); }
  bool IsDriven() const override { return true; }
  // Moves time on and wakes every waiting message loop, whose due timers
  // then fire.
  void Advance(ULONGLONG milliseconds);

 private:
  std::atomic<ULONGLONG> now_;
};

}  // namespace orvui
