// Waiting in tests that share work with another thread: poll a condition with a generous bound
// instead of sleeping a fixed time that could race.
#pragma once

#include <chrono>

#include "support/xlock.h"

// Polls `done` every millisecond until it holds (true) or `seconds` have passed (false).
template <class Pred>
bool WaitUntil(Pred done, int seconds = 10) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    SleepCurrentThread(1);
  }
  return true;
}
