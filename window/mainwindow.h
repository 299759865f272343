// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef KIVERLO_MAINWINDOW_H
#define KIVERLO_MAINWINDOW_H

#include "outputdecoder.h"
#include "progresswatch.h"
#include "verdict.h"

#include <QMainWindow>
#include <QPointer>
#include <QProcess>

class ProgrammerProcess;
class QSettings;
class QTimer;
struct MainWindowForm;

// The tool's only window: pick a serial port, press "Upload...", choose a
// HEX file; the programmer runs as a child process, its output streams into
// the console, and the label tells the outcome.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    // The order of these five is fixed: tools and tests address them by
    // their index in the meta-object.
    void on_btnUploadFlash_clicked();
    void avrOutput();
    void avrFinished(int data, QProcess::ExitStatus status);
    void on_chkShowConsole_stateChanged(int arg1);
    void on_cboCommPort_activated(int index);

private:
    void refreshPortList();
    // Takes its path by value as it always has; QString copies share their data.
    bool fileExists(QString path); // NOLINT(performance-unnecessary-value-param)

    void createRunner();
    void takeOutputSlice();
    qint64 untilNextLimit() const;
    void checkLimits();
    void lookAtLimitsIn(qint64 ms);
    void letGoOfProgrammer();
    void concludeRun();
    QString stopNote() const;
    void appendNote(const QString &note);
    void programmerFailedToStart();
    void endRun(const QString &outcome);
    void appendToConsole(const QString &text);
    void consoleScrolled(int value);
    void consoleRangeChanged(int maximum);
    void showProgrammerText(const QString &text);
    void setUploadControlsEnabled(bool enabled);

    MainWindowForm *ui = nullptr;
    QSettings *settings = nullptr;
    ProgrammerProcess *process = nullptr;
    // Feeds output left in the runner to the console, a slice at a time.
    QTimer *outputPump = nullptr;

    // Looks at the run when its next limit is due; see checkLimits().
    QTimer *limitCheck = nullptr;

    // State of the current run; all start afresh with each run. Times are
    // RunClock's.
    OutputDecoder decoder;
    VerdictScanner verdict;
    ProgressWatch progress;
    qint64 runStartedAt = 0;
    qint64 lastProgressAt = 0;
    // Why the window stopped the programmer, and when; none while it has not.
    enum class StopReason { None, Stalled, Overran };
    StopReason stopReason = StopReason::None;
    qint64 stoppedAt = 0;
    // The programmer has ended; the verdict follows once its output is in.
    bool programmerEnded = false;
    // It ended by the window's stop, not on its own.
    bool endedByStop = false;
    // Whether the run took the focus from the upload button, and where Qt
    // put it then; the run's end gives it back (see endRun()).
    bool uploadButtonHadFocus = false;
    QPointer<QWidget> focusDuringRun;

    // Whether the console follows the output: while its view is at the end,
    // as a terminal's does. A user who scrolls away (wheel, scroll bar,
    // keys) stops it; back at the end, it follows again.
    bool consoleFollows = true;
    // Set while the window itself moves the console's view, so that only
    // the user's moves decide whether it follows.
    bool movingConsole = false;
};

#endif
