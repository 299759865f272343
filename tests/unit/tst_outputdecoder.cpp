// SPDX-License-Identifier: GPL-3.0-or-later
// The programmer's output turned into text as one stream, whatever its
// chunks, in UTF-8 and in the ANSI code pages.
#include "outputdecoder.h"

#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {
// The encoding of the tests that do not name another; on Windows the
// programmer's own is the ANSI code page.
const QByteArray utf8("UTF-8");

// A whole stream: its text, then what its end adds, in that order.
QString decodeStream(OutputDecoder &decoder, const QByteArray &bytes)
{
    QString text = decoder.decode(bytes);
    text += decoder.finish();
    return text;
}

// `bytes` decoded as one chunk, cut at every place into two, and fed one
// byte at a time: the three texts, which must all be the same.
QStringList decodedEveryWay(const QByteArray &encoding, const QByteArray &bytes)
{
    QStringList texts;
    OutputDecoder whole(encoding);
    texts << decodeStream(whole, bytes);
    for (int cut = 0; cut <= bytes.size(); ++cut) {
        OutputDecoder decoder(encoding);
        QString joined = decoder.decode(bytes.left(cut));
        joined += decoder.decode(bytes.mid(cut));
        texts << joined + decoder.finish();
    }
    OutputDecoder decoder(encoding);
    QString byteByByte;
    for (char byte : bytes)
        byteByByte += decoder.decode(QByteArray(1, byte));
    texts << byteByByte + decoder.finish();
    return texts;
}
} // namespace

class TestOutputDecoder : public QObject
{
    Q_OBJECT

private slots:
    void decoderJoinsCharactersCutBetweenChunks();
    void decoderReplacesNulAndInvalidBytes();
    void decoderFinishAndReset();
    void decoderKeepsByteOrderMarkAtChunkStart();
    void decoderCodePages_data();
    void decoderCodePages();
    void decoderLineEnds_data();
    void decoderLineEnds();
    void decoderUnknownEncoding();
    void decoderPlatformEncoding();
};

void TestOutputDecoder::decoderJoinsCharactersCutBetweenChunks()
{
    const QString text = QStringLiteral("Schreibe € 𝄞 ä | 100% ✓\n");
    const QByteArray bytes = text.toUtf8();
    // Every cut point, and every byte on its own.
    for (int cut = 0; cut <= bytes.size(); ++cut) {
        OutputDecoder decoder(utf8);
        QString joined = decoder.decode(bytes.left(cut));
        joined += decoder.decode(bytes.mid(cut));
        joined += decoder.finish();
        QCOMPARE(joined, text);
    }
    OutputDecoder decoder(utf8);
    QString byteByByte;
    for (char byte : bytes)
        byteByByte += decoder.decode(QByteArray(1, byte));
    QCOMPARE(byteByByte + decoder.finish(), text);
}

void TestOutputDecoder::decoderReplacesNulAndInvalidBytes()
{
    const QChar replacement(QChar::ReplacementCharacter);
    OutputDecoder decoder(utf8);
    QCOMPARE(decoder.decode(QByteArray("ab\0cd\0\0e", 8)),
        QStringLiteral("ab") + replacement + QStringLiteral("cd") + replacement + replacement + QStringLiteral("e"));

    // A stray continuation byte and an impossible lead byte are shown, and
    // the text after them is intact.
    const QString invalid = decoder.decode(QByteArray("x\x80y\xFFz"));
    QCOMPARE(invalid, QStringLiteral("x") + replacement + QStringLiteral("y") + replacement + QStringLiteral("z"));

    // A lead byte followed by something that cannot continue it.
    QString broken = decoder.decode(QByteArray("\xE2"));
    broken += decoder.decode(QByteArray("A"));
    QVERIFY(broken.endsWith(QLatin1Char('A')));
    QVERIFY(broken.startsWith(replacement));
}

void TestOutputDecoder::decoderFinishAndReset()
{
    OutputDecoder decoder(utf8);
    QCOMPARE(decoder.decode(QByteArray("ok \xF0\x9D")), QStringLiteral("ok "));
    // The stream ends inside a character: it is shown, not dropped.
    const QString rest = decoder.finish();
    QVERIFY(!rest.isEmpty());
    QVERIFY(rest.count(QChar(QChar::ReplacementCharacter)) == rest.size());
    QCOMPARE(decoder.finish(), QString());

    // A new run starts clean: bytes held from the last one do not leak in.
    QCOMPARE(decoder.decode(QByteArray("\xC3")), QString());
    decoder.reset();
    QCOMPARE(decoder.decode(QByteArray("\xA4")), QString(QChar(QChar::ReplacementCharacter)));
}

void TestOutputDecoder::decoderKeepsByteOrderMarkAtChunkStart()
{
    // U+FEFF is text like any other: it must not vanish because a chunk
    // happens to begin with it, neither at the start of the stream nor later.
    const QChar mark(QChar::ByteOrderMark);
    const QString expected = QString(mark) + QStringLiteral("A") + mark + mark + QStringLiteral("B");
    const QByteArray encodedMark("\xEF\xBB\xBF");
    const QByteArray stream = encodedMark + "A" + encodedMark + encodedMark + "B";

    OutputDecoder whole(utf8);
    QCOMPARE(decodeStream(whole, stream), expected);

    OutputDecoder chunked(utf8);
    QString text = chunked.decode(stream.left(2));
    text += chunked.decode(stream.mid(2, 2));
    text += chunked.decode(stream.mid(4));
    text += chunked.finish();
    QCOMPARE(text, expected);
}

// The ANSI code pages a Windows programmer writes in, decoded on any
// platform: whole characters, wherever the chunks end, and the same
// replacements as in UTF-8.
void TestOutputDecoder::decoderCodePages_data()
{
    QTest::addColumn<QByteArray>("encoding");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    const QString replacement {QChar(QChar::ReplacementCharacter)};
    QTest::newRow("UTF-8") << QByteArray("UTF-8")
                           << QByteArray("C:/Gr\xC3\xBC\xC3\x9F"
                                         "e/\xD0\x96.hex")
                           << QStringLiteral("C:/Grüße/Ж.hex");
    QTest::newRow("windows-1252") << QByteArray("windows-1252")
                                  << QByteArray("C:/Users/Ren\xE9"
                                                "e/caf\xE9 \x80 5.hex")
                                  << QStringLiteral("C:/Users/Renée/café € 5.hex");
    QTest::newRow("windows-1251") << QByteArray("windows-1251")
                                  << QByteArray("C:/\xCF\xF0\xEE\xF8\xE8\xE2\xEA\xE0/\xC6.hex")
                                  << QStringLiteral("C:/Прошивка/Ж.hex");
    QTest::newRow("GBK, two-byte characters")
        << QByteArray("GBK") << QByteArray("C:/\xB9\xCC\xBC\xFE/a.hex") << QStringLiteral("C:/固件/a.hex");
    // 0xB0 0xB0 is one character whose second byte could also lead.
    QTest::newRow("GBK, second bytes that could lead")
        << QByteArray("GBK") << QByteArray("\xB0\xB0\xB0\xA1\xB0\xB0") << QStringLiteral("鞍啊鞍");
    QTest::newRow("Shift_JIS, single and double bytes")
        << QByteArray("Shift_JIS") << QByteArray("\x83\x76\xB1\x83\x8D") << QStringLiteral("プｱロ");
    QTest::newRow("NUL in a code page") << QByteArray("windows-1251") << QByteArray("\xC6\0\0z", 4)
                                        << QStringLiteral("Ж") + replacement + replacement + QStringLiteral("z");
    QTest::newRow("NUL after a two-byte character") << QByteArray("GBK") << QByteArray("\xD6\xD0\0z", 4)
                                                    << QStringLiteral("中") + replacement + QStringLiteral("z");
    // A lead byte whose partner never comes: shown, and what follows is kept,
    // line ends in particular.
    QTest::newRow("GBK, lead byte before a blank")
        << QByteArray("GBK") << QByteArray("\x81 z") << replacement + QStringLiteral(" z");
    QTest::newRow("GBK, lead byte before a line end")
        << QByteArray("GBK") << QByteArray("a\x81\nb") << QStringLiteral("a") + replacement + QStringLiteral("\nb");
    QTest::newRow("GBK, lead byte before NUL")
        << QByteArray("GBK") << QByteArray("\x81\0b", 3) << replacement + replacement + QStringLiteral("b");
    QTest::newRow("GBK, lead byte at the end")
        << QByteArray("GBK") << QByteArray("ok \xD6") << QStringLiteral("ok ") + replacement;
    // In a code page the bytes of a UTF-8 byte order mark are characters.
    QTest::newRow("windows-1252, byte order mark bytes") << QByteArray("windows-1252")
                                                         << QByteArray("\xEF\xBB\xBF"
                                                                       "A")
                                                         << QStringLiteral("ï»¿A");
}

void TestOutputDecoder::decoderCodePages()
{
    QFETCH(QByteArray, encoding);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QVERIFY(OutputDecoder(encoding).isValid());
    const QStringList texts = decodedEveryWay(encoding, bytes);
    for (int i = 0; i < texts.size(); ++i)
        QVERIFY2(texts.at(i) == expected, qPrintable(QStringLiteral("way %1: %2").arg(i).arg(texts.at(i))));
}

// The console makes a line break of "\r", of "\n" and of "\r\n" when it
// gets them in one piece; the decoder hands it "\n" alone, so that a pair
// cut between chunks is not two line breaks.
void TestOutputDecoder::decoderLineEnds_data()
{
    QTest::addColumn<QByteArray>("encoding");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    QTest::newRow("Windows line ends") << QByteArray("windows-1252")
                                       << QByteArray("avrdude: AVR device initialized\r\n\r\nWriting | ## | 100%\r\n")
                                       << QStringLiteral("avrdude: AVR device initialized\n\nWriting | ## | 100%\n");
    // avrdude.exe ends a Windows error message so.
    QTest::newRow("returns before a line end")
        << QByteArray("windows-1252")
        << QByteArray("cannot open port \\\\.\\COM9: File not found.\r\r\n\r\navrdude done.\r\n")
        << QStringLiteral("cannot open port \\\\.\\COM9: File not found.\n\navrdude done.\n");
    QTest::newRow("lone carriage returns")
        << QByteArray("UTF-8") << QByteArray("10%\r20%\r\r\n") << QStringLiteral("10%\n20%\n");
    QTest::newRow("carriage return at the end") << QByteArray("UTF-8") << QByteArray("a\r") << QStringLiteral("a\n");
    QTest::newRow("after a cut character")
        << QByteArray("GBK") << QByteArray("\xD6\xD0\r\n\xD6\r\n")
        << QStringLiteral("中\n") + QChar(QChar::ReplacementCharacter) + QStringLiteral("\n");
}

void TestOutputDecoder::decoderLineEnds()
{
    QFETCH(QByteArray, encoding);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    const QStringList texts = decodedEveryWay(encoding, bytes);
    for (int i = 0; i < texts.size(); ++i)
        QVERIFY2(texts.at(i) == expected, qPrintable(QStringLiteral("way %1: %2").arg(i).arg(texts.at(i))));

    // A new run does not begin with the end of the last one.
    OutputDecoder decoder(encoding);
    QCOMPARE(decoder.decode(QByteArray("x\r")), QStringLiteral("x"));
    decoder.reset();
    QCOMPARE(decoder.decode(QByteArray("\ny")), QStringLiteral("\ny"));
}

void TestOutputDecoder::decoderUnknownEncoding()
{
    OutputDecoder decoder(QByteArray("no-such-encoding"));
    QVERIFY(!decoder.isValid());
    QCOMPARE(decoder.decode(QByteArray("\xC3\xA4")), QStringLiteral("ä"));
}

// What the default decoder reads is what the programmer writes on this
// platform: the ANSI code page on Windows, UTF-8 elsewhere.
void TestOutputDecoder::decoderPlatformEncoding()
{
    OutputDecoder decoder;
    QVERIFY(decoder.isValid());
    const QString text = QStringLiteral("C:/Users/Renée/Прошивка/固件.hex");
#ifdef Q_OS_WIN
    const UINT codePage = GetACP();
    const QByteArray expectedName = codePage == CP_UTF8 ? QByteArray("UTF-8")
        : codePage == 932                               ? QByteArray("Shift_JIS")
                                                        : "windows-" + QByteArray::number(uint(codePage));
    QCOMPARE(OutputDecoder::programmerEncoding(), expectedName);
    // Whatever of the text this code page holds, as Windows itself writes it.
    const std::wstring wide = text.toStdWString();
    const int size = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    QByteArray bytes(size, '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), int(wide.size()), bytes.data(), size, nullptr, nullptr);
    const int back = MultiByteToWideChar(CP_ACP, 0, bytes.constData(), bytes.size(), nullptr, 0);
    std::wstring roundTrip(size_t(back), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.constData(), bytes.size(), &roundTrip[0], back);
    QCOMPARE(decodeStream(decoder, bytes), QString::fromStdWString(roundTrip));
    if (codePage == 1252)
        QCOMPARE(OutputDecoder().decode(QByteArray("Ren\xE9"
                                                   "e")),
            QStringLiteral("Renée"));
#else
    QCOMPARE(OutputDecoder::programmerEncoding(), QByteArray("UTF-8"));
    QCOMPARE(decodeStream(decoder, text.toUtf8()), text);
#endif
}

QTEST_APPLESS_MAIN(TestOutputDecoder)
#include "tst_outputdecoder.moc"
