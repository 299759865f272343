// SPDX-License-Identifier: GPL-3.0-or-later
#include "progresswatch.h"

#include <algorithm>

void ProgressWatch::reset()
{
    recent.clear();
    nextSlot = 0;
    line.clear();
}

bool ProgressWatch::feed(const QString &text)
{
    bool moved = false;
    int from = 0;
    while (from < text.size()) {
        // The rest of the line being printed, its end included if it comes.
        const int end = int(text.indexOf(QLatin1Char('\n'), from));
        const int stop = end < 0 ? int(text.size()) : end + 1;
        const int taken = std::min(stop - from, ComparedLength - int(line.size()));
        if (taken > 0) {
            line += text.mid(from, taken);
            moved = moved || !startsARecentLine(line);
        }
        if (end >= 0) {
            remember(line);
            line.clear();
        }
        from = stop;
    }
    return moved;
}

bool ProgressWatch::startsARecentLine(const QString &text) const
{
    return std::any_of(recent.cbegin(), recent.cend(), [&text](const QString &seen) { return seen.startsWith(text); });
}

void ProgressWatch::remember(const QString &completeLine)
{
    if (recent.size() < RecentLines) {
        recent << completeLine;
        return;
    }
    recent[nextSlot] = completeLine;
    nextSlot = (nextSlot + 1) % RecentLines;
}
