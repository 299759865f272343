// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow.h"

#include "mainwindowform.h"
#include "portlist.h"
#include "programmerprocess.h"
#include "runclock.h"
#include "settingskeys.h"
#include "uploadcommand.h"

#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
#include <QAccessible>
#include <QAccessibleAnnouncementEvent>
#endif
#include <QAbstractTextDocumentLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {
// Console size, in characters, up to which the output is wrapped to the
// console's width. Switching costs a relayout of this much text, which stays
// well under a frame's time.
constexpr int kWrapLimit = 64 * 1024;
// Most programmer output the console takes in at once; a few milliseconds of
// layout.
constexpr qint64 kOutputSliceBytes = qint64(16) * 1024;
// How long a programmer may go without progress (see ProgressWatch) before
// it is taken for stuck and stopped. A healthy run is never that quiet: a
// board that does not answer gets a new retry line every few seconds, and
// even a slow port (a Bluetooth one on Windows) opens well within it.
constexpr qint64 kStallLimitMs = qint64(ProgressWatch::StallLimitSeconds) * 1000;
// How long any run may last before it is stopped the same way, whatever it
// prints: one whose every line is new (a retry counter, a time stamp) never
// stalls by the rule above. A healthy upload of a full 32 KB image at 115200
// baud takes about 10 seconds; with every retry avrdude makes, about a
// minute.
constexpr int kRunLimitMinutes = 5;
constexpr qint64 kRunLimitMs = qint64(kRunLimitMinutes) * 60 * 1000;
// How long a stopped programmer has to end before the window gives up
// waiting for it. A kill lands within milliseconds, except on a process that
// waits in the kernel (a USB-serial driver that hangs once its cable is
// pulled), which ends only when that wait does, if ever.
constexpr int kStopGraceSeconds = 5;
constexpr qint64 kStopGraceMs = qint64(kStopGraceSeconds) * 1000;
// The longest the window goes without looking at a run's limits. The limits
// are judged by RunClock; the timer only wakes the window to look. Looking at
// least this often, it notices a clock that jumps (RunClock::setSource())
// within a second, also while the programmer prints nothing.
constexpr qint64 kLimitLookMs = 1000;
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new MainWindowForm)
    , settings(new QSettings(SettingsKeys::organisation(), SettingsKeys::application()))
{
    ui->setupForm(this);
    ui->txtOutput->setVisible(false);
    // The user's moves of the console's view decide whether it follows the
    // output; new output, or a new size of the view, then keeps it at the end.
    QScrollBar *consoleBar = ui->txtOutput->verticalScrollBar();
    connect(consoleBar, &QScrollBar::valueChanged, this, &MainWindow::consoleScrolled);
    connect(consoleBar, &QScrollBar::rangeChanged, this, [this](int, int maximum) { consoleRangeChanged(maximum); });
    // The console is shown and hidden inside the same fixed window.
    setFixedSize(size());

    createRunner();

    outputPump = new QTimer(this);
    outputPump->setSingleShot(true);
    outputPump->setInterval(0);
    connect(outputPump, &QTimer::timeout, this, &MainWindow::takeOutputSlice);

    limitCheck = new QTimer(this);
    limitCheck->setSingleShot(true);
    connect(limitCheck, &QTimer::timeout, this, &MainWindow::checkLimits);

    refreshPortList();
    const QString rememberedPort = settings->value(SettingsKeys::commPort()).toString();
    ui->cboCommPort->setCurrentIndex(
        ui->cboCommPort->findText(rememberedPort, Qt::MatchExactly | Qt::MatchCaseSensitive));
}

MainWindow::~MainWindow()
{
    // Cut the runner off first, so that nothing it still reports during its
    // end reaches a handler; then end a run in progress and reap the child.
    // A programmer that does not end within the stop's grace is let go of
    // instead: closing the window never waits on it for longer.
    delete outputPump;
    outputPump = nullptr;
    delete limitCheck;
    limitCheck = nullptr;
    if (process) {
        process->disconnect(this);
        if (process->state() != QProcess::NotRunning) {
            process->stop();
            if (!process->waitForFinished(int(kStopGraceMs))) {
                ProgrammerProcess::letGo(process);
                process = nullptr;
            }
        }
        delete process;
        process = nullptr;
    }
    delete settings;
    settings = nullptr;
    delete ui;
    ui = nullptr;
}

// The runner for the next run: the window's own, until a programmer that
// would not end takes it along (see letGoOfProgrammer()).
void MainWindow::createRunner()
{
    process = ProgrammerProcess::create(this);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setReadChannel(QProcess::StandardOutput);
    connect(process, SIGNAL(readyReadStandardOutput()), this, SLOT(avrOutput()));
    connect(process, SIGNAL(finished(int, QProcess::ExitStatus)), this, SLOT(avrFinished(int, QProcess::ExitStatus)));
    // A programmer that cannot be started never reports finished; without
    // this the window would stay locked in its running state.
    connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            programmerFailedToStart();
    });
}

// --- The upload: file choice, command, start ---------------------------------

void MainWindow::on_btnUploadFlash_clicked()
{
    const QString rememberedFile = settings->value(SettingsKeys::fileName()).toString();
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Select .hex file"), rememberedFile, QStringLiteral("Hex files (*.hex)"));
    if (!fileExists(path))
        return;
    settings->setValue(SettingsKeys::fileName(), path);

    // The port comes from the store: it is what the user last chose, even if
    // that port is not in the list right now.
    const QString port = settings->value(SettingsKeys::commPort()).toString();
    const QString appDir = QCoreApplication::applicationDirPath();
    const QString command = buildUploadCommand(appDir, port, path);
    const UploadInvocation invocation = buildUploadInvocation(appDir, port, path);

    // Lock and prepare the window before starting, so that a start failure
    // reported at once finds the window in its running state and unlocks it.
    // Disabling the focused button makes Qt pass the focus on to the next
    // control; endRun() gives it back.
    uploadButtonHadFocus = focusWidget() == ui->btnUploadFlash;
    setUploadControlsEnabled(false);
    focusDuringRun = focusWidget();
    consoleFollows = true;
    ui->txtOutput->clear();
    ui->txtOutput->setLineWrapMode(QTextEdit::WidgetWidth);
    appendToConsole(command);
    appendToConsole(QStringLiteral("\n"));
    ui->lblOutput->setText(QStringLiteral("Programming. Please wait..."));

    decoder.reset();
    // The programmer repeats what it is handed (on Windows perhaps a file's
    // short name); none of that may count as its report of a verified write.
    verdict.reset(invocation.handedValues);
    progress.reset();
    stopReason = StopReason::None;
    endedByStop = false;
    runStartedAt = RunClock::now();
    lastProgressAt = runStartedAt;
    lookAtLimitsIn(untilNextLimit());
    process->start(invocation.program, invocation.arguments, QIODevice::ReadWrite);
}

bool MainWindow::fileExists(QString path) // NOLINT(performance-unnecessary-value-param)
{
    // QFileInfo follows links, so a link to a regular file counts as one.
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.exists() && info.isFile();
}

// --- The programmer's output and the verdict ---------------------------------

void MainWindow::avrOutput()
{
    takeOutputSlice();
}

void MainWindow::takeOutputSlice()
{
    // A programmer that prints fast leaves far more in the runner than the
    // console should take in one go: laying out a large piece at once would
    // keep the window from answering. So the output goes in slices, with the
    // event loop running between them, until the runner holds nothing more.
    showProgrammerText(decoder.decode(process->read(kOutputSliceBytes)));
    // A limit that has passed is acted on right after the output that shows
    // it, rather than only when the timer comes round, as the clock may have
    // jumped (RunClock::setSource()): the timer is set to fire at once. Not
    // here and now, though: this output may be part of the runner's report
    // of the programmer's end, which is to come first.
    if (!programmerEnded && untilNextLimit() <= 0)
        limitCheck->start(0);
    if (process->bytesAvailable() > 0)
        outputPump->start();
    else if (programmerEnded)
        concludeRun();
}

void MainWindow::avrFinished(int data, QProcess::ExitStatus status)
{
    // The verdict rests on what the programmer printed, not on how it ended.
    // It is taken once the console has all of that, which for a programmer
    // that printed a lot at the end may be a few slices later.
    Q_UNUSED(data)
    programmerEnded = true;
    // A programmer that ended on its own just as the window stopped it was
    // not stopped: only a kill ends it with a crash.
    endedByStop = stopReason != StopReason::None && status == QProcess::CrashExit;
    takeOutputSlice();
}

// Milliseconds until the run's next limit: the stall limit or the bound on
// the whole run, or once the programmer is stopped, the end of the stop's
// grace. Zero or less: due.
qint64 MainWindow::untilNextLimit() const
{
    const qint64 now = RunClock::now();
    if (stopReason != StopReason::None)
        return stoppedAt + kStopGraceMs - now;
    return std::min(lastProgressAt + kStallLimitMs, runStartedAt + kRunLimitMs) - now;
}

void MainWindow::checkLimits()
{
    // A programmer that has ended needs nothing more: its verdict is on the
    // way.
    if (programmerEnded || process->state() == QProcess::NotRunning)
        return;
    const qint64 remaining = untilNextLimit();
    if (remaining > 0) {
        lookAtLimitsIn(remaining);
        return;
    }
    if (stopReason != StopReason::None) {
        letGoOfProgrammer();
        return;
    }
    // Its board is most likely gone (a cable pulled, power lost), and it
    // would wait or repeat its errors for ever; or it makes no end. It ends
    // as any run ends: the runner reports the end, and the verdict follows.
    stoppedAt = RunClock::now();
    stopReason = stoppedAt - lastProgressAt >= kStallLimitMs ? StopReason::Stalled : StopReason::Overran;
    process->stop();
    lookAtLimitsIn(kStopGraceMs);
}

void MainWindow::lookAtLimitsIn(qint64 ms)
{
    limitCheck->start(int(std::min(ms, kLimitLookMs)));
}

// The stopped programmer has not ended within the grace: the runner may
// never report its end. The run ends without it, and the runner goes its own
// way (it is reaped whenever the programmer does end); the next run gets a
// fresh one.
void MainWindow::letGoOfProgrammer()
{
    ProgrammerProcess *stuck = process;
    stuck->disconnect(this);
    outputPump->stop();
    showProgrammerText(decoder.decode(stuck->readAll()));
    ProgrammerProcess::letGo(stuck);
    createRunner();

    showProgrammerText(decoder.finish());
    verdict.finish();
    appendNote(stopNote());
    const QString gaveUp = QStringLiteral("It has not ended %1 seconds later; the window no longer waits for it.");
    appendNote(gaveUp.arg(kStopGraceSeconds));
    endRun(QStringLiteral("Failed"));
}

void MainWindow::concludeRun()
{
    programmerEnded = false;
    showProgrammerText(decoder.finish());
    verdict.finish();
    if (endedByStop)
        appendNote(stopNote());
    endRun(verdict.verified() ? QStringLiteral("Completed!") : QStringLiteral("Failed"));
}

QString MainWindow::stopNote() const
{
    if (stopReason == StopReason::Stalled) {
        const QString stalled = QStringLiteral("The programmer showed no progress for %1 seconds and was stopped.");
        return stalled.arg(ProgressWatch::StallLimitSeconds);
    }
    const QString overran = QStringLiteral("The programmer ran for %1 minutes without finishing and was stopped.");
    return overran.arg(kRunLimitMinutes);
}

// Adds a line of the window's own to the console, after whatever the
// programmer printed.
void MainWindow::appendNote(const QString &note)
{
    const bool lineOpen = ui->txtOutput->document()->lastBlock().length() > 1;
    appendToConsole((lineOpen ? QStringLiteral("\n") : QString()) + note + QLatin1Char('\n'));
}

void MainWindow::programmerFailedToStart()
{
    appendToConsole(QStringLiteral("The programmer could not be started: %1\n").arg(process->errorString()));
    endRun(QStringLiteral("Failed"));
}

// Every end of a run comes here, however the run ended: the label shows the
// outcome, assistive technology is told, the controls unlock, and the focus
// goes back to the upload button if the run took it from there, so that a
// keyboard user's next Space uploads again. A user who has moved the focus
// elsewhere meanwhile keeps it where it is.
void MainWindow::endRun(const QString &outcome)
{
    limitCheck->stop();
    // The label has no accessible name of its own, so Qt reports the new
    // text as a change of its name; Qt 6.8 and later can also ask screen
    // readers outright to speak it.
    ui->lblOutput->setText(outcome);
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    QAccessibleAnnouncementEvent announcement(ui->lblOutput, outcome);
    QAccessible::updateAccessibility(&announcement);
#endif
    setUploadControlsEnabled(true);
    if (uploadButtonHadFocus && focusWidget() == focusDuringRun)
        ui->btnUploadFlash->setFocus(Qt::OtherFocusReason);
    uploadButtonHadFocus = false;
    focusDuringRun = nullptr;
}

void MainWindow::showProgrammerText(const QString &text)
{
    if (text.isEmpty())
        return;
    verdict.feed(text);
    if (progress.feed(text))
        lastProgressAt = RunClock::now();
    appendToConsole(text);
}

void MainWindow::appendToConsole(const QString &text)
{
    QTextEdit *console = ui->txtOutput;
    QScrollBar *verticalBar = console->verticalScrollBar();
    QScrollBar *horizontalBar = console->horizontalScrollBar();
    // Whatever the view does while the text changes is the window's doing,
    // not the user's: it does not decide whether the console follows.
    const bool wasMoving = movingConsole;
    movingConsole = true;

    // Output always goes to the end through a cursor of our own, so a click
    // or a selection the user makes in the console is neither moved nor
    // overwritten. Only a selection reaching the very end would grow with
    // the text; it is put back as it was.
    const QTextCursor userCursor = console->textCursor();
    const int anchor = userCursor.anchor();
    const int position = userCursor.position();

    QTextCursor end(console->document());
    end.movePosition(QTextCursor::End);
    end.insertText(text);

    // Wrapped into the narrow console, a very long output grows taller than
    // the text layout can handle (past about 21 million pixels it slows to a
    // crawl and freezes the window). A normal run is a few kilobytes and
    // stays wrapped; beyond that the console stops wrapping, which keeps
    // each line one line high. That lays the text out anew: a user who reads
    // further up keeps the line at the top of the view there.
    if (console->lineWrapMode() != QTextEdit::NoWrap && console->document()->characterCount() > kWrapLimit) {
        // The line the view's first row of pixels shows (Qt counts a point
        // on the border of two lines to the upper one: hence a pixel down).
        const QTextBlock topOfView = console->cursorForPosition(QPoint(0, 1)).block();
        console->setLineWrapMode(QTextEdit::NoWrap);
        if (!consoleFollows) {
            const QRectF line = console->document()->documentLayout()->blockBoundingRect(topOfView);
            verticalBar->setValue(int(std::ceil(line.top())));
        }
    }

    if (userCursor.hasSelection()) {
        const QTextCursor now = console->textCursor();
        if (now.anchor() != anchor || now.position() != position) {
            // Setting the cursor brings it into view; the view stays where
            // it was instead.
            const int viewTop = verticalBar->value();
            const int viewLeft = horizontalBar->value();
            QTextCursor restored(console->document());
            restored.setPosition(anchor);
            restored.setPosition(position, QTextCursor::KeepAnchor);
            console->setTextCursor(restored);
            verticalBar->setValue(viewTop);
            horizontalBar->setValue(viewLeft);
        }
    }
    if (consoleFollows)
        verticalBar->setValue(verticalBar->maximum());
    movingConsole = wasMoving;
}

// The view of the console has moved. When the user moved it, it follows the
// output from now on if it is at the end, and stays where it is if not. At
// the end means the last line in full view: brought there by the keys
// (Ctrl+End), the view stops short of the text's bottom margin.
void MainWindow::consoleScrolled(int value)
{
    if (movingConsole)
        return;
    const int margin = int(std::ceil(ui->txtOutput->document()->documentMargin()));
    consoleFollows = value >= ui->txtOutput->verticalScrollBar()->maximum() - margin;
}

// The console's text has grown (its layout may finish after the text came
// in) or its view changed size: a console that follows stays at the end.
void MainWindow::consoleRangeChanged(int maximum)
{
    if (!consoleFollows)
        return;
    const bool wasMoving = movingConsole;
    movingConsole = true;
    ui->txtOutput->verticalScrollBar()->setValue(maximum);
    movingConsole = wasMoving;
}

void MainWindow::setUploadControlsEnabled(bool enabled)
{
    ui->btnUploadFlash->setEnabled(enabled);
    ui->cboCommPort->setEnabled(enabled);
}

// --- The console toggle and the port list ------------------------------------

void MainWindow::on_chkShowConsole_stateChanged(int arg1)
{
    ui->txtOutput->setVisible(arg1 == Qt::Checked);
}

void MainWindow::refreshPortList()
{
    ui->cboCommPort->clear();
    const QStringList ports = PortList::systemLocations();
    for (const QString &port : ports)
        ui->cboCommPort->insertItem(ui->cboCommPort->count(), QIcon(), port, QVariant());
}

void MainWindow::on_cboCommPort_activated(int index)
{
    settings->setValue(SettingsKeys::commPort(), ui->cboCommPort->itemText(index));
}
