// SPDX-License-Identifier: GPL-3.0-or-later
#include "verdict.h"

void VerdictScanner::reset()
{
    tail.clear();
    found = false;
}

void VerdictScanner::feed(const QString &text)
{
    if (found || text.isEmpty())
        return;
    const int keep = successText().size() - 1;
    if (text.size() >= keep) {
        // Search the seam and the new text separately to avoid copying large
        // chunks; the seam is short.
        const QString seam = tail + text.left(keep);
        found = seam.contains(successText()) || text.contains(successText());
        tail = text.right(keep);
    } else {
        tail += text;
        found = tail.contains(successText());
        tail = tail.right(keep);
    }
}
