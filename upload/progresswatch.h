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
// whose device has vanished). So output counts as progress only where it
// differs from the last lines printed; the window stops a programmer that has
// shown none for a while.
//
// The text is the decoded output, its lines ended by "\n" alone.
class ProgressWatch
{
public:
    // How long, in seconds, a programmer may go without progress before the
    // window stops it.
    static constexpr int StallLimitSeconds = 30;
    // How many of the latest lines a repeat is looked for among.
    static constexpr int RecentLines = 16;

    // Starts a new run: nothing has been printed yet.
    void reset();
    // Takes the next piece of output; true when it shows progress.
    bool feed(const QString &text);

private:
    bool isRecent(const QString &text, bool asStart) const;
    void remember(const QString &completeLine);

    // The latest complete lines, oldest overwritten first.
    QStringList recent;
    int nextSlot = 0;
    // The line being printed, up to the length that is compared.
    QString line;
};

#endif
