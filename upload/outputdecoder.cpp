// SPDX-License-Identifier: GPL-3.0-or-later
#include "outputdecoder.h"

#include <cstring>

namespace {

// Length of the sequence a UTF-8 lead byte announces; 0 for a byte that
// cannot start a multi-byte sequence.
int sequenceLength(unsigned char lead)
{
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

bool isContinuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// How many bytes at the end of `bytes` form the start of a multi-byte
// character that is not complete yet.
int incompleteTail(const QByteArray &bytes)
{
    const int size = bytes.size();
    // A sequence is at most four bytes, so its lead is among the last three.
    for (int back = 1; back <= 3 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(bytes.at(size - back));
        if (isContinuation(byte))
            continue;
        const int needed = sequenceLength(byte);
        return needed > back ? back : 0;
    }
    return 0;
}

QString toText(const char *data, int size)
{
    // fromUtf8() drops a byte order mark at the very start of what it is
    // given. Here that start is only where a chunk happens to begin, so a
    // U+FEFF there stays, as it does anywhere else in the stream.
    QString text;
    while (size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
        text += QChar(QChar::ByteOrderMark);
        data += 3;
        size -= 3;
    }
    // The (pointer, size) form decodes past NUL bytes instead of stopping.
    text += QString::fromUtf8(data, size);
    text.replace(QChar(0), QChar(QChar::ReplacementCharacter));
    return text;
}

} // namespace

void OutputDecoder::reset()
{
    pending.clear();
}

QString OutputDecoder::decode(const QByteArray &chunk)
{
    QByteArray bytes = pending.isEmpty() ? chunk : pending + chunk;
    const int held = incompleteTail(bytes);
    pending = bytes.right(held);
    return toText(bytes.constData(), bytes.size() - held);
}

QString OutputDecoder::finish()
{
    QString text = toText(pending.constData(), pending.size());
    pending.clear();
    return text;
}
