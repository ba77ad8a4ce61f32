#pragma once
// A request to stop the run, made by a signal (SIGINT, SIGTERM) and answered at the run's safe
// points: between files, between blocks of a file being read or extracted. The handler only sets
// the number below, so the run ends through its own code: what it extracted is removed and every
// layer set stays whole.
#include <signal.h>

#include <atomic>
#include <string>

#include "common/errors.h"

// 0 while no stop is asked for; else the number of the signal that asked.
extern std::atomic<int> StopSignal;

// Raised at a safe point once a stop was asked for.
struct RunStopped : NabikError {
  explicit RunStopped(int signal);
  int Signal;
};

// Raises RunStopped when a stop was asked for.
inline void CheckStop() {
  if (const int signal = StopSignal.load(std::memory_order_relaxed)) throw RunStopped(signal);
}

// "SIGINT", "SIGTERM", or "signal N".
std::string SignalName(int signal);

// While alive, SIGINT and SIGTERM ask the run to stop instead of ending the process. The earlier
// dispositions are put back at the end. Nested ones are fine (the batch mode holds them from its
// start, the run for its length).
class tstophandlers {
 public:
  tstophandlers();
  ~tstophandlers();
  tstophandlers(const tstophandlers&) = delete;
  tstophandlers& operator=(const tstophandlers&) = delete;

 private:
  struct sigaction saved_[2];
};
