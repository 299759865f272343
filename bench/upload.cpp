// SPDX-License-Identifier: GPL-3.0-or-later
// What the tool adds to an upload: a full 31 KB image (the whole application
// area) written and verified on the simulated board, once through the real
// window (click, dialog, runner, console, verdict) and once by the same
// avrdude command run directly, alternating, against the same board.
// Usage: bench_upload [--quick] [--runs N]
#include "benchutil.h"
#include "guitest.h"
#include "intelhex.h"
#include "mainwindow.h"
#include "simboard.h"
#include "uploadcommand.h"

#include <QLabel>
#include <QPushButton>
#include <QTextEdit>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr qint64 kUploadLimitMs = 120000;

// From the click to the verdict, in seconds; -1 when the upload failed or
// did not end. The dialog is answered at once, so the time is the tool's and
// the programmer's.
double throughWindow(MainWindow &window, const QString &hexFile)
{
    auto *label = window.findChild<QLabel *>(QStringLiteral("lblOutput"));
    auto *button = window.findChild<QPushButton *>(QStringLiteral("btnUploadFlash"));
    answerNextFileDialog([hexFile](QFileDialog *dialog) { choose(dialog, hexFile); });
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(button, Qt::LeftButton);
    // A full upload takes a few seconds; one that has not ended in two
    // minutes never will, and the benchmark must not wait for it forever.
    while (!button->isEnabled() && clock.elapsed() < kUploadLimitMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (button->isEnabled() && label->text() == QStringLiteral("Completed!"))
        return seconds;
    std::fprintf(stderr, "the upload through the window %s; its console:\n%s\n",
        button->isEnabled() ? "failed" : "did not end in time",
        qPrintable(window.findChild<QTextEdit *>(QStringLiteral("txtOutput"))->toPlainText()));
    return -1;
    return seconds;
}

// The same upload without the window; -1 when it failed.
double direct(const QString &port, const QString &hexFile)
{
    const UploadInvocation run = buildUploadInvocation(QCoreApplication::applicationDirPath(), port, hexFile);
    QProcess avrdude;
    avrdude.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer clock;
    clock.start();
    avrdude.start(run.program, run.arguments);
    if (!avrdude.waitForFinished(int(kUploadLimitMs)) || !avrdude.readAll().contains("flash verified")) {
        avrdude.kill();
        avrdude.waitForFinished();
        std::fprintf(stderr, "the direct upload failed\n");
        return -1;
    }
    return clock.nsecsElapsed() / 1e9;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int runs = runCount(args, 1, 7);
    if (SimBoard::fixturePath().isEmpty())
        qFatal("the simulated board was not built");

    QTemporaryDir work;
    qputenv("HOME", work.path().toUtf8()); // keep the user's avrdude settings out
    IsolatedSettings settings;
    SimBoard board(work.path());
    if (!board.start())
        qFatal("board: %s", qPrintable(board.errorString()));
    settings.store(QStringLiteral("commPort"), board.portPath());

    const QByteArray image = randomImage(1);
    const QString hexFile = work.filePath(QStringLiteral("image.hex"));
    writeIntelHex(hexFile, image);

    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        qFatal("the window did not show");

    std::vector<double> viaWindow, viaCommand;
    for (int i = 0; i < runs; ++i) {
        viaWindow.push_back(throughWindow(window, hexFile));
        viaCommand.push_back(direct(board.portPath(), hexFile));
        if (viaWindow.back() < 0 || viaCommand.back() < 0)
            return 1;
    }
    if (board.readFlash() != image)
        qFatal("the board does not hold the image");

    std::printf("Full 31 KB upload to the simulated board, %d runs each, median\n", runs);
    std::printf("%-26s %10s\n", "", "seconds");
    std::printf("%-26s %10.3f\n", "through the window", median(viaWindow));
    std::printf("%-26s %10.3f\n", "avrdude run directly", median(viaCommand));
    std::printf("%-26s %10.3f\n", "ratio", median(viaWindow) / median(viaCommand));
    return 0;
}
