// SPDX-License-Identifier: GPL-3.0-or-later
// Uploads through the real window, with fake programmers: the click, the
// file dialog, the command and its arguments, the streamed output, the
// verdict and the locked controls, and the cases that used to go wrong.
#include "fakeprogrammer.h"
#include "guitest.h"
#include "mainwindow.h"
#include "outputdecoder.h"
#include "programmerpath.h"
#include "progresswatch.h"

#include <QCheckBox>
#include <QComboBox>
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
    void killedToolTakesItsProgrammer();

private:
    QString hexFile(const QString &name);
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
    QTest::mouseClick(button(), Qt::LeftButton);
    QTest::qWait(200);
    QVERIFY(!fake.wasStarted());
    QCOMPARE(label()->text(), instructions);
    QVERIFY(console()->toPlainText().isEmpty());
    QVERIFY(controlsEnabled());
    window.reset();
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
    // The programmer writes UTF-8, or on Windows the ANSI code page (here
    // 1252, where "€" is one byte and 0x81 stands for nothing).
    const QByteArray encoding = OutputDecoder::programmerEncoding();
    const bool utf8 = encoding == "UTF-8";
    if (!utf8 && encoding != "windows-1252")
        QSKIP("the programmer's code page here is neither UTF-8 nor 1252");
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
    // progress: one that says nothing for a little less still finishes.
    FakeProgrammer fake;
    fake.print("avrdude: reading input file\n")
        .pause((ProgressWatch::StallLimitSeconds - 3) * 1000)
        .print("avrdude: 8 bytes of flash verified\n");
    QVERIFY(fake.install());
    openWindow();
    startUpload(hexFile(QStringLiteral("a.hex")));
    QTRY_COMPARE_WITH_TIMEOUT(label()->text(), QStringLiteral("Completed!"), ProgressWatch::StallLimitSeconds * 1000);
    QVERIFY(!console()->toPlainText().contains(QStringLiteral("was stopped")));
}

namespace {
const char *const kUploadAndWait = "KIVERLO_TEST_UPLOAD_AND_WAIT";

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

int main(int argc, char **argv)
{
    const QString upload = qEnvironmentVariable(kUploadAndWait);
    if (!upload.isEmpty())
        return uploadAndWait(argc, argv, upload);
    QApplication application(argc, argv);
    QApplication::setAttribute(Qt::AA_Use96Dpi, true);
    TestUploadFlow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_uploadflow.moc"
