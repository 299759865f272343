// SPDX-License-Identifier: GPL-3.0-or-later
// Uploads through the real window, with fake programmers: the click, the
// file dialog, the command and its arguments, the streamed output, the
// verdict and the locked controls, and the cases that used to go wrong.
#include "fakeprogrammer.h"
#include "guitest.h"
#include "mainwindow.h"
#include "outputdecoder.h"
#include "programmerpath.h"
#include "programmerprocess.h"
#include "progresswatch.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollBar>
#include <QTextEdit>

#include <memory>

namespace {
const QString instructions = QStringLiteral("1) Select Comm Port 2) Click Upload... 3) Select .hex file");
const QString running = QStringLiteral("Programming. Please wait...");
const QChar replacement(QChar::ReplacementCharacter);
enum Ending { Exit0, Exit1, Crash, CloseInput };

// A runner whose stop does nothing, as with a programmer that waits in the
// kernel for a driver that hangs: it ends only when the test ends it.
class UnstoppableRunner : public ProgrammerProcess
{
public:
    using ProgrammerProcess::ProgrammerProcess;
    void stop() override
    {
        ++stops;
    }
    int stops = 0;
};

// A runner whose programmer ends on its own just before the window's kill
// reaches it: its stop lets the programmer go on to its end ("end"), waits
// until it has ended, and only then kills.
class OvertakenRunner : public ProgrammerProcess
{
public:
    using ProgrammerProcess::ProgrammerProcess;
    void stop() override
    {
        ++stops;
        fake->release(QStringLiteral("end"));
        QElapsedTimer waited;
        waited.start();
        while (fake->isAlive() && waited.elapsed() < 20000)
            QThread::msleep(5);
        ProgrammerProcess::stop();
    }
    const FakeProgrammer *fake = nullptr;
    int stops = 0;
};
} // namespace

class TestUploadFlow : public QObject, protected WindowTest
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void completedRun();
    void argumentsKeepValuesWhole_data();
    void argumentsKeepValuesWhole();
    void dialogStartsAtRememberedFileAndCancelChangesNothing();
    void vanishedFileChangesNothing();
    void verdictIgnoresExitCodeAndCommandLine_data();
    void verdictIgnoresExitCodeAndCommandLine();
    void outputDecodedAsOneStream();
    void userSelectionDuringRunIsKept();
    void programmerThatCannotStart_data();
    void programmerThatCannotStart();
    void closingDuringRunEndsTheProgrammer();
    void quietRunWithinTheLimitCompletes();
    void runawayProgrammerStoppedAtTheBound();
    void endlessLineStoppedAfterTheCut();
    void programmerThatCannotBeStopped();
    void programmerEndingAsItIsStopped();
    void killedToolTakesItsProgrammer();
    void toolEndsPastAProgrammerThatWillNotEnd();

private:
    QString hexFile(const QString &name);
    int consoleLines() const
    {
        return int(console()->toPlainText().count(QLatin1Char('\n')));
    }
    // Moves the window's clock on, then waits for output that came after:
    // once it is in the console, the window has looked at its limits at the
    // new time.
    void advanceAndWaitForOutput(ManualClock &clock, qint64 ms, bool byLines = true);
    QString expectedCommand(const QString &port, const QString &path) const;
};

void TestUploadFlow::init()
{
    beginWindowTest();
    FakeProgrammer::uninstall();
}

void TestUploadFlow::cleanup()
{
    endWindowTest();
    FakeProgrammer::uninstall();
}

QString TestUploadFlow::hexFile(const QString &name)
{
    const QString path = files->filePath(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qWarning("cannot write %s", qPrintable(path));
    file.write(":00000001FF\n");
    return path;
}

QString TestUploadFlow::expectedCommand(const QString &port, const QString &path) const
{
    const QString dir = QCoreApplication::applicationDirPath();
    return QStringLiteral("\"%1//avrdude\" -c arduino -p m328p -C \"%1/avrdude.conf\" -P %2 -U flash:w:\"%3\":i")
        .arg(dir, port, path);
}

void TestUploadFlow::completedRun()
{
    FakeProgrammer fake;
    fake.waitFor(QStringLiteral("start"))
        .print("avrdude: AVR device initialized\n")
        .waitFor(QStringLiteral("half"))
        .print("avrdude: 12 bytes of flash ")
        .waitFor(QStringLiteral("rest"))
        .print("verified\n\navrdude done.  Thank you.\n");
    QVERIFY(fake.install());
    settings->store(QStringLiteral("commPort"), QStringLiteral("/dev/ttyFAKE0"));
    const QString path = hexFile(QStringLiteral("blink.hex"));

    openWindow();
    QCOMPARE(label()->text(), instructions);
    startUpload(path);

    // At once: the controls are locked, the label says so, the command is
    // echoed, and the file is remembered before any outcome is known.
    QVERIFY(controlsDisabled());
    QCOMPARE(label()->text(), running);
    const QString command = expectedCommand(QStringLiteral("/dev/ttyFAKE0"), path);
    QCOMPARE(console()->toPlainText(), command + QLatin1Char('\n'));
    QCOMPARE(
        QSettings(QStringLiteral("Trunoma"), QStringLiteral("Kiverlo")).value(QStringLiteral("filename")).toString(),
        path);

    // A second click during the run opens nothing.
    QTest::mouseClick(button(), Qt::LeftButton);
    QVERIFY(!QApplication::activeModalWidget());

    // Output shows as it comes; the verdict waits for the end.
    fake.release(QStringLiteral("start"));
    QTRY_VERIFY(console()->toPlainText().endsWith(QStringLiteral("initialized\n")));
    QCOMPARE(label()->text(), running);
    QVERIFY(controlsDisabled());
    // Half of the report, shown, is no verdict yet.
    fake.release(QStringLiteral("half"));
    QTRY_VERIFY(console()->toPlainText().endsWith(QStringLiteral("of flash ")));
    QCOMPARE(label()->text(), running);
    fake.release(QStringLiteral("rest"));
    QTRY_COMPARE_WITH_TIMEOUT(label()->text(), QStringLiteral("Completed!"), 10000);
    QVERIFY(controlsEnabled());
    // All of it reached the console in order, though it stayed hidden.
    QVERIFY(!console()->isVisible());
    QCOMPARE(console()->toPlainText(),
        command
            + QStringLiteral("\navrdude: AVR device initialized\navrdude: 12 bytes of "
                             "flash verified\n\navrdude done.  Thank you.\n"));
    QCOMPARE(console()->toPlainText().section(QLatin1Char('\n'), 0, 0), command);
    const QString dir = QCoreApplication::applicationDirPath();
    QCOMPARE(fake.received(),
        QStringList({dir + "//avrdude", "-c", "arduino", "-p", "m328p", "-C", dir + "/avrdude.conf", "-P",
            "/dev/ttyFAKE0", "-U", "flash:w:" + path + ":i"}));
    // Showing the console later shows everything.
    clickCheckBox(widget<QCheckBox>(window.get(), "chkShowConsole"));
    QVERIFY(console()->isVisible());
    QVERIFY(console()->toPlainText().endsWith(QStringLiteral("Thank you.\n")));

    // The next run starts with a clean console.
    FakeProgrammer silent;
    QVERIFY(silent.install());
    startUpload(path);
    QTRY_COMPARE(label()->text(), QStringLiteral("Failed"));
    QCOMPARE(console()->toPlainText(), command + QLatin1Char('\n'));
}

void TestUploadFlow::argumentsKeepValuesWhole_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QStringList>("portArguments");
    QTest::newRow("no port remembered") << QString() << "plain.hex" << QStringList();
    QTest::newRow("blanks") << "/dev/my port"
                            << "my folder/my firmware.hex" << QStringList {"/dev/my port"};
#ifdef Q_OS_WIN
    // Windows file names hold no double quote, but a remembered port may:
    // the child splits its one command line by the system's rules, so
    // quotes and the backslashes before them must come through escaped.
    QTest::newRow("quotes cannot inject") << "\\\\.\\COM5\" -U \"eeprom:w:evil.hex"
                                          << "my folder/x.hex" << QStringList {"\\\\.\\COM5\" -U \"eeprom:w:evil.hex"};
    QTest::newRow("backslashes before quotes") << "COM1\\\" x \\\\"
                                               << "a b/c.hex" << QStringList {"COM1\\\" x \\\\"};
    const QString longName = QString(200, QLatin1Char('n')) + QStringLiteral(" ü.hex");
#else
    QTest::newRow("quotes cannot inject") << "/dev/ttyS1"
                                          << "x\" -U \"eeprom:w:evil.hex.hex" << QStringList {"/dev/ttyS1"};
    const QString longName = QString(200, QLatin1Char('n')) + QStringLiteral(" ü\".hex");
#endif
    QTest::newRow("non-ASCII") << "/dev/ttyÜ"
                               << "Größe/прошивка.hex" << QStringList {"/dev/ttyÜ"};
    const QString deepFolders = QString(QString(120, QLatin1Char('d')) + QLatin1Char('/')).repeated(6);
    QTest::newRow("very long path") << "COM3" << deepFolders + longName << QStringList {"COM3"};
}

void TestUploadFlow::argumentsKeepValuesWhole()
{
    QFETCH(QString, port);
    QFETCH(QString, fileName);
    QFETCH(QStringList, portArguments);
    FakeProgrammer fake;
    QVERIFY(fake.install());
    if (!port.isNull())
        settings->store(QStringLiteral("commPort"), port);
    const QString path = hexFile(fileName);

    openWindow();
    startUpload(path);
    QTRY_COMPARE(label()->text(), QStringLiteral("Failed"));
    QCOMPARE(console()->toPlainText(), expectedCommand(port, path) + QLatin1Char('\n'));

    const QString dir = QCoreApplication::applicationDirPath();
    const QStringList expected = QStringList {dir + "//avrdude", "-c", "arduino", "-p", "m328p", "-C",
                                     programmerPath(dir + "/avrdude.conf"), "-P"}
        + portArguments + QStringList {"-U", "flash:w:" + programmerPath(path) + ":i"};
    QCOMPARE(fake.received(), expected);
}

void TestUploadFlow::dialogStartsAtRememberedFileAndCancelChangesNothing()
{
    FakeProgrammer fake;
    fake.print("avrdude: 1 bytes of flash verified\n");
    QVERIFY(fake.install());
    const QString remembered = hexFile(QStringLiteral("old/remembered.hex"));
    settings->store(QStringLiteral("filename"), remembered);

    openWindow();
    QString startDir, startFile, caption, filter;
    answerNextFileDialog([&](QFileDialog *dialog) {
        startDir = dialog->directory().absolutePath();
        startFile = dialog->selectedFiles().value(0);
        caption = dialog->windowTitle();
        filter = dialog->nameFilters().join(QLatin1Char(';'));
        dialog->reject();
    });
    QTest::mouseClick(button(), Qt::LeftButton);
    QCOMPARE(startDir, QFileInfo(remembered).absolutePath());
    QCOMPARE(startFile, remembered);
    QCOMPARE(caption, QStringLiteral("Select .hex file"));
    QCOMPARE(filter, QStringLiteral("Hex files (*.hex)"));
    QCOMPARE(label()->text(), instructions);
    QVERIFY(!fake.wasStarted());

    // After a run, cancelling keeps the console and the verdict as they are.
    startUpload(remembered);
    QTRY_COMPARE(label()->text(), QStringLiteral("Completed!"));
    const QString before = console()->toPlainText();
    answerNextFileDialog([](QFileDialog *dialog) { dialog->reject(); });
    QTest::mouseClick(button(), Qt::LeftButton);
    QCOMPARE(console()->toPlainText(), before);
    QCOMPARE(label()->text(), QStringLiteral("Completed!"));
    QVERIFY(controlsEnabled());
    window.reset();
    QCOMPARE(settings->storedValue(QStringLiteral("filename")).toString(), remembered);
}

void TestUploadFlow::vanishedFileChangesNothing()
{
    FakeProgrammer fake;
    QVERIFY(fake.install());
    const QString remembered = hexFile(QStringLiteral("kept.hex"));
    settings->store(QStringLiteral("filename"), remembered);
    const QString doomed = hexFile(QStringLiteral("doomed.hex"));

    openWindow();
    // The file is gone by the time the dialog's answer is checked.
    answerNextFileDialog([doomed](QFileDialog *dialog) {
        choose(dialog, doomed);
        QFile::remove(doomed);
    });
    // The click returns once the window has dealt with the answer: a run
    // would have begun by then.
    QTest::mouseClick(button(), Qt::LeftButton);
    QCOMPARE(label()->text(), instructions);
    QVERIFY(console()->toPlainText().isEmpty());
    QVERIFY(controlsEnabled());
    window.reset();
    QVERIFY(!fake.wasStarted());
    QCOMPARE(settings->storedValue(QStringLiteral("filename")).toString(), remembered);
}

void TestUploadFlow::verdictIgnoresExitCodeAndCommandLine_data()
{
    // The output may name the file: "@" stands for its path.
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("ending");
    QTest::addColumn<QString>("verdict");
    QTest::newRow("verified, then an error exit")
        << "a.hex" << QByteArray("avrdude: 8 bytes of flash verified\n") << int(Exit1) << "Completed!";
    QTest::newRow("one byte, newer wording without the name")
        << "a.hex" << QByteArray("1 byte of flash verified\n\nAvrdude done.  Thank you.\n") << int(Exit0)
        << "Completed!";
    QTest::newRow("clean exit without verification")
        << "a.hex" << QByteArray("avrdude done.  Thank you.\n") << int(Exit0) << "Failed";
    QTest::newRow("the words in the path, not echoed")
        << "flash verified/flash verified.hex" << QByteArray("avrdude: ser_open(): can't open device\n") << int(Exit1)
        << "Failed";
#ifndef Q_OS_WIN // Windows file names hold no line breaks.
    QTest::newRow("a line break in the file name")
        << "x\n5 bytes of flash verified\n.hex" << QByteArray("avrdude: reading input file \"@\"\n") << int(Exit1)
        << "Failed";
#endif
    QTest::newRow("killed by a signal") << "a.hex" << QByteArray("Writing | ####") << int(Crash) << "Failed";
    QTest::newRow("silent") << "a.hex" << QByteArray() << int(Exit0) << "Failed";
    QTest::newRow("closes its input and leaves at once") << "a.hex" << QByteArray() << int(CloseInput) << "Failed";
}

void TestUploadFlow::verdictIgnoresExitCodeAndCommandLine()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, output);
    QFETCH(int, ending);
    QFETCH(QString, verdict);
    const QString path = hexFile(fileName);
    output.replace('@', path.toUtf8());
    FakeProgrammer fake;
    if (!output.isEmpty())
        fake.print(output);
    switch (Ending(ending)) {
    case Exit0:
        fake.exitWith(0);
        break;
    case Exit1:
        fake.exitWith(1);
        break;
    case Crash:
        fake.crash();
        break;
    case CloseInput:
        fake.closeInput().exitWith(3);
        break;
    }
    QVERIFY(fake.install());
    openWindow();
    startUpload(path);
    QTRY_VERIFY(controlsEnabled());
    QCOMPARE(label()->text(), verdict);
    QCOMPARE(
        console()->toPlainText(), expectedCommand(QString(), path) + QLatin1Char('\n') + QString::fromUtf8(output));
}

void TestUploadFlow::outputDecodedAsOneStream()
{
    // The programmer writes UTF-8, or on Windows the ANSI code page: under
    // Wine 1252 (tests/windows/wine-prefix.sh sets the locale that gives it),
    // where "€" is one byte and 0x81 stands for nothing.
    const QByteArray encoding = OutputDecoder::programmerEncoding();
    const bool utf8 = encoding == "UTF-8";
    QVERIFY2(utf8 || encoding == "windows-1252",
        qPrintable(QStringLiteral("the programmer writes %1 here, neither UTF-8 nor windows-1252")
                       .arg(QString::fromLatin1(encoding))));
    FakeProgrammer fake;
    // "€" cut after its second byte; NUL bytes inside a chunk; invalid bytes.
    // Each piece is read before the next is written.
    fake.print(QByteArray("price ") + (utf8 ? "\xE2\x82" : ""))
        .waitFor(QStringLiteral("1"))
        .print(QByteArray(utf8 ? "\xAC" : "\x80") + " ok")
        .waitFor(QStringLiteral("2"))
        .print(QByteArray("before\0after\0", 13) + "bad " + (utf8 ? "\xFF" : "\x81") + " end\n")
        .waitFor(QStringLiteral("3"))
        .print("7 bytes of flash verified\n");
    QVERIFY(fake.install());
    openWindow();
    startUpload(hexFile(QStringLiteral("a.hex")));
    QTRY_VERIFY(console()->toPlainText().endsWith(QStringLiteral("price ")));
    fake.release(QStringLiteral("1"));
    QTRY_VERIFY(console()->toPlainText().endsWith(QStringLiteral("€ ok")));
    fake.release(QStringLiteral("2"));
    QTRY_VERIFY(console()->toPlainText().endsWith(QStringLiteral(" end\n")));
    fake.release(QStringLiteral("3"));
    QTRY_COMPARE(label()->text(), QStringLiteral("Completed!"));
    const QString output = console()->toPlainText().section(QLatin1Char('\n'), 1);
    QCOMPARE(output,
        QStringLiteral("price € okbefore") + replacement + QStringLiteral("after") + replacement
            + QStringLiteral("bad ") + replacement + QStringLiteral(" end\n7 bytes of flash verified\n"));
}

void TestUploadFlow::userSelectionDuringRunIsKept()
{
    FakeProgrammer fake;
    fake.print("alpha beta gamma\n")
        .waitFor(QStringLiteral("selected"))
        .print("second line\n")
        .waitFor(QStringLiteral("second shown"))
        .print("3 bytes of flash verified\n");
    QVERIFY(fake.install());
    openWindow();
    clickCheckBox(widget<QCheckBox>(window.get(), "chkShowConsole"));
    startUpload(hexFile(QStringLiteral("a.hex")));
    QTRY_VERIFY(console()->toPlainText().contains(QStringLiteral("gamma")));

    // The user selects a word in the middle of the console, as with a
    // double click, while output keeps coming.
    const int start = console()->toPlainText().indexOf(QStringLiteral("beta"));
    QTextCursor selection(console()->document());
    selection.setPosition(start);
    selection.setPosition(start + 4, QTextCursor::KeepAnchor);
    console()->setTextCursor(selection);
    fake.release(QStringLiteral("selected"));
    // Output arriving after the selection leaves it alone, line by line.
    QTRY_VERIFY(console()->toPlainText().endsWith(QStringLiteral("second line\n")));
    QCOMPARE(console()->textCursor().selectedText(), QStringLiteral("beta"));
    fake.release(QStringLiteral("second shown"));

    QTRY_COMPARE_WITH_TIMEOUT(label()->text(), QStringLiteral("Completed!"), 10000);
    QVERIFY(console()->toPlainText().endsWith(
        QStringLiteral("alpha beta gamma\nsecond line\n3 bytes of flash verified\n")));
    QCOMPARE(console()->textCursor().selectedText(), QStringLiteral("beta"));
    // The end stays in view.
    QScrollBar *bar = console()->verticalScrollBar();
    QCOMPARE(bar->value(), bar->maximum());

    // A selection reaching the very end does not swallow the next output.
    FakeProgrammer more;
    more.print("one\n").waitFor(QStringLiteral("all selected")).print("two\n");
    QVERIFY(more.install());
    startUpload(hexFile(QStringLiteral("b.hex")));
    QTRY_VERIFY(console()->toPlainText().endsWith(QStringLiteral("one\n")));
    QTextCursor all(console()->document());
    all.select(QTextCursor::Document);
    console()->setTextCursor(all);
    const QString selectedBefore = console()->textCursor().selectedText();
    QVERIFY(selectedBefore.endsWith(QStringLiteral("one") + QChar(QChar::ParagraphSeparator)));
    more.release(QStringLiteral("all selected"));
    QTRY_VERIFY(controlsEnabled());
    QVERIFY(console()->toPlainText().endsWith(QStringLiteral("one\ntwo\n")));
    QCOMPARE(console()->textCursor().selectedText(), selectedBefore);
}

void TestUploadFlow::programmerThatCannotStart_data()
{
    QTest::addColumn<bool>("present");
    QTest::newRow("missing") << false;
    QTest::newRow("not executable") << true;
}

void TestUploadFlow::programmerThatCannotStart()
{
    QFETCH(bool, present);
    FakeProgrammer fake;
    if (present)
        QVERIFY(fake.install(false));
    const QString path = hexFile(QStringLiteral("a.hex"));
    openWindow();
    startUpload(path);
    QTRY_VERIFY(controlsEnabled());
    QCOMPARE(label()->text(), QStringLiteral("Failed"));
    const QStringList lines = console()->toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(lines.value(0), expectedCommand(QString(), path));
    QVERIFY2(
        lines.value(1).startsWith(QStringLiteral("The programmer could not be started: ")), qPrintable(lines.value(1)));
    QVERIFY(lines.value(1).size() > 40);

    // The tool is usable again: the next upload really runs.
    FakeProgrammer working;
    working.print("avrdude: 2 bytes of flash verified\n");
    QVERIFY(working.install());
    startUpload(path);
    QTRY_COMPARE(label()->text(), QStringLiteral("Completed!"));
}

void TestUploadFlow::closingDuringRunEndsTheProgrammer()
{
    FakeProgrammer fake;
    fake.print("Reading | ").pause(60000);
    QVERIFY(fake.install());
    openWindow();
    startUpload(hexFile(QStringLiteral("a.hex")));
    QTRY_VERIFY(console()->toPlainText().contains(QStringLiteral("Reading")));
    QVERIFY(fake.isAlive());

    // Closing waits for the killed programmer; a programmer left running
    // would still be alive here.
    window->close();
    window.reset();
    QVERIFY(!fake.isAlive());
}

void TestUploadFlow::quietRunWithinTheLimitCompletes()
{
    // The window stops a programmer only after the full limit without
    // progress. One that shows none for a moment less (it prints only the
    // line it printed before) runs on and completes; one that prints
    // nothing at all for the full limit is stopped.
    ManualClock clock;
    FakeProgrammer fake;
    fake.print("avrdude: reading input file\n")
        .waitFor(QStringLiteral("again"))
        .print("avrdude: reading input file\n")
        .waitFor(QStringLiteral("done"))
        .print("avrdude: 8 bytes of flash verified\n");
    QVERIFY(fake.install());
    openWindow();
    const QString path = hexFile(QStringLiteral("a.hex"));
    startUpload(path);
    QTRY_VERIFY(console()->toPlainText().endsWith(QStringLiteral("file\n")));
    // The window looks at its limits once the repeated line is in.
    clock.advance(qint64(ProgressWatch::StallLimitSeconds) * 1000 - 1);
    fake.release(QStringLiteral("again"));
    QTRY_COMPARE(console()->toPlainText().count(QStringLiteral("reading input file")), 2);
    fake.release(QStringLiteral("done"));
    QTRY_COMPARE(label()->text(), QStringLiteral("Completed!"));
    QVERIFY(!console()->toPlainText().contains(QStringLiteral("stopped")));

    FakeProgrammer silent;
    silent.print("avrdude: reading input file\n").waitFor(QStringLiteral("never"));
    QVERIFY(silent.install());
    const auto reap = qScopeGuard([&silent] { silent.kill(); });
    startUpload(path);
    QTRY_VERIFY(console()->toPlainText().endsWith(QStringLiteral("file\n")));
    QVERIFY(silent.isAlive());
    clock.advance(qint64(ProgressWatch::StallLimitSeconds) * 1000);
    QTRY_COMPARE(label()->text(), QStringLiteral("Failed"));
    QVERIFY(controlsEnabled());
    QVERIFY(!silent.isAlive());
    QVERIFY2(console()->toPlainText().endsWith(
                 QStringLiteral("file\nThe programmer showed no progress for 30 seconds and was stopped.\n")),
        qPrintable(console()->toPlainText().right(200)));
}

void TestUploadFlow::advanceAndWaitForOutput(ManualClock &clock, qint64 ms, bool byLines)
{
    clock.advance(ms);
    const int before = byLines ? consoleLines() : int(console()->toPlainText().size());
    QTRY_VERIFY((byLines ? consoleLines() : int(console()->toPlainText().size())) > before);
}

void TestUploadFlow::runawayProgrammerStoppedAtTheBound()
{
    // A programmer whose every line is new never stalls: what stops it is
    // the bound on the whole run, 5 minutes after its start.
    ManualClock clock;
    FakeProgrammer fake;
    fake.printForever("avrdude: ser_recv(): read error, retry {n}\n");
    QVERIFY(fake.install());
    openWindow();
    const QString path = hexFile(QStringLiteral("a.hex"));
    startUpload(path);
    QTRY_VERIFY(console()->toPlainText().contains(QStringLiteral("retry 3\n")));

    // Up to a moment before the bound it runs on, each step shorter than
    // the stall limit.
    for (int step = 0; step < 14; ++step)
        advanceAndWaitForOutput(clock, 20000);
    advanceAndWaitForOutput(clock, 19999);
    QVERIFY(controlsDisabled());
    QVERIFY(fake.isAlive());
    QCOMPARE(label()->text(), running);

    // At 5 minutes it is stopped, gone, and said so.
    clock.advance(1);
    QTRY_COMPARE_WITH_TIMEOUT(label()->text(), QStringLiteral("Failed"), 20000);
    QVERIFY(controlsEnabled());
    QVERIFY(!fake.isAlive());
    const QString text = console()->toPlainText();
    QVERIFY2(text.endsWith(QStringLiteral("\nThe programmer ran for 5 minutes without finishing and was stopped.\n")),
        qPrintable(text.right(200)));
    QVERIFY(!text.contains(QStringLiteral("no progress")));

    FakeProgrammer next;
    next.print("avrdude: 8 bytes of flash verified\n");
    QVERIFY(next.install());
    startUpload(path);
    QTRY_COMPARE(label()->text(), QStringLiteral("Completed!"));
    QVERIFY(!console()->toPlainText().contains(QStringLiteral("stopped")));
}

void TestUploadFlow::endlessLineStoppedAfterTheCut()
{
    // One line that never ends: its dots are progress up to the compared
    // length, none after it, so the run stalls 30 s after the line passed
    // that length.
    ManualClock clock;
    FakeProgrammer fake;
    fake.print("avrdude: writing " + QByteArray(100, '.')).waitFor(QStringLiteral("on")).printForever(".");
    QVERIFY(fake.install());
    openWindow();
    const QString path = hexFile(QStringLiteral("a.hex"));
    startUpload(path);
    const auto lastLine = [this] {
        return console()->toPlainText().section(QLatin1Char('\n'), -1);
    };
    QTRY_VERIFY(lastLine().endsWith(QByteArray(100, '.')));

    // 20 s later the line grows again, and passes the compared length.
    clock.advance(20000);
    fake.release(QStringLiteral("on"));
    QTRY_VERIFY(lastLine().size() > ProgressWatch::ComparedLength + 50);

    // From there on nothing is progress: up to a moment before 30 s it runs
    // on, at 30 s it is stopped.
    advanceAndWaitForOutput(clock, 20000, false);
    advanceAndWaitForOutput(clock, 9999, false);
    QVERIFY(controlsDisabled());
    QVERIFY(fake.isAlive());
    clock.advance(1);
    QTRY_COMPARE_WITH_TIMEOUT(label()->text(), QStringLiteral("Failed"), 20000);
    QVERIFY(controlsEnabled());
    QVERIFY(!fake.isAlive());
    const QString text = console()->toPlainText();
    QVERIFY2(text.endsWith(QStringLiteral("....\nThe programmer showed no progress for 30 seconds and was stopped.\n")),
        qPrintable(text.right(200)));
}

void TestUploadFlow::programmerThatCannotBeStopped()
{
    // The window's stop does not reach the programmer: the window gives up
    // waiting for it a few seconds later, says "Failed", unlocks, and lets
    // go of it, to be reaped whenever it ends.
    ManualClock clock;
    QList<QPointer<UnstoppableRunner>> runners;
    ProgrammerProcess::setFactory([&runners](QObject *parent) {
        auto *runner = new UnstoppableRunner(parent);
        runners << runner;
        return runner;
    });
    const auto restore = qScopeGuard([] { ProgrammerProcess::setFactory(nullptr); });

    // Two runs of this script: the first is stopped at its stall and hangs
    // ("go on"); the second runs meanwhile and completes.
    FakeProgrammer fake;
    fake.print("avrdude: reading input file\n")
        .waitFor(QStringLiteral("stall"))
        .print("avrdude: reading input file\n")
        .waitFor(QStringLiteral("go on"))
        .print("avrdude: 8 bytes of flash verified\n");
    QVERIFY(fake.install());
    openWindow();
    QCOMPARE(runners.size(), 1);
    const QString path = hexFile(QStringLiteral("a.hex"));
    startUpload(path);
    QTRY_VERIFY(console()->toPlainText().endsWith(QStringLiteral("file\n")));
    const qint64 stuck = fake.pid();

    // No progress for 30 s (the same line again): the window stops it, in
    // vain, and waits for its end.
    clock.advance(30000);
    fake.release(QStringLiteral("stall"));
    QTRY_COMPARE(runners[0]->stops, 1);
    QVERIFY(controlsDisabled());

    // 5 s later it gives up.
    clock.advance(5000);
    QTRY_COMPARE_WITH_TIMEOUT(label()->text(), QStringLiteral("Failed"), 20000);
    QVERIFY(controlsEnabled());
    QVERIFY2(console()->toPlainText().endsWith(
                 QStringLiteral("file\nThe programmer showed no progress for 30 seconds and was stopped.\n"
                                "It has not ended 5 seconds later; the window no longer waits for it.\n")),
        qPrintable(console()->toPlainText().right(300)));
    QVERIFY(FakeProgrammer::isAlive(stuck));
    QVERIFY(runners[0]);

    // The next upload runs at once, with a fresh runner, while the first
    // programmer still hangs.
    QCOMPARE(runners.size(), 2);
    startUpload(path);
    QTRY_VERIFY(fake.pid() != stuck);
    QVERIFY(FakeProgrammer::isAlive(stuck));
    fake.release(QStringLiteral("stall"));
    fake.release(QStringLiteral("go on"));
    QTRY_COMPARE(label()->text(), QStringLiteral("Completed!"));
    QVERIFY(!console()->toPlainText().contains(QStringLiteral("stopped")));
    // The first programmer ended too ("go on"): its runner is gone with it.
    QTRY_VERIFY(!runners[0]);
#ifndef Q_OS_WIN
    QTRY_VERIFY(FakeProgrammer::isReaped(stuck));
#endif

    // Closing the window during a run of such a programmer waits for it a
    // few seconds at most, then lets go of it.
    FakeProgrammer hanging;
    hanging.print("Writing | ").waitFor(QStringLiteral("never"));
    QVERIFY(hanging.install());
    startUpload(path);
    QTRY_VERIFY(console()->toPlainText().endsWith(QStringLiteral("Writing | ")));
    const auto reap = qScopeGuard([&hanging] { hanging.kill(); });
    QPointer<UnstoppableRunner> last = runners.last();
    QElapsedTimer closing;
    closing.start();
    window->close();
    window.reset();
    QVERIFY2(closing.elapsed() < 20000, qPrintable(QString::number(closing.elapsed())));
    QVERIFY(hanging.isAlive());
    QVERIFY(last);
    hanging.kill();
    QTRY_VERIFY(!last);
}

void TestUploadFlow::programmerEndingAsItIsStopped()
{
    // The programmer has ended on its own, with "flash verified", by the
    // time the window's kill comes: it was not stopped, and says nothing of
    // the kind.
    ManualClock clock;
    FakeProgrammer fake;
    QPointer<OvertakenRunner> runner;
    ProgrammerProcess::setFactory([&runner, &fake](QObject *parent) {
        runner = new OvertakenRunner(parent);
        runner->fake = &fake;
        return runner.data();
    });
    const auto restore = qScopeGuard([] { ProgrammerProcess::setFactory(nullptr); });
    fake.print("avrdude: writing flash\n")
        .waitFor(QStringLiteral("stall"))
        .print("avrdude: writing flash\n")
        .waitFor(QStringLiteral("end"))
        .print("avrdude: 8 bytes of flash verified\n")
        .exitWith(0);
    QVERIFY(fake.install());
    openWindow();
    startUpload(hexFile(QStringLiteral("a.hex")));
    QTRY_VERIFY(console()->toPlainText().endsWith(QStringLiteral("flash\n")));
    clock.advance(30000);
    fake.release(QStringLiteral("stall"));
    QTRY_COMPARE_WITH_TIMEOUT(label()->text(), QStringLiteral("Completed!"), 20000);
    QCOMPARE(runner->stops, 1);
    QVERIFY(console()->toPlainText().endsWith(QStringLiteral("flash\navrdude: 8 bytes of flash verified\n")));
}

namespace {
const char *const kUploadAndWait = "KIVERLO_TEST_UPLOAD_AND_WAIT";
const char *const kUploadAndQuit = "KIVERLO_TEST_UPLOAD_AND_QUIT";

// A second copy of this test program, as the tool a user might kill: it
// opens the window, uploads the named file and runs until it is killed.
int uploadAndWait(int argc, char **argv, const QString &path)
{
    QApplication application(argc, argv);
    IsolatedSettings settings;
    MainWindow window;
    window.show();
    answerNextFileDialog([path](QFileDialog *dialog) { choose(dialog, path); });
    QTimer::singleShot(
        0, &window, [&window] { QTest::mouseClick(widget<QPushButton>(&window, "btnUploadFlash"), Qt::LeftButton); });
    return QApplication::exec();
}

// A second copy of this test program, as a tool whose programmer will not
// end: it uploads the named file with runners whose stop does nothing,
// closes its window once the programmer has printed, and ends.
int uploadAndQuit(int argc, char **argv, const QString &path)
{
    QApplication application(argc, argv);
    IsolatedSettings settings;
    ProgrammerProcess::setFactory([](QObject *parent) { return new UnstoppableRunner(parent); });
    int result = 0;
    {
        MainWindow window;
        window.show();
        answerNextFileDialog([path](QFileDialog *dialog) { choose(dialog, path); });
        QTimer::singleShot(0, &window,
            [&window] { QTest::mouseClick(widget<QPushButton>(&window, "btnUploadFlash"), Qt::LeftButton); });
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, &window, [&window] {
            if (widget<QTextEdit>(&window, "txtOutput")->toPlainText().endsWith(QStringLiteral("Writing | ")))
                window.close();
        });
        watch.start(20);
        result = QApplication::exec();
    }
    ProgrammerProcess::setFactory(nullptr);
    return result;
}
} // namespace

void TestUploadFlow::killedToolTakesItsProgrammer()
{
    FakeProgrammer fake;
    fake.print("Writing | ").pause(60000);
    QVERIFY(fake.install());
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kUploadAndWait), hexFile(QStringLiteral("a.hex")));
    tool.setProcessEnvironment(environment);
    tool.start(QCoreApplication::applicationFilePath(), QStringList());
    // Should the test fail, it leaves no programmer behind either.
    const auto reap = qScopeGuard([&fake] { fake.kill(); });
    QTRY_VERIFY_WITH_TIMEOUT(fake.isAlive(), 20000);

    // Ended from outside, as by kill -9 or the Task Manager: no chance to
    // clean up.
    tool.kill();
    QVERIFY(tool.waitForFinished());
    QTRY_VERIFY_WITH_TIMEOUT(!fake.isAlive(), 2000);
}

void TestUploadFlow::toolEndsPastAProgrammerThatWillNotEnd()
{
    // The window closes while its programmer runs and will not end: the
    // window waits for it a few seconds, then the tool ends all the same,
    // cleanly (under the sanitizers: with nothing lost), and its programmer
    // goes with it.
    FakeProgrammer fake;
    fake.print("Writing | ").waitFor(QStringLiteral("never"));
    QVERIFY(fake.install());
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kUploadAndQuit), hexFile(QStringLiteral("a.hex")));
    tool.setProcessEnvironment(environment);
    tool.setProcessChannelMode(QProcess::ForwardedChannels);
    tool.start(QCoreApplication::applicationFilePath(), QStringList());
    const auto reap = qScopeGuard([&fake] { fake.kill(); });
    QTRY_VERIFY_WITH_TIMEOUT(fake.isAlive(), 20000);
    QElapsedTimer ending;
    ending.start();
    QVERIFY(tool.waitForFinished(60000));
    QVERIFY2(ending.elapsed() < 20000, qPrintable(QString::number(ending.elapsed())));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!fake.isAlive(), 2000);
}

int main(int argc, char **argv)
{
    const QString upload = qEnvironmentVariable(kUploadAndWait);
    if (!upload.isEmpty())
        return uploadAndWait(argc, argv, upload);
    const QString quit = qEnvironmentVariable(kUploadAndQuit);
    if (!quit.isEmpty())
        return uploadAndQuit(argc, argv, quit);
    QApplication application(argc, argv);
    QApplication::setAttribute(Qt::AA_Use96Dpi, true);
    TestUploadFlow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_uploadflow.moc"
