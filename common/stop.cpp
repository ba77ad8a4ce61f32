#include "common/stop.h"

#include <cstring>

std::atomic<int> StopSignal{0};

static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM};
constexpr size_t kSignals = sizeof kStopSignals / sizeof kStopSignals[0];

void AskToStop(int signal) {
  StopSignal.store(signal, std::memory_order_relaxed);
}

}  // namespace

RunStopped::RunStopped(int signal)
    : NabikError("The run was interrupted by " + SignalName(signal)), Signal(signal) {}

std::string SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "signal " + std::to_string(signal);
  }
}

tstophandlers::tstophandlers() {
  static_assert(sizeof saved_ / sizeof saved_[0] == kSignals);
  for (size_t k = 0; k < kSignals; ++k) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    // Restarted calls: the run's writes go through stdio and the shapefile library, which take
    // an interrupted write for a failed one.
    action.sa_flags = SA_RESTART;
    action.sa_handler = AskToStop;
    sigaction(kStopSignals[k], &action, &saved_[k]);
  }
}

tstophandlers::~tstophandlers() {
  for (size_t k = 0; k < kSignals; ++k) sigaction(kStopSignals[k], &saved_[k], nullptr);
}
