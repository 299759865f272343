// SPDX-License-Identifier: GPL-3.0-or-later
#include "verdict.h"

#include "outputdecoder.h"

#include <QRegularExpression>

#include <algorithm>

namespace {
// A handed value, wherever the programmer repeats it, is replaced by this
// character, which no report contains.
constexpr QChar kBlank(QChar::ObjectReplacementCharacter);
// The longest line that can still be a report (a program name, a count and
// the words); longer lines are not kept.
constexpr int kLongestReport = 160;
} // namespace

bool VerdictScanner::reportsVerifiedWrite(const QString &line)
{
    // The program's name as avrdude prints it before its messages (no
    // blanks, no colon; never a blanked value), then the count.
    static const QRegularExpression report(
        QStringLiteral("^(?:[^\\s:\\x{FFFC}]+: )?[0-9]+ bytes? of flash verified\\s*$"));
    return line.size() <= kLongestReport && line.contains(successText()) && report.match(line).hasMatch();
}

void VerdictScanner::reset(const QStringList &handedValues)
{
    masks.clear();
    longestMask = 0;
    for (const QString &value : handedValues) {
        if (value.isEmpty())
            continue;
        // A value with a carriage return in it reaches us with that return
        // turned into a line feed, as all of the output does.
        const QString shown = OutputDecoder::unifiedLineEnds(value);
        masks.push_back(Mask {shown, -1});
        longestMask = std::max(longestMask, int(shown.size()));
    }
    pending.clear();
    line.clear();
    lineTooLong = false;
    found = false;
}

void VerdictScanner::feed(const QString &text)
{
    if (found || text.isEmpty())
        return;
    if (masks.empty()) {
        takeLines(text, 0, text.size());
        return;
    }
    pending += text;
    int from = 0;
    for (;;) {
        // The earliest handed value at or after `from`; at one place the
        // longest, since one value may begin another (a folder, a file in it).
        int at = -1;
        int length = 0;
        for (Mask &mask : masks) {
            if (mask.next == -1 || (mask.next >= 0 && mask.next < from)) {
                mask.next = pending.indexOf(mask.value, from);
                if (mask.next < 0)
                    mask.next = -2;
            }
            if (mask.next >= 0 && (at < 0 || mask.next < at || (mask.next == at && mask.value.size() > length))) {
                at = mask.next;
                length = mask.value.size();
            }
        }
        if (at < 0)
            break;
        takeLines(pending, from, at);
        takeLines(QString(kBlank), 0, 1);
        from = at + length;
    }
    // The end may be the start of a value that the next piece completes.
    const int keep = std::min(longestMask - 1, int(pending.size()) - from);
    takeLines(pending, from, pending.size() - keep);
    pending = pending.right(keep);
    for (Mask &mask : masks)
        mask.next = -1;
}

void VerdictScanner::finish()
{
    if (!found) {
        takeLines(pending, 0, pending.size());
        endLine();
    }
    pending.clear();
}

void VerdictScanner::takeLines(const QString &text, int from, int to)
{
    // The decoder has turned every line end, a progress bar's carriage
    // return included, into "\n".
    while (from < to && !found) {
        int end = from;
        while (end < to && text.at(end) != QLatin1Char('\n'))
            ++end;
        if (!lineTooLong) {
            if (line.size() + (end - from) > kLongestReport) {
                lineTooLong = true;
                line.truncate(0);
            } else {
                line.append(text.constData() + from, end - from);
            }
        }
        if (end == to)
            return;
        endLine();
        from = end + 1;
    }
}

void VerdictScanner::endLine()
{
    if (!lineTooLong && reportsVerifiedWrite(line))
        found = true;
    // Emptied, not freed: output has many short lines.
    line.truncate(0);
    lineTooLong = false;
}
