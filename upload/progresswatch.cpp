// SPDX-License-Identifier: GPL-3.0-or-later
#include "progresswatch.h"

#include <algorithm>

namespace {
// Lines are compared by this many characters at most; the programmer's
// messages and progress bars are far shorter.
constexpr int kComparedLength = 256;
} // namespace

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
        const int end = text.indexOf(QLatin1Char('\n'), from);
        const int stop = end < 0 ? int(text.size()) : end;
        line += text.mid(from, std::min(stop - from, kComparedLength - int(line.size())));
        if (end < 0) {
            // A line still being printed: a growing progress bar moves on,
            // the start of a message printed just before does not.
            moved = moved || !isRecent(line, true);
            break;
        }
        moved = moved || !isRecent(line, false);
        remember(line);
        line.clear();
        from = end + 1;
    }
    return moved;
}

bool ProgressWatch::isRecent(const QString &text, bool asStart) const
{
    for (const QString &seen : recent) {
        if (asStart ? seen.startsWith(text) : seen == text)
            return true;
    }
    return false;
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
