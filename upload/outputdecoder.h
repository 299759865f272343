// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef KIVERLO_OUTPUTDECODER_H
#define KIVERLO_OUTPUTDECODER_H

#include <QByteArray>
#include <QString>

// Turns the programmer's output, which arrives in arbitrary chunks, into
// text as one UTF-8 stream: a character cut between two chunks is held back
// until its remaining bytes arrive. Invalid bytes become U+FFFD, and so does
// every NUL, so that no text after it is lost.
class OutputDecoder
{
public:
    // Forget any bytes held back from an earlier stream.
    void reset();
    // The text of `chunk`, together with any bytes held back before it.
    QString decode(const QByteArray &chunk);
    // End of stream: an incomplete character left over shows as U+FFFD.
    QString finish();

private:
    QByteArray pending;
};

#endif
