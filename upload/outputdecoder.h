// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef KIVERLO_OUTPUTDECODER_H
#define KIVERLO_OUTPUTDECODER_H

#include <QByteArray>
#include <QString>

#include <memory>

// Turns the programmer's output, which arrives in arbitrary chunks, into
// text as one stream in the encoding the programmer writes: a character cut
// between two chunks is held back until its remaining bytes arrive, and the
// text does not depend on where the chunks end. Invalid bytes become U+FFFD,
// and so does every NUL, so that no text after it is lost; a byte order mark
// is text like any other.
//
// Lines come out ended by "\n" alone: a "\r\n" (as Windows programs end
// their lines) becomes "\n" even when the two are cut apart, and so does a
// run of "\r" before a "\n" ("\r\r\n" in some of avrdude.exe's messages); a
// "\r" on its own becomes "\n" as well, which is how the console shows it
// anyway.
class OutputDecoder
{
public:
    // Decodes the encoding the programmer writes in on this platform.
    OutputDecoder();
    // Decodes the named encoding (as Qt names it, such as "windows-1251").
    // An encoding Qt does not know decodes as UTF-8; see isValid().
    explicit OutputDecoder(const QByteArray &encoding);
    ~OutputDecoder();
    OutputDecoder(const OutputDecoder &) = delete;
    OutputDecoder &operator=(const OutputDecoder &) = delete;

    // The encoding a C program such as the programmer uses for its messages:
    // on Windows the system's ANSI code page (for example "windows-1252"),
    // elsewhere UTF-8.
    static QByteArray programmerEncoding();

    // Whether the encoding asked for is the one decoded.
    bool isValid() const;

    // Forget any bytes held back from an earlier stream.
    void reset();
    // The text of `chunk`, together with any bytes held back before it.
    QString decode(const QByteArray &chunk);
    // End of stream: an incomplete character left over shows as U+FFFD.
    QString finish();

    // A whole text with its line ends as decode() gives them. Anything that
    // looks for a known text in the decoded output looks for it in this form.
    static QString unifiedLineEnds(const QString &text);

private:
    class Codec;
    QString normaliseLineEnds(QString text, bool atEnd);

    std::unique_ptr<Codec> codec;
    bool known = false;
    QByteArray pending;
    // The text so far ended in "\r"; whether a "\n" follows is not known
    // until the next character arrives.
    bool carriageReturnHeld = false;
};

#endif
