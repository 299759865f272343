// SPDX-License-Identifier: GPL-3.0-or-later
// The programmer's command: the text the console shows and the program
// and arguments that really run.
#include "uploadcommand.h"

#include <QProcess>
#include <QtTest>

class TestUploadCommand : public QObject
{
    Q_OBJECT

private slots:
    void commandText_data();
    void commandText();
    void invocation_data();
    void invocation();
    void invocationMatchesTextSplitting_data();
    void invocationMatchesTextSplitting();
};

void TestUploadCommand::commandText_data()
{
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain") << "/opt/kiverlo"
                           << "/dev/ttyUSB0"
                           << "/home/u/blink.hex"
                           << "\"/opt/kiverlo//avrdude\" -c arduino -p m328p -C \"/opt/kiverlo/avrdude.conf\" "
                              "-P /dev/ttyUSB0 -U flash:w:\"/home/u/blink.hex\":i";
    QTest::newRow("empty port")
        << "/a"
        << ""
        << "/b.hex"
        << "\"/a//avrdude\" -c arduino -p m328p -C \"/a/avrdude.conf\" -P  -U flash:w:\"/b.hex\":i";
    QTest::newRow("root folder") << "/"
                                 << "COM3"
                                 << "C:/x y/f.hex"
                                 << "\"///avrdude\" -c arduino -p m328p -C \"//avrdude.conf\" -P COM3 -U "
                                    "flash:w:\"C:/x y/f.hex\":i";
    // Shown as composed: quotes inside values are echoed untouched.
    QTest::newRow("quote in path")
        << "/a"
        << "p"
        << "/x\"y.hex"
        << "\"/a//avrdude\" -c arduino -p m328p -C \"/a/avrdude.conf\" -P p -U flash:w:\"/x\"y.hex\":i";
}

void TestUploadCommand::commandText()
{
    QFETCH(QString, appDir);
    QFETCH(QString, port);
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(buildUploadCommand(appDir, port, path), expected);
}

void TestUploadCommand::invocation_data()
{
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");

    const QStringList head {"-c", "arduino", "-p", "m328p", "-C"};
    QTest::newRow("plain") << "/opt/k"
                           << "/dev/ttyACM0"
                           << "/h/a.hex"
                           << "/opt/k//avrdude"
                           << head
            + QStringList {"/opt/k/avrdude.conf", "-P", "/dev/ttyACM0", "-U", "flash:w:/h/a.hex:i"};
    QTest::newRow("empty port: nine arguments")
        << "/opt/k"
        << ""
        << "/h/a.hex"
        << "/opt/k//avrdude" << head + QStringList {"/opt/k/avrdude.conf", "-P", "-U", "flash:w:/h/a.hex:i"};
    QTest::newRow("blank port: nine arguments")
        << "/opt/k"
        << " \t "
        << "/h/a.hex"
        << "/opt/k//avrdude" << head + QStringList {"/opt/k/avrdude.conf", "-P", "-U", "flash:w:/h/a.hex:i"};
    QTest::newRow("blanks everywhere") << "/my tools/k"
                                       << "my port"
                                       << "/my files/a b.hex"
                                       << "/my tools/k//avrdude"
                                       << head
            + QStringList {"/my tools/k/avrdude.conf", "-P", "my port", "-U", "flash:w:/my files/a b.hex:i"};
    // Quotes must neither end the argument nor smuggle in options.
    QTest::newRow("quotes cannot inject") << "/q\"d"
                                          << "x\" -U \"eeprom:w:e.hex"
                                          << "/f\" -U \"eeprom:w:/e.hex"
                                          << "/q\"d//avrdude"
                                          << head
            + QStringList {
                "/q\"d/avrdude.conf", "-P", "x\" -U \"eeprom:w:e.hex", "-U", "flash:w:/f\" -U \"eeprom:w:/e.hex:i"};
    QTest::newRow("root folder") << "/"
                                 << "COM7"
                                 << "C:/f.hex"
                                 << "///avrdude"
                                 << head + QStringList {"//avrdude.conf", "-P", "COM7", "-U", "flash:w:C:/f.hex:i"};
}

void TestUploadCommand::invocation()
{
    QFETCH(QString, appDir);
    QFETCH(QString, port);
    QFETCH(QString, path);
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    const UploadInvocation run = buildUploadInvocation(appDir, port, path);
    QCOMPARE(run.program, program);
    QCOMPARE(run.arguments, arguments);
}

void TestUploadCommand::invocationMatchesTextSplitting_data()
{
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("path");
    QTest::newRow("plain") << "/usr/lib/kiverlo"
                           << "/dev/ttyUSB1"
                           << "/tmp/x.hex";
    QTest::newRow("blanks in folder and path") << "/a b/c\td"
                                               << "COM4"
                                               << "/e  f/g h.hex";
    QTest::newRow("empty port") << "/a"
                                << ""
                                << "/b.hex";
    QTest::newRow("non-ASCII") << "/ø/ü"
                               << "/dev/ttyS0"
                               << "/Grüße/привет.hex";
}

// Where the text holds no quote inside a value, starting the argument list
// is the same as starting the echoed text: the user sees what really runs.
void TestUploadCommand::invocationMatchesTextSplitting()
{
    QFETCH(QString, appDir);
    QFETCH(QString, port);
    QFETCH(QString, path);
    const UploadInvocation run = buildUploadInvocation(appDir, port, path);
    QCOMPARE(QProcess::splitCommand(buildUploadCommand(appDir, port, path)), QStringList {run.program} + run.arguments);
}

QTEST_APPLESS_MAIN(TestUploadCommand)
#include "tst_uploadcommand.moc"
