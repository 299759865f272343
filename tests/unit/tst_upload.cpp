// SPDX-License-Identifier: GPL-3.0-or-later
// The pieces of an upload that need no window: the command, its arguments,
// the decoding of the programmer's output and the verdict.
#include "outputdecoder.h"
#include "uploadcommand.h"
#include "verdict.h"

#include <QProcess>
#include <QtTest>

class TestUpload : public QObject
{
    Q_OBJECT

private slots:
    void commandText_data();
    void commandText();
    void invocation_data();
    void invocation();
    void invocationMatchesTextSplitting_data();
    void invocationMatchesTextSplitting();

    void decoderJoinsCharactersCutBetweenChunks();
    void decoderReplacesNulAndInvalidBytes();
    void decoderFinishAndReset();
    void decoderKeepsByteOrderMarkAtChunkStart();

    void verdictReportLine_data();
    void verdictReportLine();
    void verdictAtEveryCut_data();
    void verdictAtEveryCut();
    void verdictStartsAfreshEachRun();
    void verdictRejects_data();
    void verdictRejects();
};

void TestUpload::commandText_data()
{
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain") << "/opt/kiverlo"
                           << "/dev/ttyUSB0"
                           << "/home/u/blink.hex"
                           << "\"/opt/kiverlo//avrdude\" -c arduino -p m328p -C \"/opt/kiverlo/avrdude.conf\" "
                              "-P /dev/ttyUSB0 -U flash:w:\"/home/u/blink.hex\":i";
    QTest::newRow("empty port")
        << "/a"
        << ""
        << "/b.hex"
        << "\"/a//avrdude\" -c arduino -p m328p -C \"/a/avrdude.conf\" -P  -U flash:w:\"/b.hex\":i";
    QTest::newRow("root folder") << "/"
                                 << "COM3"
                                 << "C:/x y/f.hex"
                                 << "\"///avrdude\" -c arduino -p m328p -C \"//avrdude.conf\" -P COM3 -U "
                                    "flash:w:\"C:/x y/f.hex\":i";
    // Shown as composed: quotes inside values are echoed untouched.
    QTest::newRow("quote in path")
        << "/a"
        << "p"
        << "/x\"y.hex"
        << "\"/a//avrdude\" -c arduino -p m328p -C \"/a/avrdude.conf\" -P p -U flash:w:\"/x\"y.hex\":i";
}

void TestUpload::commandText()
{
    QFETCH(QString, appDir);
    QFETCH(QString, port);
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(buildUploadCommand(appDir, port, path), expected);
}

void TestUpload::invocation_data()
{
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");

    const QStringList head {"-c", "arduino", "-p", "m328p", "-C"};
    QTest::newRow("plain") << "/opt/k"
                           << "/dev/ttyACM0"
                           << "/h/a.hex"
                           << "/opt/k//avrdude"
                           << head
            + QStringList {"/opt/k/avrdude.conf", "-P", "/dev/ttyACM0", "-U", "flash:w:/h/a.hex:i"};
    QTest::newRow("empty port: nine arguments")
        << "/opt/k"
        << ""
        << "/h/a.hex"
        << "/opt/k//avrdude" << head + QStringList {"/opt/k/avrdude.conf", "-P", "-U", "flash:w:/h/a.hex:i"};
    QTest::newRow("blank port: nine arguments")
        << "/opt/k"
        << " \t "
        << "/h/a.hex"
        << "/opt/k//avrdude" << head + QStringList {"/opt/k/avrdude.conf", "-P", "-U", "flash:w:/h/a.hex:i"};
    QTest::newRow("blanks everywhere") << "/my tools/k"
                                       << "my port"
                                       << "/my files/a b.hex"
                                       << "/my tools/k//avrdude"
                                       << head
            + QStringList {"/my tools/k/avrdude.conf", "-P", "my port", "-U", "flash:w:/my files/a b.hex:i"};
    // Quotes must neither end the argument nor smuggle in options.
    QTest::newRow("quotes cannot inject") << "/q\"d"
                                          << "x\" -U \"eeprom:w:e.hex"
                                          << "/f\" -U \"eeprom:w:/e.hex"
                                          << "/q\"d//avrdude"
                                          << head
            + QStringList {
                "/q\"d/avrdude.conf", "-P", "x\" -U \"eeprom:w:e.hex", "-U", "flash:w:/f\" -U \"eeprom:w:/e.hex:i"};
    QTest::newRow("root folder") << "/"
                                 << "COM7"
                                 << "C:/f.hex"
                                 << "///avrdude"
                                 << head + QStringList {"//avrdude.conf", "-P", "COM7", "-U", "flash:w:C:/f.hex:i"};
}

void TestUpload::invocation()
{
    QFETCH(QString, appDir);
    QFETCH(QString, port);
    QFETCH(QString, path);
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    const UploadInvocation run = buildUploadInvocation(appDir, port, path);
    QCOMPARE(run.program, program);
    QCOMPARE(run.arguments, arguments);
}

void TestUpload::invocationMatchesTextSplitting_data()
{
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("path");
    QTest::newRow("plain") << "/usr/lib/kiverlo"
                           << "/dev/ttyUSB1"
                           << "/tmp/x.hex";
    QTest::newRow("blanks in folder and path") << "/a b/c\td"
                                               << "COM4"
                                               << "/e  f/g h.hex";
    QTest::newRow("empty port") << "/a"
                                << ""
                                << "/b.hex";
    QTest::newRow("non-ASCII") << "/ø/ü"
                               << "/dev/ttyS0"
                               << "/Grüße/привет.hex";
}

// Where the text holds no quote inside a value, starting the argument list
// is the same as starting the echoed text: the user sees what really runs.
void TestUpload::invocationMatchesTextSplitting()
{
#if QT_VERSION < QT_VERSION_CHECK(5, 15, 0)
    QSKIP("QProcess::splitCommand needs Qt 5.15");
#else
    QFETCH(QString, appDir);
    QFETCH(QString, port);
    QFETCH(QString, path);
    const UploadInvocation run = buildUploadInvocation(appDir, port, path);
    QCOMPARE(QProcess::splitCommand(buildUploadCommand(appDir, port, path)), QStringList {run.program} + run.arguments);
#endif
}

void TestUpload::decoderJoinsCharactersCutBetweenChunks()
{
    const QString text = QStringLiteral("Schreibe € 𝄞 ä | 100% ✓\n");
    const QByteArray bytes = text.toUtf8();
    // Every cut point, and every byte on its own.
    for (int cut = 0; cut <= bytes.size(); ++cut) {
        OutputDecoder decoder;
        QString joined = decoder.decode(bytes.left(cut));
        joined += decoder.decode(bytes.mid(cut));
        joined += decoder.finish();
        QCOMPARE(joined, text);
    }
    OutputDecoder decoder;
    QString byteByByte;
    for (char byte : bytes)
        byteByByte += decoder.decode(QByteArray(1, byte));
    QCOMPARE(byteByByte + decoder.finish(), text);
}

void TestUpload::decoderReplacesNulAndInvalidBytes()
{
    const QChar replacement(QChar::ReplacementCharacter);
    OutputDecoder decoder;
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

void TestUpload::decoderFinishAndReset()
{
    OutputDecoder decoder;
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

void TestUpload::decoderKeepsByteOrderMarkAtChunkStart()
{
    // U+FEFF is text like any other: it must not vanish because a chunk
    // happens to begin with it, neither at the start of the stream nor later.
    const QChar mark(QChar::ByteOrderMark);
    const QString expected = QString(mark) + QStringLiteral("A") + mark + mark + QStringLiteral("B");
    const QByteArray encodedMark("\xEF\xBB\xBF");
    const QByteArray stream = encodedMark + "A" + encodedMark + encodedMark + "B";

    OutputDecoder whole;
    QCOMPARE(whole.decode(stream) + whole.finish(), expected);

    OutputDecoder chunked;
    QString text = chunked.decode(stream.left(2));
    text += chunked.decode(stream.mid(2, 2));
    text += chunked.decode(stream.mid(4));
    text += chunked.finish();
    QCOMPARE(text, expected);
}

void TestUpload::verdictReportLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("report");
    QTest::newRow("avrdude 6 and 7") << "avrdude: 924 bytes of flash verified" << true;
    QTest::newRow("newer, without the name") << "32256 bytes of flash verified" << true;
    QTest::newRow("one byte") << "avrdude: 1 byte of flash verified" << true;
    QTest::newRow("trailing blanks") << "avrdude.exe: 8 bytes of flash verified \t" << true;
    QTest::newRow("words alone") << "flash verified" << false;
    QTest::newRow("no count") << "avrdude: bytes of flash verified" << false;
    QTest::newRow("other case") << "avrdude: 924 Bytes of Flash Verified" << false;
    QTest::newRow("indented") << " 924 bytes of flash verified" << false;
    QTest::newRow("more after it") << "avrdude: 924 bytes of flash verified, then lost" << false;
    QTest::newRow("path in an error") << "avrdude error: read from file /x/flash verified/a.hex failed" << false;
    QTest::newRow("path ending in the words")
        << "avrdude: verifying flash memory against /tmp/12 bytes of flash verified" << false;
    QTest::newRow("blanked value as name")
        << QString(QChar(QChar::ObjectReplacementCharacter)) + QStringLiteral(": 5 bytes of flash verified") << false;
    QTest::newRow("endless") << QStringLiteral("avrdude: %1 bytes of flash verified").arg(QString(300, '9')) << false;
}

void TestUpload::verdictReportLine()
{
    QFETCH(QString, line);
    QFETCH(bool, report);
    QCOMPARE(VerdictScanner::reportsVerifiedWrite(line), report);
}

void TestUpload::verdictAtEveryCut_data()
{
    // The path, the folder and the port are what the tool hands the
    // programmer; the output is what the programmer prints back.
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("verified");
    const QString odd = QStringLiteral("/tmp/x\n5 bytes of flash verified\n/flash verified.hex");
    QTest::newRow("report") << "/tmp/a.hex"
                            << "avrdude: reading input file \"/tmp/a.hex\"\r\navrdude: 924 bytes of flash "
                               "verified\r\n\r\navrdude done.  Thank you.\r\n"
                            << true;
    QTest::newRow("report, last line unended") << "/tmp/a.hex"
                                               << "Reading | ##\r1 byte of flash verified" << true;
    QTest::newRow("bad file in a folder named like the report")
        << "/tmp/x/flash verified/bad.hex"
        << "avrdude error: checksum mismatch at line 1 of /tmp/x/flash verified/bad.hex\n"
           "avrdude error: read from file /tmp/x/flash verified/bad.hex failed\n"
        << false;
    QTest::newRow("line breaks in the path")
        << odd << "avrdude: reading input file \"" + odd + "\"\navrdude: input file " + odd + " contains 0 bytes\n"
        << false;
    QTest::newRow("path with line breaks, then the report")
        << odd << "avrdude: reading input file \"" + odd + "\"\navrdude: 12 bytes of flash verified\n"
        << true;
    QTest::newRow("the port") << "/tmp/a.hex"
                              << "avrdude: ser_open(): can't open device \"/dev/\n3 bytes of flash verified\"\n"
                              << false;
    QTest::newRow("the folder") << "/tmp/a.hex"
                                << "/opt/k\n7 bytes of flash verified\n/avrdude.conf\n"
                                << false;
}

void TestUpload::verdictAtEveryCut()
{
    QFETCH(QString, path);
    QFETCH(QString, output);
    QFETCH(bool, verified);
    const QStringList handed {path, QStringLiteral("/opt/k\n7 bytes of flash verified\n"),
        QStringLiteral("/dev/\n3 bytes of flash verified"), QString()};
    // In two pieces, cut anywhere, and in three.
    for (int cut = 0; cut <= output.size(); ++cut) {
        for (int second = cut; second <= output.size(); second += qMax(1, output.size() / 13)) {
            VerdictScanner verdict;
            verdict.reset(handed);
            verdict.feed(output.left(cut));
            verdict.feed(output.mid(cut, second - cut));
            verdict.feed(output.mid(second));
            verdict.finish();
            QVERIFY2(verdict.verified() == verified, qPrintable(QStringLiteral("cut at %1, %2").arg(cut).arg(second)));
        }
    }
    // A character at a time.
    VerdictScanner verdict;
    verdict.reset(handed);
    for (QChar c : output)
        verdict.feed(QString(c));
    verdict.finish();
    QCOMPARE(verdict.verified(), verified);
}

void TestUpload::verdictStartsAfreshEachRun()
{
    VerdictScanner verdict;
    verdict.reset({QStringLiteral("/a.hex")});
    verdict.feed(QStringLiteral("avrdude: 9 bytes of flash verified\n"));
    verdict.finish();
    QVERIFY(verdict.verified());
    // What one run leaves unfinished does not join the next run's output.
    verdict.reset({QStringLiteral("/a.hex")});
    QVERIFY(!verdict.verified());
    verdict.feed(QStringLiteral("avrdude: 9 bytes of flash"));
    verdict.reset({QStringLiteral("/a.hex")});
    verdict.feed(QStringLiteral(" verified\n"));
    verdict.finish();
    QVERIFY(!verdict.verified());
    // Nor does a value held back at the end of one run.
    verdict.reset({QStringLiteral("/tmp/flash verified\n.hex")});
    verdict.feed(QStringLiteral("4 bytes of /tmp/flash"));
    verdict.reset();
    verdict.feed(QStringLiteral(" verified\n"));
    verdict.finish();
    QVERIFY(!verdict.verified());
}

void TestUpload::verdictRejects_data()
{
    QTest::addColumn<QStringList>("chunks");
    QTest::newRow("nothing") << QStringList {};
    QTest::newRow("error") << QStringList {"avrdude: stk500_recv(): programmer is not responding\n"};
    QTest::newRow("other case") << QStringList {"Flash Verified", "FLASH VERIFIED"};
    QTest::newRow("interrupted") << QStringList {"4 bytes of flash ver", "\n", "ified"};
    QTest::newRow("mismatch") << QStringList {"avrdude: verification error, first mismatch at byte 0x0000\n"};
}

void TestUpload::verdictRejects()
{
    QFETCH(QStringList, chunks);
    VerdictScanner verdict;
    for (const QString &chunk : chunks)
        verdict.feed(chunk);
    verdict.finish();
    QVERIFY(!verdict.verified());
}

QTEST_APPLESS_MAIN(TestUpload)
#include "tst_upload.moc"
