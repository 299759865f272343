// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef KIVERLO_MAINWINDOW_H
#define KIVERLO_MAINWINDOW_H

#include "outputdecoder.h"
#include "progresswatch.h"
#include "verdict.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>
#include <QProcess>

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

    void takeOutputSlice();
    void checkProgress();
    void concludeRun();
    void programmerFailedToStart();
    void endRun(const QString &outcome);
    void appendToConsole(const QString &text);
    void showProgrammerText(const QString &text);
    void setUploadControlsEnabled(bool enabled);

    MainWindowForm *ui = nullptr;
    QSettings *settings = nullptr;
    QProcess *process = nullptr;
    // Feeds output left in the runner to the console, a slice at a time.
    QTimer *outputPump = nullptr;

    // Looks at the run now and then; see checkProgress().
    QTimer *progressCheck = nullptr;

    // State of the current run's output; all start afresh with each run.
    OutputDecoder decoder;
    VerdictScanner verdict;
    ProgressWatch progress;
    QElapsedTimer sinceProgress;
    // The programmer showed no progress for too long and was stopped.
    bool programmerStalled = false;
    // The programmer has ended; the verdict follows once its output is in.
    bool programmerEnded = false;
    // Whether the run took the focus from the upload button, and where Qt
    // put it then; the run's end gives it back (see endRun()).
    bool uploadButtonHadFocus = false;
    QPointer<QWidget> focusDuringRun;
};

#endif
