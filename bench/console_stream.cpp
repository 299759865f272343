// SPDX-License-Identifier: GPL-3.0-or-later
// How the window copes with a programmer that prints a lot: 1, 4 and 16 MB
// of progress marks and lines, streamed through the real runner and console
// as a pipe delivers them. Prints throughput, the cost per MB at each size
// against 1 MB, and the longest stretch the event loop was blocked.
// Usage: bench_console_stream [--quick] [--runs N]
#include "benchutil.h"
#include "fakeprogrammer.h"
#include "guitest.h"
#include "mainwindow.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTextEdit>

#include <algorithm>
#include <cstdio>

namespace {

// Output shaped like the programmer's: status lines and progress bars whose
// marks arrive a few at a time.
QByteArray programmerLikeOutput(qint64 size)
{
    QByteArray out;
    out.reserve(size + 1024);
    int round = 0;
    while (out.size() < size) {
        out += "avrdude: reading input file \"/home/user/firmware/blink.hex\"\n"
               "avrdude: writing flash (32256 bytes):\n\nWriting | ";
        for (int i = 0; i < 50; ++i)
            out += '#';
        out += " | 100% 3.2" + QByteArray::number(round++ % 10) + "s\n\n";
        out += "avrdude: 32256 bytes of flash written\n";
    }
    out.resize(size);
    return out + "\navrdude: 32256 bytes of flash verified\n";
}

struct Figures
{
    double seconds = 0;
    double longestBlockMs = 0;
};

Figures streamOnce(const QString &outputFile, const QString &hexFile, bool consoleShown)
{
    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        qFatal("the window did not show");
    if (consoleShown)
        clickCheckBox(window.findChild<QCheckBox *>(QStringLiteral("chkShowConsole")));
    auto *label = window.findChild<QLabel *>(QStringLiteral("lblOutput"));

    answerNextFileDialog([hexFile](QFileDialog *dialog) { choose(dialog, hexFile); });
    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("btnUploadFlash")), Qt::LeftButton);

    // A timer that should fire every millisecond: the longest gap between two
    // of its ticks is the longest time the window could not answer events.
    Figures figures;
    QElapsedTimer clock, sinceTick;
    clock.start();
    sinceTick.start();
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        figures.longestBlockMs = std::max(figures.longestBlockMs, sinceTick.nsecsElapsed() / 1e6);
        sinceTick.restart();
    });
    heartbeat.start(1);
    while (label->text() != QStringLiteral("Completed!") && label->text() != QStringLiteral("Failed"))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    figures.seconds = clock.nsecsElapsed() / 1e9;
    figures.longestBlockMs = std::max(figures.longestBlockMs, sinceTick.nsecsElapsed() / 1e6);
    if (label->text() != QStringLiteral("Completed!"))
        qFatal("the run did not complete");
    const int consoleSize = window.findChild<QTextEdit *>(QStringLiteral("txtOutput"))->document()->characterCount();
    if (consoleSize < QFileInfo(outputFile).size())
        qFatal("the console lost output");
    return figures;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool quick = quickMode(args);
    const int runs = runCount(args, 1, 3);
    QList<int> sizesMb = quick ? QList<int> {1, 2} : QList<int> {1, 4, 16};
    const int sizesIndex = args.indexOf(QStringLiteral("--sizes"));
    if (sizesIndex > 0) {
        sizesMb.clear();
        for (const QString &mb : args.value(sizesIndex + 1).split(QLatin1Char(',')))
            sizesMb << mb.toInt();
    }

    IsolatedSettings settings;
    QTemporaryDir work;
    const QString hexFile = work.filePath(QStringLiteral("image.hex"));
    QFile(hexFile).open(QIODevice::WriteOnly);

    for (bool shown : {true, false}) {
        std::printf("Console streaming, console %s (%d run(s) each, median)\n", shown ? "shown" : "hidden", runs);
        std::printf(
            "%8s %10s %10s %12s %14s %16s\n", "size MB", "seconds", "MB/s", "s per MB", "vs 1 MB", "longest block ms");
        double baselinePerMb = 0;
        for (int mb : sizesMb) {
            const QString outputFile = work.filePath(QStringLiteral("out-%1.txt").arg(mb));
            QFile out(outputFile);
            out.open(QIODevice::WriteOnly);
            out.write(programmerLikeOutput(qint64(mb) << 20));
            out.close();
            FakeProgrammer fake;
            fake.stream(outputFile, 128 * 1024);
            fake.install();

            std::vector<double> seconds, blocks;
            for (int i = 0; i < runs; ++i) {
                const Figures f = streamOnce(outputFile, hexFile, shown);
                seconds.push_back(f.seconds);
                blocks.push_back(f.longestBlockMs);
            }
            const double s = median(seconds);
            const double perMb = s / mb;
            if (baselinePerMb == 0)
                baselinePerMb = perMb;
            std::printf("%8d %10.3f %10.2f %12.4f %14.2f %16.1f\n", mb, s, mb / s, perMb, perMb / baselinePerMb,
                *std::max_element(blocks.begin(), blocks.end()));
            std::fflush(stdout);
        }
    }
    return 0;
}
