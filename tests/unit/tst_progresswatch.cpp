// SPDX-License-Identifier: GPL-3.0-or-later
// The watch on a programmer's progress: its rule, and full uploads as real
// avrdude versions printed them, replayed write by write.
#include "outputdecoder.h"
#include "progresswatch.h"

#include <QtTest>

#include <algorithm>

namespace {
// The recordings were made on Linux, where avrdude writes UTF-8.
const QByteArray utf8("UTF-8");

// What a programmer wrote during a run: each write, with its time.
struct Write
{
    qint64 atUs;
    QByteArray bytes;
};
using Writes = QVector<Write>;

// A recording made by fixtures/record-avrdude.sh: the bytes, and the time
// and length of each write.
Writes readRecording(const QString &name)
{
    const QString prefix = QStringLiteral(KIVERLO_FIXTURES "/") + name;
    QFile bytesFile(prefix + QStringLiteral(".out"));
    QFile indexFile(prefix + QStringLiteral(".writes"));
    if (!bytesFile.open(QIODevice::ReadOnly) || !indexFile.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = bytesFile.readAll();
    Writes writes;
    int at = 0;
    for (const QByteArray &line : indexFile.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 2)
            continue;
        const int length = fields[1].toInt();
        writes.append({fields[0].toLongLong(), bytes.mid(at, length)});
        at += length;
    }
    return at == bytes.size() ? writes : Writes();
}

// What avrdude 8.x (8.2, src/update.c, src/term.c and src/main.c) prints for
// the same upload, written as it writes it: its messages now start with a
// capital instead of "avrdude: ", the bar's header follows a message that
// ends without a line end (avrdude then adds one), and a bar ends with a
// single line end. The times are those of the 7.1 recording.
Writes avrdude8Shape()
{
    Writes writes;
    const auto write = [&writes](double seconds, const QByteArray &bytes) {
        writes.append({qint64(seconds * 1e6), bytes});
    };
    const auto bar = [&write](const QByteArray &header, double from, double seconds) {
        write(from, header + " | ");
        for (int mark = 1; mark <= 50; ++mark)
            write(from + seconds * mark / 50, "#");
        write(from + seconds, " | 100% " + QByteArray::number(seconds, 'f', 2) + 's');
        write(from + seconds, "\n");
    };
    write(0.00, "\n");
    write(0.80, "Processing -U flash:w:/home/user/firmware/image.hex:i\n");
    write(0.81, "Reading 31744 bytes for flash from input file /home/user/firmware/image.hex\n");
    write(1.10, "Writing 31744 bytes to flash");
    write(1.10, "\n");
    bar("Writing", 1.10, 2.23);
    bar("Reading", 3.33, 3.76);
    write(7.09, "31744 bytes of flash verified\n");
    write(7.09, "\n");
    write(7.09, "Avrdude done.  Thank you.\n");
    return writes;
}
} // namespace

Q_DECLARE_METATYPE(Writes)

class TestProgressWatch : public QObject
{
    Q_OBJECT

private slots:
    void progressWatch();
    void progressWatchEndlessLine();
    void progressWatchHealthyUploads_data();
    void progressWatchHealthyUploads();
};

void TestProgressWatch::progressWatch()
{
    // Whether any of the pieces, fed in turn, shows progress.
    ProgressWatch watch;
    const auto anyProgress = [&watch](const QStringList &pieces) {
        bool moved = false;
        for (const QString &piece : pieces)
            moved = watch.feed(piece) || moved;
        return moved;
    };
    QVERIFY(!watch.feed(QString()));

    // A bar of marks that grows, then a bar that redraws its percentage:
    // every piece is progress.
    QVERIFY(watch.feed(QStringLiteral("Writing | ")));
    for (int i = 0; i < 50; ++i)
        QVERIFY(watch.feed(QStringLiteral("#")));
    QVERIFY(watch.feed(QStringLiteral(" | 100% 2.10s\n")));
    for (int percent = 0; percent <= 100; percent += 2)
        QVERIFY(watch.feed(QStringLiteral("Reading | ## | %1% 0.%2s\n").arg(percent).arg(percent)));

    // A board that does not answer: one repeated line, but a new attempt
    // number each time.
    for (int attempt = 1; attempt <= 10; ++attempt) {
        QVERIFY(anyProgress({QStringLiteral("avrdude: stk500_recv(): programmer is not responding\n"),
            QStringLiteral("avrdude: stk500_getsync() attempt %1 of 10: not in sync: resp=0x00\n").arg(attempt)}));
    }

    // A port whose device is gone: the same errors again and again, in
    // pieces cut anywhere, are progress only the first time.
    const QString loop = QStringLiteral(
        "avrdude error: programmer is not responding\navrdude error: unable to write: sorry no info avail\n");
    QVERIFY(watch.feed(loop));
    for (int cut = 0; cut <= loop.size(); ++cut)
        QVERIFY2(!anyProgress({loop.left(cut), loop.mid(cut)}), qPrintable(QString::number(cut)));
    // Something new after it counts again.
    QVERIFY(watch.feed(QStringLiteral("avrdude done.  Thank you.\n")));

    // A new run has seen nothing yet.
    watch.reset();
    QVERIFY(watch.feed(loop));
}

void TestProgressWatch::progressWatchEndlessLine()
{
    // A line is compared by its first 256 characters, its end included:
    // each one of them that makes the line new is progress, none after it.
    ProgressWatch watch;
    const QString dots(300, QLatin1Char('.'));
    QVERIFY(watch.feed(QStringLiteral("avrdude: writing")));
    for (int length = 17; length <= ProgressWatch::ComparedLength; ++length)
        QVERIFY2(watch.feed(QStringLiteral(".")), qPrintable(QString::number(length)));
    for (int length = ProgressWatch::ComparedLength + 1; length <= 10000; ++length)
        QVERIFY2(!watch.feed(QStringLiteral(".")), qPrintable(QString::number(length)));
    QVERIFY(!watch.feed(dots));
    // Its end lies past the cut too: it changes nothing compared.
    QVERIFY(!watch.feed(QStringLiteral("\n")));
    // Another line that starts the same is the same line, however it goes
    // on; one that differs within the cut is new.
    QVERIFY(!watch.feed(QStringLiteral("avrdude: writing") + dots + QStringLiteral("more\n")));
    QVERIFY(watch.feed(QStringLiteral("avrdude: writing") + dots.left(200) + QStringLiteral("x") + dots));

    // A line whose end is its 256th character is compared with its end: the
    // end makes it a complete line, new.
    watch.reset();
    const QString line(ProgressWatch::ComparedLength - 1, QLatin1Char('='));
    QVERIFY(watch.feed(line));
    QVERIFY(watch.feed(QStringLiteral("\n")));
    QVERIFY(!watch.feed(line + QStringLiteral("\n")));
}

void TestProgressWatch::progressWatchHealthyUploads_data()
{
    // Full uploads of a 31 KB image to the simulated board, as each avrdude
    // wrote them (fixtures/record-avrdude.sh): through a pipe, as the tool
    // runs it, and on a terminal, where it redraws its bars after "\r".
    QTest::addColumn<Writes>("writes");
    for (const char *name : {"avrdude-7.1-pipe", "avrdude-7.1-terminal", "avrdude-6.3-pipe", "avrdude-6.3-terminal"})
        QTest::newRow(name) << readRecording(QString::fromLatin1(name));
    QTest::newRow("avrdude 8.x shape") << avrdude8Shape();
}

void TestProgressWatch::progressWatchHealthyUploads()
{
    // Fed write by write, as the window would read them at the slowest, the
    // watch must see progress within a tenth of a second of every write from
    // the first bar on: once the board answers, the programmer never looks
    // stuck, the verify read's bar included. (Before, while the port opens,
    // avrdude may print the same line twice, which is no progress.)
    QFETCH(Writes, writes);
    QVERIFY2(writes.size() > 100, "the recording could not be read");
    OutputDecoder decoder(utf8);
    ProgressWatch watch;
    QVector<qint64> progressAt;
    QString text;
    int firstBar = -1;
    for (int i = 0; i < writes.size(); ++i) {
        const QString piece = decoder.decode(writes[i].bytes);
        text += piece;
        if (watch.feed(piece))
            progressAt << writes[i].atUs;
        if (firstBar < 0 && text.contains(QStringLiteral(" | ")))
            firstBar = i;
    }
    QVERIFY(text.contains(QStringLiteral("Writing | ")));
    QVERIFY(text.contains(QStringLiteral("Reading | ")));
    QVERIFY(text.contains(QStringLiteral("31744 bytes of flash verified")));

    const qint64 nearUs = 100000;
    for (int i = firstBar; i < writes.size(); ++i) {
        const qint64 at = writes[i].atUs;
        const auto next = std::lower_bound(progressAt.cbegin(), progressAt.cend(), at - nearUs);
        QVERIFY2(next != progressAt.cend() && *next <= at + nearUs,
            qPrintable(QStringLiteral("no progress near write %1 at %2 s: %3")
                           .arg(i)
                           .arg(double(at) / 1e6)
                           .arg(QString::fromLatin1(writes[i].bytes.toPercentEncoding(" |#:")))));
    }
}

QTEST_APPLESS_MAIN(TestProgressWatch)
#include "tst_progresswatch.moc"
