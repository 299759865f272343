// SPDX-License-Identifier: GPL-3.0-or-later
// The whole road, as a user takes it: the real window, the real file
// dialog, the real avrdude beside the executable, and a simulated board
// whose flash is read back afterwards.
#include "guitest.h"
#include "intelhex.h"
#include "mainwindow.h"
#include "outputdecoder.h"
#include "progresswatch.h"
#include "simboard.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTextEdit>

#include <fcntl.h>
#include <memory>
#include <stdlib.h>
#include <unistd.h>

namespace {

// Processes started by this test process that are still there.
QList<qint64> childProcesses()
{
    QList<qint64> children;
    const QString me = QString::number(QCoreApplication::applicationPid());
    QDirIterator it(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        QFile stat(it.next() + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // pid (comm) state ppid ...; comm may hold blanks, so split after ')'.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.value(1) == me.toLatin1() && line.contains("(avrdude)"))
            children << it.fileName().toLongLong();
    }
    return children;
}

const QString completed = QStringLiteral("Completed!");
const QString failed = QStringLiteral("Failed");

} // namespace

class TestEndToEnd : public QObject, protected WindowTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void randomImageWrittenAndVerified();
    void realProgramWritten();
    void stuckCellFailsVerification();
    void badFilesLeaveFirmwareAlone_data();
    void badFilesLeaveFirmwareAlone();
    void folderNamedLikeTheReport_data();
    void folderNamedLikeTheReport();
    void portsWithoutBoard_data();
    void portsWithoutBoard();
    void closingMidUpload();
    void boardGoneMidUpload();

private:
    bool startBoard(const SimBoard::Options &options = SimBoard::Options());
    // Uploads `path` through the window, opening it if need be, and waits
    // for the verdict.
    QString upload(const QString &path, int timeoutMs = 60000);
    QString consoleText() const
    {
        return console()->toPlainText();
    }

    std::unique_ptr<SimBoard> board;
};

void TestEndToEnd::initTestCase()
{
    QVERIFY2(!SimBoard::fixturePath().isEmpty(), "the simulated board was not built");
    QVERIFY2(QFileInfo(QCoreApplication::applicationDirPath() + QStringLiteral("/avrdude")).isExecutable(),
        "the build places avrdude beside this test");
    // avrdude also reads the user's own configuration; keep it out.
    static QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
}

void TestEndToEnd::init()
{
    beginWindowTest();
}

void TestEndToEnd::cleanup()
{
    window.reset();
    board.reset();
    endWindowTest();
}

bool TestEndToEnd::startBoard(const SimBoard::Options &options)
{
    board.reset(new SimBoard(files->path()));
    if (!board->start(options)) {
        qWarning("board: %s", qPrintable(board->errorString()));
        return false;
    }
    settings->store(QStringLiteral("commPort"), board->portPath());
    return true;
}

QString TestEndToEnd::upload(const QString &path, int timeoutMs)
{
    if (!window)
        openWindow();
    startUpload(path);
    if (label()->text() != QStringLiteral("Programming. Please wait..."))
        return QStringLiteral("did not start: ") + label()->text();
    return waitForVerdict(timeoutMs);
}

void TestEndToEnd::randomImageWrittenAndVerified()
{
    QVERIFY(startBoard());
    const QByteArray image = randomImage(4711, SimBoard::FlashSize);
    const QString path = files->filePath(QStringLiteral("random image.hex"));
    QVERIFY(writeIntelHex(path, image));

    QCOMPARE(upload(path), completed);
    QVERIFY2(consoleText().contains(QStringLiteral("31744 bytes of flash verified")), qPrintable(consoleText()));
    QVERIFY(controlsEnabled());
    const QByteArray flash = board->readFlash();
    QCOMPARE(flash.size(), image.size());
    QVERIFY(flash == image);
}

void TestEndToEnd::realProgramWritten()
{
    const QByteArray erased(SimBoard::FlashSize, char(0xFF));
    SimBoard::Options options;
    options.startImage = erased;
    QVERIFY(startBoard(options));
    const QString path = QStringLiteral(KIVERLO_BLINK_HEX);
    const QByteArray program = readIntelHexImage(path);
    QVERIFY(program.size() > 100);

    QCOMPARE(upload(path), completed);
    QVERIFY(consoleText().contains(QStringLiteral("bytes of flash verified")));
    const QByteArray flash = board->readFlash();
    QVERIFY(flash.startsWith(program));
    // Nothing beyond the program was touched.
    QVERIFY(flash.mid(program.size() + 128) == erased.mid(program.size() + 128));
}

void TestEndToEnd::stuckCellFailsVerification()
{
    SimBoard::Options options;
    options.stuckAddress = 0x1234;
    options.stuckValue = 0xA5;
    QVERIFY(startBoard(options));
    QByteArray image = randomImage(99, SimBoard::FlashSize);
    image[0x1234] = char(0x5A);
    const QString path = files->filePath(QStringLiteral("image.hex"));
    QVERIFY(writeIntelHex(path, image));

    QCOMPARE(upload(path), failed);
    QVERIFY2(consoleText().contains(QStringLiteral("verification mismatch"))
            || consoleText().contains(QStringLiteral("verification error")),
        qPrintable(consoleText()));
    QVERIFY(!consoleText().contains(QStringLiteral("flash verified")));
}

void TestEndToEnd::badFilesLeaveFirmwareAlone_data()
{
    QTest::addColumn<QByteArray>("content");
    QByteArray badChecksum = toIntelHex(randomImage(7, 1024));
    // Spoil the checksum of the tenth record.
    const int line = badChecksum.indexOf('\n', 9 * 44) - 1;
    badChecksum[line] = badChecksum[line] == '0' ? '1' : '0';
    QTest::newRow("bad checksum") << badChecksum;
    QTest::newRow("not HEX at all") << QByteArray("This is a text file, not firmware.\n");
}

void TestEndToEnd::badFilesLeaveFirmwareAlone()
{
    QFETCH(QByteArray, content);
    const QByteArray previous = randomImage(1, SimBoard::FlashSize);
    SimBoard::Options options;
    options.startImage = previous;
    QVERIFY(startBoard(options));
    const QString path = files->filePath(QStringLiteral("broken.hex"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();

    QCOMPARE(upload(path), failed);
    QVERIFY(board->readFlash() == previous);
}

void TestEndToEnd::folderNamedLikeTheReport_data()
{
    // avrdude names the file in its messages ("reading input file ...",
    // "read from file ... failed"); in a folder called "flash verified" that
    // must not turn a failure into success, nor a success into failure.
    QTest::addColumn<QString>("folderName");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("verdict");
    const QString named = QStringLiteral("flash verified");
    QTest::newRow("good image") << named << QString() << completed;
    QTest::newRow("bad checksum") << named << QStringLiteral("checksum") << failed;
    QTest::newRow("stuck flash cell") << named << QStringLiteral("stuck") << failed;
    // The console shows each carriage return as a line end; so must the
    // path that the programmer prints back.
    QTest::newRow("carriage returns, bad checksum")
        << QStringLiteral("\r1 bytes of flash verified\r") << QStringLiteral("checksum") << failed;
}

void TestEndToEnd::folderNamedLikeTheReport()
{
    QFETCH(QString, folderName);
    QFETCH(QString, fault);
    QFETCH(QString, verdict);
    const QByteArray previous = randomImage(21, SimBoard::FlashSize);
    SimBoard::Options options;
    options.startImage = previous;
    QByteArray image = randomImage(22, SimBoard::FlashSize);
    if (fault == QStringLiteral("stuck")) {
        options.stuckAddress = 0x2345;
        options.stuckValue = quint8(image[0x2345]) ^ 0xFF;
    }
    QVERIFY(startBoard(options));
    const QString folder = files->filePath(folderName);
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/image.hex");
    QByteArray hex = toIntelHex(image);
    if (fault == QStringLiteral("checksum")) {
        // The checksum of the first record.
        const int end = hex.indexOf('\n') - 1;
        hex[end] = hex[end] == '0' ? '1' : '0';
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(hex);
    file.close();

    QCOMPARE(upload(path), verdict);
    // The programmer did name the file back.
    QVERIFY2(consoleText().section(QLatin1Char('\n'), 1).contains(OutputDecoder::unifiedLineEnds(path)),
        qPrintable(consoleText()));
    const QByteArray flash = board->readFlash();
    if (fault.isEmpty())
        QVERIFY(flash == image);
    else if (fault == QStringLiteral("checksum"))
        QVERIFY(flash == previous);
    else
        QVERIFY(consoleText().contains(QStringLiteral("verification")));
}

void TestEndToEnd::portsWithoutBoard_data()
{
    QTest::addColumn<bool>("silentTerminal");
    QTest::newRow("a terminal nobody serves") << true;
    QTest::newRow("a port that does not exist") << false;
}

void TestEndToEnd::portsWithoutBoard()
{
    QFETCH(bool, silentTerminal);
    int master = -1;
    QString port = files->filePath(QStringLiteral("no-such-port"));
    if (silentTerminal) {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        port = QString::fromLocal8Bit(ptsname(master));
    }
    settings->store(QStringLiteral("commPort"), port);
    const QString path = files->filePath(QStringLiteral("image.hex"));
    QVERIFY(writeIntelHex(path, randomImage(3, 256)));

    QCOMPARE(upload(path, 120000), failed);
    QVERIFY(controlsEnabled());
    QVERIFY(portList()->isEnabled());
    QVERIFY(consoleText().startsWith(QLatin1Char('"')));
    QVERIFY(consoleText().count(QLatin1Char('\n')) > 1); // avrdude said why
    if (master >= 0)
        ::close(master);
}

void TestEndToEnd::closingMidUpload()
{
    QVERIFY(startBoard());
    const QString path = files->filePath(QStringLiteral("image.hex"));
    QVERIFY(writeIntelHex(path, randomImage(5, SimBoard::FlashSize)));
    openWindow();
    startUpload(path);
    QTRY_VERIFY_WITH_TIMEOUT(consoleText().contains(QStringLiteral("Writing")), 30000);
    QCOMPARE(childProcesses().size(), 1);

    window->close();
    window.reset();
    QVERIFY(childProcesses().isEmpty());

    // The board answers the next upload.
    const QByteArray image = randomImage(6, SimBoard::FlashSize);
    QVERIFY(writeIntelHex(path, image));
    QCOMPARE(upload(path), completed);
    QVERIFY(board->readFlash() == image);
}

void TestEndToEnd::boardGoneMidUpload()
{
    // In real time, so that the write takes seconds; the window's limits on
    // the test's clock, held still until the board is gone.
    SimBoard::Options options;
    options.speed = 1.0;
    QVERIFY(startBoard(options));
    const QString port = board->portPath();
    const QByteArray image = randomImage(31, SimBoard::FlashSize);
    const QString path = files->filePath(QStringLiteral("image.hex"));
    QVERIFY(writeIntelHex(path, image));
    auto clock = std::make_unique<ManualClock>();
    openWindow();
    startUpload(path);
    QTRY_VERIFY_WITH_TIMEOUT(consoleText().contains(QStringLiteral("Writing | #")), 30000);

    // The board goes away as with a pulled cable: its end of the line closes.
    // avrdude would wait for it for ever; the window stops it and unlocks.
    // From here the window's clock runs about 30 times as fast as real time,
    // so that the limit passes in a second or two.
    board->stop();
    QElapsedTimer waited;
    waited.start();
    qint64 moved = 0;
    while (!controlsEnabled() && waited.elapsed() < 30000) {
        clock->advance(300);
        moved += 300;
        QTest::qWait(10);
    }
    clock.reset();
    QCOMPARE(label()->text(), failed);
    // Stopped at the limit after avrdude's last output, which came as the
    // board went, long before the bound on the whole run.
    QVERIFY2(moved >= ProgressWatch::StallLimitSeconds * 1000 && moved < 60000, qPrintable(QString::number(moved)));
    QVERIFY(controlsEnabled());
    QVERIFY(childProcesses().isEmpty());
    const QString note = QStringLiteral("\nThe programmer showed no progress for %1 seconds and was stopped.\n");
    QVERIFY2(consoleText().endsWith(note.arg(ProgressWatch::StallLimitSeconds)), qPrintable(consoleText().right(300)));
    QCOMPARE(settings->storedValue(QStringLiteral("commPort")).toString(), port);
    QCOMPARE(settings->storedValue(QStringLiteral("filename")).toString(), path);

    // Another board on another port, the same window and file, on the
    // system's clock again: in real time a healthy run is never taken for a
    // stalled one.
    const QString second = files->filePath(QStringLiteral("second board"));
    QVERIFY(QDir().mkpath(second));
    board.reset(new SimBoard(second));
    QVERIFY2(board->start(options), qPrintable(board->errorString()));
    settings->store(QStringLiteral("commPort"), board->portPath());
    QCOMPARE(upload(path), completed);
    QVERIFY(board->readFlash() == image);
}

QTEST_MAIN(TestEndToEnd)
#include "tst_e2e_upload.moc"
