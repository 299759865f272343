// SPDX-License-Identifier: GPL-3.0-or-later
#include "outputdecoder.h"

#include <QtGlobal>
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
#include <QStringDecoder>
#else
#include <QTextCodec>
#endif

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#include <cstring>
#include <optional>

// Why Qt's decoders are only ever given whole characters, and the stream is
// kept here: their own state across calls does not keep the text independent
// of where the chunks end. Qt 5's UTF-8 decoder gives a different number of
// U+FFFD for a broken sequence depending on the cut; Qt 6.4's drops the byte
// that follows a broken sequence cut between chunks. On Windows, Qt 5's
// system codec drops a NUL at the end of a chunk and stops at an embedded
// NUL after an invalid byte, and its double-byte codecs swallow the byte
// after a lead byte that has no valid second byte, even a line feed. So the
// stream is cut only between whole characters, and the bytes that are the
// same in every encoding we decode are decoded here, not by Qt.

namespace {

// Below 0x40 every byte is the ASCII character in all ANSI code pages and in
// UTF-8: none of them is ever part of a multi-byte character (the second
// byte of a double-byte character is 0x40 or above).
bool isSingleInEveryEncoding(unsigned char byte)
{
    return byte < 0x40;
}

QChar fromSingleByte(unsigned char byte)
{
    return byte == 0 ? QChar(QChar::ReplacementCharacter) : QChar(ushort(byte));
}

// Length of the sequence a UTF-8 lead byte announces; 0 for a byte that
// cannot start a multi-byte sequence.
int utf8SequenceLength(unsigned char lead)
{
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

bool isUtf8Continuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// How many bytes at the end form the start of a UTF-8 sequence that is not
// complete yet.
int utf8IncompleteTail(const char *data, int size)
{
    // A sequence is at most four bytes, so its lead is among the last three.
    for (int back = 1; back <= 3 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(data[size - back]);
        if (isUtf8Continuation(byte))
            continue;
        const int needed = utf8SequenceLength(byte);
        return needed > back ? back : 0;
    }
    return 0;
}

QString utf8ToText(const char *data, int size)
{
    // fromUtf8() drops a byte order mark at the very start of what it is
    // given. Here that start is only where a piece happens to begin, so a
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

// One encoding: Qt's converter for it and what is needed to cut a stream of
// it between whole characters.
class OutputDecoder::Codec
{
public:
    Codec(const QByteArray &name, bool systemFallback)
    {
        valid = open(name);
        const bool system = !valid && systemFallback;
        if (system)
            valid = openSystem();
        if (!valid || isUtf8)
            return;
        doubleByte = system ? markSystemLeadBytes() : markLeadBytes(name) || markLeadBytes(canonicalName());
    }

    bool valid = false;

    // The text of `size` bytes that hold whole characters.
    QString toText(const char *data, int size) const
    {
        if (isUtf8)
            return utf8ToText(data, size);
        // The bytes that are the same in every encoding go around Qt's
        // converter, which then never sees a NUL, and in a double-byte code
        // page never a line end after a broken character.
        QString text;
        text.reserve(size);
        int start = 0;
        for (int i = 0; i <= size; ++i) {
            const bool end = i == size;
            const auto byte = end ? 0 : static_cast<unsigned char>(data[i]);
            if (!end && !(doubleByte ? isSingleInEveryEncoding(byte) : byte == 0))
                continue;
            if (i > start) {
                // A lead byte before a single byte has lost its partner.
                const int broken = incompleteTail(data + start, i - start);
                text += convert(data + start, i - start - broken);
                if (broken)
                    text += QChar(QChar::ReplacementCharacter);
            }
            if (!end)
                text += fromSingleByte(byte);
            start = i + 1;
        }
        return text;
    }

    // How many bytes at the end start a character that is not complete yet.
    int incompleteTail(const char *data, int size) const
    {
        if (isUtf8)
            return utf8IncompleteTail(data, size);
        if (!doubleByte)
            return 0;
        // A byte that cannot lead always ends a character, so from there on
        // lead bytes pair up: an odd run of them at the end leaves the last
        // one waiting for its second byte.
        int run = 0;
        while (run < size && lead[static_cast<unsigned char>(data[size - 1 - run])])
            ++run;
        return run % 2;
    }

private:
    // The lead bytes of the double-byte ANSI code pages, which are all the
    // code pages Windows has with characters of more than one byte. In
    // 932 (Japanese) the bytes A1 to DF are characters of their own.
    bool markLeadBytes(const QByteArray &name)
    {
        static const char *const japanese[] = {"shift_jis", "sjis", "ms_kanji", "windows-31j", "cp932", "windows-932"};
        static const char *const otherDoubleByte[] = {"gbk", "cp936", "ms936", "windows-936", "gb2312", "windows-949",
            "cp949", "euc-kr", "uhc", "big5", "cp950", "windows-950", "big5-hkscs"};
        const QByteArray lower = name.toLower();
        for (const char *known : japanese) {
            if (lower == known) {
                for (int byte = 0x81; byte <= 0xFC; ++byte)
                    lead[byte] = byte <= 0x9F || byte >= 0xE0;
                return true;
            }
        }
        for (const char *known : otherDoubleByte) {
            if (lower == known) {
                for (int byte = 0x81; byte <= 0xFE; ++byte)
                    lead[byte] = true;
                return true;
            }
        }
        return false;
    }

    bool markSystemLeadBytes()
    {
        bool any = false;
#ifdef Q_OS_WIN
        for (int byte = 0x80; byte <= 0xFF; ++byte)
            any |= lead[byte] = IsDBCSLeadByteEx(CP_ACP, BYTE(byte)) != 0;
#endif
        return any;
    }

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    bool open(const QByteArray &name)
    {
        if (QStringConverter::encodingForName(name.constData()) == QStringConverter::Utf8)
            return isUtf8 = true;
        decoder.emplace(name.constData(), kFlags);
        return decoder->isValid();
    }
    bool openSystem()
    {
        decoder.emplace(QStringConverter::System, kFlags);
        return decoder->isValid();
    }
    QByteArray canonicalName() const
    {
        return QByteArray(decoder->name());
    }
    QString convert(const char *data, int size) const
    {
        decoder->resetState();
        return decoder->decode(QByteArrayView(data, size));
    }
    static constexpr QStringConverter::Flags kFlags
        = QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom;
    mutable std::optional<QStringDecoder> decoder;
#else
    bool open(const QByteArray &name)
    {
        codec = QTextCodec::codecForName(name);
        // Qt names a few code pages "CP<number>" only (874, 950).
        if (!codec && name.startsWith("windows-"))
            codec = QTextCodec::codecForName("CP" + name.mid(8));
        isUtf8 = codec && codec->mibEnum() == 106;
        return codec;
    }
    bool openSystem()
    {
        codec = QTextCodec::codecForLocale();
        isUtf8 = codec && codec->mibEnum() == 106;
        return codec;
    }
    QByteArray canonicalName() const
    {
        return codec->name();
    }
    QString convert(const char *data, int size) const
    {
        return codec->toUnicode(data, size);
    }
    QTextCodec *codec = nullptr;
#endif
    bool isUtf8 = false;
    bool doubleByte = false;
    bool lead[256] = {};
};

OutputDecoder::OutputDecoder()
#ifdef Q_OS_WIN
    // Should Qt not know the code page by name, its system codec is that
    // code page too.
    : codec(new Codec(programmerEncoding(), true))
#else
    : codec(new Codec(programmerEncoding(), false))
#endif
{
    known = codec->valid;
}

OutputDecoder::OutputDecoder(const QByteArray &encoding)
    : codec(new Codec(encoding, false))
{
    known = codec->valid;
    if (!known)
        codec.reset(new Codec(QByteArrayLiteral("UTF-8"), false));
}

OutputDecoder::~OutputDecoder() = default;

QByteArray OutputDecoder::programmerEncoding()
{
#ifdef Q_OS_WIN
    // A C program's text is in the ANSI code page. Qt names it after Windows,
    // except for Japanese and for UTF-8 (a Windows option).
    const UINT codePage = GetACP();
    if (codePage == CP_UTF8)
        return QByteArrayLiteral("UTF-8");
    if (codePage == 932)
        return QByteArrayLiteral("Shift_JIS");
    return QByteArrayLiteral("windows-") + QByteArray::number(uint(codePage));
#else
    return QByteArrayLiteral("UTF-8");
#endif
}

bool OutputDecoder::isValid() const
{
    return known;
}

void OutputDecoder::reset()
{
    pending.clear();
    carriageReturnHeld = false;
}

QString OutputDecoder::decode(const QByteArray &chunk)
{
    const QByteArray bytes = pending.isEmpty() ? chunk : pending + chunk;
    const int held = codec->incompleteTail(bytes.constData(), bytes.size());
    pending = bytes.right(held);
    return normaliseLineEnds(codec->toText(bytes.constData(), bytes.size() - held), false);
}

QString OutputDecoder::finish()
{
    // What is held back is the start of one character that never ended.
    QString text;
    if (!pending.isEmpty())
        text = QChar(QChar::ReplacementCharacter);
    pending.clear();
    return normaliseLineEnds(text, true);
}

QString OutputDecoder::normaliseLineEnds(QString text, bool atEnd)
{
    if (carriageReturnHeld) {
        text.prepend(QLatin1Char('\r'));
        carriageReturnHeld = false;
    }
    // Returns at the end may still be followed by "\n" in the next chunk.
    if (!atEnd && text.endsWith(QLatin1Char('\r'))) {
        while (text.endsWith(QLatin1Char('\r')))
            text.chop(1);
        carriageReturnHeld = true;
    }
    return unifiedLineEnds(text);
}

QString OutputDecoder::unifiedLineEnds(const QString &text)
{
    if (!text.contains(QLatin1Char('\r')))
        return text;
    // A run of "\r", with or without a "\n" after it, ends one line: Windows
    // programs also print "\r\r\n" where a system message that ends in
    // "\r\n" meets their own line end.
    QString lines;
    lines.reserve(text.size());
    const int size = text.size();
    for (int i = 0; i < size;) {
        if (text.at(i) != QLatin1Char('\r')) {
            lines += text.at(i++);
            continue;
        }
        while (i < size && text.at(i) == QLatin1Char('\r'))
            ++i;
        if (i < size && text.at(i) == QLatin1Char('\n'))
            ++i;
        lines += QLatin1Char('\n');
    }
    return lines;
}
