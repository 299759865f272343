// SPDX-License-Identifier: GPL-3.0-or-later
// The decoder of the programmer's output for any bytes, cut anywhere, in
// UTF-8 and in ANSI code pages of one and two bytes: the text does not depend
// on where the chunks end, holds no NUL and no "\r", keeps in order every
// character that cannot be part of another (and, in UTF-8, every
// well-formed one), and never comes out empty for bytes that are not.
//
// The input's first byte tells how many of the following bytes are chunk
// lengths (its low four bits; 0 gives a single chunk) and the encoding (the
// next three bits, 0 for UTF-8); the lengths are used in turn, a 0 feeding an
// empty chunk, and the rest of the input is the stream.
#include "fuzzcheck.h"
#include "outputdecoder.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstddef>
#include <cstdint>

namespace {

// The code points of the well-formed UTF-8 characters in `bytes`, in order,
// with every byte that does not belong to one skipped. A NUL shows as U+FFFD,
// as the decoder promises.
QVector<uint> wellFormedCharacters(const QByteArray &bytes)
{
    QVector<uint> found;
    const auto at = [&bytes](int i) {
        return static_cast<unsigned char>(bytes.at(i));
    };
    const auto inRange = [](unsigned char b, unsigned char low, unsigned char high) {
        return b >= low && b <= high;
    };
    int i = 0;
    while (i < bytes.size()) {
        const unsigned char lead = at(i);
        int length = 0;
        unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
        if (lead < 0x80) {
            length = 1;
        } else if (inRange(lead, 0xC2, 0xDF)) {
            length = 2;
        } else if (inRange(lead, 0xE0, 0xEF)) {
            length = 3;
            if (lead == 0xE0)
                low = 0xA0; // no overlong forms
            else if (lead == 0xED)
                high = 0x9F; // no surrogates
        } else if (inRange(lead, 0xF0, 0xF4)) {
            length = 4;
            if (lead == 0xF0)
                low = 0x90; // no overlong forms
            else if (lead == 0xF4)
                high = 0x8F; // nothing above U+10FFFF
        }
        bool complete = length > 0 && i + length <= bytes.size();
        for (int k = 1; complete && k < length; ++k)
            complete = k == 1 ? inRange(at(i + k), low, high) : inRange(at(i + k), 0x80, 0xBF);
        if (!complete) {
            ++i;
            continue;
        }
        uint code = length == 1 ? lead : lead & (0xFF >> (length + 1));
        for (int k = 1; k < length; ++k)
            code = (code << 6) | (at(i + k) & 0x3F);
        found.append(code == 0 ? uint(QChar::ReplacementCharacter) : code);
        i += length;
    }
    return found;
}

// The characters of the bytes below 0x40, which stand for themselves in UTF-8
// and in every ANSI code page; a NUL shows as U+FFFD.
QVector<uint> singleByteCharacters(const QByteArray &bytes)
{
    QVector<uint> found;
    for (const char byte : bytes) {
        const auto code = static_cast<unsigned char>(byte);
        if (code < 0x40)
            found.append(code == 0 ? uint(QChar::ReplacementCharacter) : code);
    }
    return found;
}

// `characters` with their line ends as the decoder gives them: a run of
// "\r" with or without a "\n" after it becomes one "\n".
QVector<uint> asLines(const QVector<uint> &characters)
{
    QVector<uint> lines;
    for (int i = 0; i < characters.size();) {
        if (characters.at(i) != '\r') {
            lines.append(characters.at(i++));
            continue;
        }
        while (i < characters.size() && characters.at(i) == '\r')
            ++i;
        if (i < characters.size() && characters.at(i) == '\n')
            ++i;
        lines.append('\n');
    }
    return lines;
}

// Whether `characters` appear in `text` in this order, perhaps with other
// characters between them.
bool appearInOrder(const QVector<uint> &characters, const QString &text)
{
    const QVector<uint> codes = text.toUcs4();
    int next = 0;
    for (int i = 0; i < codes.size() && next < characters.size(); ++i) {
        if (codes.at(i) == characters.at(next))
            ++next;
    }
    return next == characters.size();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const char *const encodings[]
        = {"UTF-8", "windows-1252", "windows-1251", "GBK", "Shift_JIS", "Big5", "windows-949", "UTF-8"};
    const QByteArray encoding(encodings[(data[0] >> 4) & 0x07]);
    const bool utf8 = encoding == "UTF-8";
    const size_t lengthCount = qMin<size_t>(data[0] & 0x0F, size - 1);
    const uint8_t *lengths = data + 1;
    const QByteArray stream(
        reinterpret_cast<const char *>(data + 1 + lengthCount), static_cast<int>(size - 1 - lengthCount));

    OutputDecoder whole(encoding);
    FUZZ_CHECK(whole.isValid());
    QString expected = whole.decode(stream);
    expected += whole.finish();

    bool anyLength = false;
    for (size_t k = 0; k < lengthCount; ++k)
        anyLength = anyLength || lengths[k] != 0;

    OutputDecoder chunked(encoding);
    QString text;
    int position = 0;
    if (anyLength) {
        for (size_t k = 0; position < stream.size(); k = (k + 1) % lengthCount) {
            const int length = qMin<int>(lengths[k], stream.size() - position);
            text += chunked.decode(stream.mid(position, length));
            position += length;
        }
    } else {
        text += chunked.decode(stream);
    }
    text += chunked.finish();

    FUZZ_CHECK(text == expected);
    FUZZ_CHECK(!text.contains(QChar(0)));
    FUZZ_CHECK(!text.contains(QLatin1Char('\r')));
    FUZZ_CHECK(stream.isEmpty() == text.isEmpty());
    // Every UTF-16 unit comes from at least one byte.
    FUZZ_CHECK(text.size() <= stream.size());
    // Nothing is lost: the bytes that are characters of their own in every
    // encoding all arrive, and in UTF-8 every well-formed character.
    FUZZ_CHECK(appearInOrder(asLines(singleByteCharacters(stream)), text));
    if (utf8)
        FUZZ_CHECK(appearInOrder(asLines(wellFormedCharacters(stream)), text));

    // A decoder that is reset forgets what an earlier stream left behind.
    chunked.decode(stream.right(1));
    chunked.reset();
    QString again = chunked.decode(stream);
    again += chunked.finish();
    FUZZ_CHECK(again == expected);
    return 0;
}
