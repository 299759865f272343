// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef KIVERLO_VERDICT_H
#define KIVERLO_VERDICT_H

#include <QString>

// Watches the programmer's output of one run for the text it prints after a
// successful, verified write of flash. Only what the programmer sent counts,
// never our own echo of the command, and the text is found even when it
// arrives split across chunks.
class VerdictScanner
{
public:
    static QLatin1String successText() { return QLatin1String("flash verified"); }

    void reset();
    void feed(const QString &text);
    bool verified() const { return found; }

private:
    // The last characters seen, too few to hold the whole success text, in
    // case it continues in the next piece.
    QString tail;
    bool found = false;
};

#endif
