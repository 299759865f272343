// SPDX-License-Identifier: GPL-3.0-or-later
// Checks the simulated board with the real avrdude, run directly the way
// Kiverlo runs it: an image is written and verified byte for byte, a flash
// fault makes the verification fail, and the board takes upload after upload;
// and the board refuses a bootloader that a real chip could not run.

#include "intelhex.h"
#include "simboard.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// "" if equal, otherwise where and how the two first differ.
QByteArray difference(const QByteArray &actual, const QByteArray &expected)
{
    if (actual.size() != expected.size())
        return "size " + QByteArray::number(actual.size()) + " != " + QByteArray::number(expected.size());
    for (int i = 0; i < actual.size(); ++i) {
        if (actual[i] != expected[i]) {
            return "first difference at 0x" + QByteArray::number(i, 16) + ": 0x"
                + QByteArray::number(quint8(actual[i]), 16) + " != 0x" + QByteArray::number(quint8(expected[i]), 16);
        }
    }
    return QByteArray();
}

struct AvrdudeRun
{
    bool finished = false;
    int exitCode = -1;
    QByteArray output;
    qint64 milliseconds = 0;
};

} // namespace

class TestBoard : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void uploadWritesWholeImage();
    void stuckByteFailsVerification();
    void boardTakesTwoUploadsInARow();
    void refusesBootloaderThatDoesNotFit_data();
    void refusesBootloaderThatDoesNotFit();

private:
    AvrdudeRun upload(const QString &dir, const QString &port, const QByteArray &image, const QString &name);

    QString m_avrdude;
    QString m_conf;
};

void TestBoard::initTestCase()
{
    // Built only with the board, so all of it must be there.
    QVERIFY2(!SimBoard::fixturePath().isEmpty(), "the simulated board was not built");
    m_avrdude = QStandardPaths::findExecutable(QStringLiteral("avrdude"));
    QVERIFY2(!m_avrdude.isEmpty(), "avrdude is not installed (package avrdude)");
    m_conf = QStringLiteral("/etc/avrdude.conf");
    QVERIFY2(QFileInfo::exists(m_conf), "/etc/avrdude.conf is missing (package avrdude)");
}

AvrdudeRun TestBoard::upload(const QString &dir, const QString &port, const QByteArray &image, const QString &name)
{
    AvrdudeRun run;
    const QString hexPath = QDir(dir).filePath(name + QStringLiteral(".hex"));
    if (!writeIntelHex(hexPath, image)) {
        run.output = "cannot write " + hexPath.toUtf8();
        return run;
    }

    QProcess avrdude;
    // avrdude also reads a configuration file of the user's; point it at
    // the test's own folder instead.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), dir);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir);
    avrdude.setProcessEnvironment(env);
    avrdude.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer timer;
    timer.start();
    avrdude.start(m_avrdude,
        {QStringLiteral("-c"), QStringLiteral("arduino"), QStringLiteral("-p"), QStringLiteral("m328p"),
            QStringLiteral("-C"), m_conf, QStringLiteral("-P"), port, QStringLiteral("-U"),
            QStringLiteral("flash:w:%1:i").arg(hexPath)});
    // Bounded: avrdude keeps trying forever on a terminal that has gone.
    run.finished = avrdude.waitForFinished(60000);
    if (!run.finished) {
        avrdude.kill();
        avrdude.waitForFinished(5000);
    }
    run.milliseconds = timer.elapsed();
    run.exitCode = avrdude.exitStatus() == QProcess::NormalExit ? avrdude.exitCode() : -1;
    run.output = avrdude.readAll();
    return run;
}

void TestBoard::uploadWritesWholeImage()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SimBoard board(dir.path());
    SimBoard::Options options;
    options.startImage = randomImage(7, 1000); // the "previous firmware"
    QVERIFY2(board.start(options), qPrintable(board.errorString()));

    const QByteArray before = board.readFlash();
    const QByteArray expectedBefore
        = options.startImage + QByteArray(SimBoard::FlashSize - options.startImage.size(), '\xFF');
    QVERIFY2(difference(before, expectedBefore).isEmpty(), difference(before, expectedBefore).constData());

    const QByteArray image = randomImage(1);
    const AvrdudeRun run = upload(dir.path(), board.portPath(), image, QStringLiteral("image"));
    QVERIFY2(run.finished && run.exitCode == 0, run.output.constData());
    qInfo("upload of %d bytes took %lld ms", int(image.size()), run.milliseconds);

    const QByteArray flash = board.readFlash();
    QVERIFY2(difference(flash, image).isEmpty(), difference(flash, image).constData());
    QVERIFY(board.stop());
}

void TestBoard::stuckByteFailsVerification()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SimBoard board(dir.path());
    SimBoard::Options options;
    options.stuckAddress = 0x1234; // keeps the 0xFF of the blank flash
    QVERIFY2(board.start(options), qPrintable(board.errorString()));

    QByteArray image = randomImage(2);
    image[0x1234] = char(0x5A);
    const AvrdudeRun run = upload(dir.path(), board.portPath(), image, QStringLiteral("image"));
    QVERIFY2(run.finished, run.output.constData());
    QVERIFY2(run.exitCode != 0, run.output.constData());
    // 7.x says "verification mismatch", older versions "verification error".
    const QRegularExpression failed(
        QStringLiteral("verification (error|mismatch)"), QRegularExpression::CaseInsensitiveOption);
    QVERIFY2(failed.match(QString::fromUtf8(run.output)).hasMatch(), run.output.constData());

    QByteArray expected = image;
    expected[0x1234] = char(0xFF);
    const QByteArray flash = board.readFlash();
    QVERIFY2(difference(flash, expected).isEmpty(), difference(flash, expected).constData());
    QVERIFY(board.stop());
}

void TestBoard::boardTakesTwoUploadsInARow()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SimBoard board(dir.path());
    QVERIFY2(board.start(), qPrintable(board.errorString()));

    const QByteArray first = randomImage(3);
    const AvrdudeRun run1 = upload(dir.path(), board.portPath(), first, QStringLiteral("first"));
    QVERIFY2(run1.finished && run1.exitCode == 0, run1.output.constData());

    const QByteArray second = randomImage(4);
    const AvrdudeRun run2 = upload(dir.path(), board.portPath(), second, QStringLiteral("second"));
    QVERIFY2(run2.finished && run2.exitCode == 0, run2.output.constData());

    const QByteArray flash = board.readFlash();
    QVERIFY2(difference(flash, second).isEmpty(), difference(flash, second).constData());
    QVERIFY(board.stop());
    // After the end the last dump is still there to read.
    QVERIFY(difference(board.readFlash(), second).isEmpty());
}

void TestBoard::refusesBootloaderThatDoesNotFit_data()
{
    QTest::addColumn<QByteArray>("hex");
    QTest::addColumn<QString>("error");
    // The chip's boot section (high fuse BOOTSZ = 10) is the last 1 KiB of
    // flash, 0x7C00-0x7FFF, and the core starts at its beginning.
    const QByteArray code = randomImage(8, 0x400);
    const QByteArray eofRecord = ":00000001FF\n";
    QTest::newRow("runs past the end of flash")
        << toIntelHex(code + randomImage(9, 0x14), 0x7C00) << QStringLiteral("byte at 0x8000 is outside");
    QByteArray twice = toIntelHex(code, 0x7C00);
    twice.chop(eofRecord.size());
    QTest::newRow("version word on code")
        << twice + toIntelHex(QByteArray("\x04\x04", 2), 0x7FFE) << QStringLiteral("byte at 0x7ffe is given twice");
    QTest::newRow("linked for 512 bytes")
        << toIntelHex(code.left(0x200), 0x7E00) << QStringLiteral("no code at the boot section start 0x7c00");
}

void TestBoard::refusesBootloaderThatDoesNotFit()
{
    QFETCH(QByteArray, hex);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("bootloader.hex"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(hex) == hex.size());
    file.close();

    QProcess board;
    board.start(SimBoard::fixturePath(),
        {QStringLiteral("--bootloader"), path, QStringLiteral("--ready-file"), dir.filePath(QStringLiteral("ready")),
            QStringLiteral("--timeout"), QStringLiteral("20")});
    QVERIFY(board.waitForFinished(15000));
    const QString output = QString::fromUtf8(board.readAllStandardError());
    QCOMPARE(board.exitStatus(), QProcess::NormalExit);
    QVERIFY2(board.exitCode() == 1, qPrintable(output));
    QVERIFY2(output.contains(error), qPrintable(output));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("ready"))));
}

QTEST_GUILESS_MAIN(TestBoard)

#include "tst_board.moc"
