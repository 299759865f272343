// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef KIVERLO_VERDICT_H
#define KIVERLO_VERDICT_H

#include <QString>
#include <QStringList>

#include <vector>

// Watches the programmer's output of one run for its report of a verified
// write: a line of its own such as "avrdude: 924 bytes of flash verified".
//
// The programmer repeats in its messages what it was handed, above all the
// file's path ("reading input file ...", "read from file ... failed"), so a
// folder named "flash verified" must not make a failed run look good. Two
// things keep that out: the values the tool handed the programmer are blanked
// wherever they appear in its output, and the report must fill a whole line.
// Both work on the stream as it arrives, piece by piece, and find the report
// and the values however they are cut between pieces.
//
// The stream is the decoded output (OutputDecoder), whose lines end in "\n"
// alone; the values are looked for as that decoding shows them.
class VerdictScanner
{
public:
    // The words the programmer's report of a verified write ends with.
    static QLatin1String successText()
    {
        return QLatin1String("flash verified");
    }

    // Whether one line of output (without its line break) is the programmer's
    // report of a verified write: "<N> bytes of flash verified" ("1 byte" for
    // one), alone or after the program's name and a colon, as avrdude's
    // releases print it.
    static bool reportsVerifiedWrite(const QString &line);

    // Starts a new run. `handedValues` are the texts the tool gave the
    // programmer, exactly as it gave them (UploadInvocation::handedValues);
    // empty ones are ignored.
    void reset(const QStringList &handedValues = QStringList());
    void feed(const QString &text);
    // End of the stream: what is left, the last line among it, is judged.
    void finish();
    bool verified() const
    {
        return found;
    }

private:
    struct Mask
    {
        QString value;
        // Where the value next occurs in `pending` at or after the scan
        // position: -1 not known yet, -2 not there.
        int next = -1;
    };
    void takeLines(const QString &text, int from, int to);
    void endLine();

    std::vector<Mask> masks;
    int longestMask = 0;
    // Output not yet taken into lines: it may still turn out to be the start
    // of a handed value.
    QString pending;
    // The line being read; a line longer than any report is not kept.
    QString line;
    bool lineTooLong = false;
    bool found = false;
};

#endif
