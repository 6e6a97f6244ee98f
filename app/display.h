// The display timer: every 100 ms on the main thread it takes the worker's pending post from
// g_stat, if any, and shows it in the list and the progress bar of wndMain. The worker never
// touches the window itself.
#pragma once

#include "app/services.h"

class QTimer;

inline constexpr int kTimerIntervalMs = 100;

// Takes at most one post and acts on it, in this order:
// - a row change: under g_lock, scrolls the request's row into view (centred, selection left
//   alone) and refreshes its state cell, and for a request that ended "Compressed" or
//   "Expanded" also its result and ratio cells; then resets the progress bar to 0;
// - a new progress maximum;
// - a new progress value.
// Once g_stat.bQuit is set it changes nothing, even with a post pending. A control that cannot
// be found is skipped; the post is consumed all the same.
void TimerCallback();

// Starts a timer that runs TimerCallback every kTimerIntervalMs on the calling (main) thread,
// owned by `parent`. kStatusStartFailed, with `*timer` null, when it does not run.
Status InstallDisplayTimer(QObject* parent, QTimer** timer);
