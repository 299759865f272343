// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef KIVERLO_RUNCLOCK_H
#define KIVERLO_RUNCLOCK_H

#include <QtGlobal>

#include <functional>

// The clock the window times a programmer's run by: milliseconds from an
// arbitrary start, never going back (the system's monotonic clock, which a
// change of the wall clock does not move).
namespace RunClock {

qint64 now();

// Takes the time from `source` instead, so that tests can move a run's time
// on without waiting for it. An empty function restores the system's clock.
void setSource(std::function<qint64()> source);

} // namespace RunClock

#endif
