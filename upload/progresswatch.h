// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef KIVERLO_PROGRESSWATCH_H
#define KIVERLO_PROGRESSWATCH_H

#include <QString>
#include <QStringList>

// Tells, from the programmer's output of one run, whether it is still
// getting somewhere. A programmer at work prints all the time: progress bars
// that grow or redraw with a new percentage, and a new line for each retry
// when a board does not answer. One whose board has gone either falls silent
// or prints the same few errors over and over (avrdude.exe does, on a port
// whose device has vanished). The window stops a programmer that has shown
// no progress for StallLimitSeconds.
//
// What counts as progress
// -----------------------
// The watch keeps the last RecentLines (16) lines of the output and the line
// being printed now, each cut to its first ComparedLength (256) characters;
// a line's end, "\n", is a character of the line like any other. A piece of
// output is progress when it adds characters to a line within the compared
// part, and the line as it then stands is the start of none of the last 16
// lines.
//
// That one rule reads out as:
// - A complete line is progress unless it is one of the last 16 lines
//   (with its end, a line is the start of another only when the two are the
//   same line).
// - An unfinished line is progress unless one of the last 16 lines starts
//   with it: a progress bar that grows, or a message the first time it is
//   printed, is new; a message printed just before, cut anywhere by the
//   pipe, is not.
// - Past its 256th character, nothing more of a line is compared, so nothing
//   more of it is progress: a programmer that prints one endless line stops
//   making progress there. (Its end comes after the 256th character too, so
//   two such lines that begin alike are the same line.)
// - Nothing printed, or only what was printed just before, is no progress.
// A programmer whose every line is new (a counter or a time stamp in each
// retry) always makes progress by this rule; the window's bound on the
// whole run (5 minutes) stops it.
//
// The text is the decoded output, with "\r\n" and a lone "\r" already turned
// into "\n" (see OutputDecoder).
//
// What that means for avrdude's output of a healthy upload, checked against
// a full upload of avrdude 7.1 (Debian 12 and 13) and 6.3 to the simulated
// board, and against the shape avrdude 8.x prints (tests/unit/tst_progresswatch.cpp):
// - Through a pipe, as the tool runs it, a bar is one line that grows a mark
//   at a time: "Writing | ", then a "#" for every 2 %, then " | 100% 2.23s".
//   Each mark leaves a line that no earlier line starts with: progress all
//   the way, the verify read's "Reading | ####..." included. avrdude 6.3
//   also prints a "Reading" bar for the signature, which the verify read's
//   bar repeats up to its time: 16 lines lie between the two, so the
//   signature's bar is just out of the last 16 when the verify read begins
//   (within them, the verify bar would count only from its time on).
// - On a terminal avrdude redraws its bar after a "\r" instead; each redraw is
//   then a line of its own, made new by its percentage or its time.
// - Its messages differ from one another within their first words, so a long
//   file name in them, cut off, changes nothing.
// - A board that does not answer: "attempt 3 of 10" differs from "attempt 2
//   of 10", progress. A port whose device has vanished: the same one or two
//   error lines again and again, no progress.
class ProgressWatch
{
public:
    // How long, in seconds, a programmer may go without progress before the
    // window stops it.
    static constexpr int StallLimitSeconds = 30;
    // How many of the latest lines a repeat is looked for among.
    static constexpr int RecentLines = 16;
    // How many characters of a line, its end included, are compared.
    static constexpr int ComparedLength = 256;

    // Starts a new run: nothing has been printed yet.
    void reset();
    // Takes the next piece of output; true when it shows progress.
    bool feed(const QString &text);

private:
    bool startsARecentLine(const QString &text) const;
    void remember(const QString &completeLine);

    // The latest lines, oldest overwritten first.
    QStringList recent;
    int nextSlot = 0;
    // The line being printed, as far as it is compared.
    QString line;
};

#endif
