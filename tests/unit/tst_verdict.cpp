// SPDX-License-Identifier: GPL-3.0-or-later
// The verdict: which output is the programmer's report of a verified
// write, wherever the output is cut, and whatever the values handed to it.
#include "outputdecoder.h"
#include "verdict.h"

#include <QtTest>

class TestVerdict : public QObject
{
    Q_OBJECT

private slots:
    void verdictReportLine_data();
    void verdictReportLine();
    void verdictAtEveryCut_data();
    void verdictAtEveryCut();
    void verdictStartsAfreshEachRun();
    void verdictRejects_data();
    void verdictRejects();
};

void TestVerdict::verdictReportLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("report");
    QTest::newRow("avrdude 6 and 7") << "avrdude: 924 bytes of flash verified" << true;
    QTest::newRow("newer, without the name") << "32256 bytes of flash verified" << true;
    QTest::newRow("one byte") << "avrdude: 1 byte of flash verified" << true;
    QTest::newRow("trailing blanks") << "avrdude.exe: 8 bytes of flash verified \t" << true;
    QTest::newRow("words alone") << "flash verified" << false;
    QTest::newRow("more after it") << "avrdude: 924 bytes of flash verified, then lost" << false;
    QTest::newRow("path in an error") << "avrdude error: read from file /x/flash verified/a.hex failed" << false;
    QTest::newRow("path ending in the words")
        << "avrdude: verifying flash memory against /tmp/12 bytes of flash verified" << false;
    QTest::newRow("blanked value as name")
        << QString(QChar(QChar::ObjectReplacementCharacter)) + QStringLiteral(": 5 bytes of flash verified") << false;
    QTest::newRow("endless") << QStringLiteral("avrdude: %1 bytes of flash verified").arg(QString(300, '9')) << false;
}

void TestVerdict::verdictReportLine()
{
    QFETCH(QString, line);
    QFETCH(bool, report);
    QCOMPARE(VerdictScanner::reportsVerifiedWrite(line), report);
}

void TestVerdict::verdictAtEveryCut_data()
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
    // The output's carriage returns reach the scanner as line feeds, those
    // in the path too.
    const QString returns = QStringLiteral("/tmp/\r1 bytes of flash verified\r/bad.hex");
    QTest::newRow("carriage returns in the path")
        << returns << "avrdude error: checksum mismatch at line 1 of " + returns + "\r\n"
        << false;
}

void TestVerdict::verdictAtEveryCut()
{
    QFETCH(QString, path);
    QFETCH(QString, output);
    QFETCH(bool, verified);
    // What the scanner is given: the output as the decoder passes it on.
    output = OutputDecoder::unifiedLineEnds(output);
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

void TestVerdict::verdictStartsAfreshEachRun()
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

void TestVerdict::verdictRejects_data()
{
    QTest::addColumn<QStringList>("chunks");
    QTest::newRow("nothing") << QStringList {};
    QTest::newRow("error") << QStringList {"avrdude: stk500_recv(): programmer is not responding\n"};
    QTest::newRow("other case") << QStringList {"Flash Verified", "FLASH VERIFIED"};
    QTest::newRow("interrupted") << QStringList {"4 bytes of flash ver", "\n", "ified"};
    QTest::newRow("mismatch") << QStringList {"avrdude: verification error, first mismatch at byte 0x0000\n"};
}

void TestVerdict::verdictRejects()
{
    QFETCH(QStringList, chunks);
    VerdictScanner verdict;
    for (const QString &chunk : chunks)
        verdict.feed(chunk);
    verdict.finish();
    QVERIFY(!verdict.verified());
}

QTEST_APPLESS_MAIN(TestVerdict)
#include "tst_verdict.moc"
