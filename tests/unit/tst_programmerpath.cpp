// SPDX-License-Identifier: GPL-3.0-or-later
// The names under which the programmer gets the files it opens, and that
// the invocation hands over exactly those.
#include "programmerpath.h"
#include "uploadcommand.h"

#include <QtTest>

#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {
// What a C program such as the programmer does with a file argument: it gets
// the argument as the bytes of the platform's narrow strings (on Windows the
// ANSI code page) and opens it. Whether it read the whole file.
bool openedAsCProgram(const QString &argument, const QByteArray &content)
{
    const QByteArray narrow = QFile::encodeName(argument);
    FILE *file = std::fopen(narrow.constData(), "rb");
    if (!file)
        return false;
    QByteArray read(content.size() + 1, '\0');
    const size_t got = std::fread(read.data(), 1, size_t(read.size()), file);
    std::fclose(file);
    return got == size_t(content.size()) && read.left(content.size()) == content;
}

// Windows only: whether the ANSI code page holds every character of `text`.
bool inAnsiCodePage(const QString &text)
{
#ifdef Q_OS_WIN
    if (GetACP() == CP_UTF8)
        return true;
    const std::wstring wide = text.toStdWString();
    BOOL usedDefault = FALSE;
    WideCharToMultiByte(
        CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), int(wide.size()), nullptr, 0, nullptr, &usedDefault);
    return !usedDefault;
#else
    Q_UNUSED(text)
    return true;
#endif
}

} // namespace

class TestProgrammerPath : public QObject
{
    Q_OBJECT

private slots:
    void programmerPathOpensEveryFile_data();
    void programmerPathOpensEveryFile();
    void programmerPathOnlyForTheFilesHandedOver();
};

void TestProgrammerPath::programmerPathOpensEveryFile_data()
{
    QTest::addColumn<QString>("folder");
    QTest::newRow("ASCII") << QStringLiteral("firmware");
    QTest::newRow("blanks") << QStringLiteral("my firmware");
    QTest::newRow("Latin") << QStringLiteral("Grüße");
    QTest::newRow("Cyrillic") << QStringLiteral("Прошивка");
    QTest::newRow("Chinese") << QStringLiteral("固件");
}

// Every file the dialog can return, the programmer can open under the name it
// is handed; the name is the path as chosen wherever that works.
void TestProgrammerPath::programmerPathOpensEveryFile()
{
    QFETCH(QString, folder);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath(folder));
    const QString path = dir.path() + QLatin1Char('/') + folder + QStringLiteral("/blink.hex");
    const QByteArray content(":00000001FF\n");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();

    const QString handed = programmerPath(path);
    QVERIFY2(openedAsCProgram(handed, content), qPrintable(handed));
    QVERIFY(!handed.contains(QLatin1Char('\\')));
    if (inAnsiCodePage(path)) {
        QCOMPARE(handed, path);
    } else {
        // The fault this mends: the long name cannot be opened.
        QVERIFY(!openedAsCProgram(path, content));
        QVERIFY(inAnsiCodePage(handed));
        // The same file, not one that happens to hold the same.
        const QByteArray changed(":00000001FF\r\n");
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(changed), qint64(changed.size()));
        file.close();
        QVERIFY(openedAsCProgram(handed, changed));
    }
}

void TestProgrammerPath::programmerPathOnlyForTheFilesHandedOver()
{
    // A file that is not there has no short name: the path stays, and the
    // programmer says it cannot open it.
    const QString missing = QDir::tempPath() + QStringLiteral("/Прошивка-нет/固件.hex");
    QCOMPARE(programmerPath(missing), missing);
    QCOMPARE(programmerPath(QString()), QString());

    // The invocation hands over exactly these names; the text shows the path
    // as chosen.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.path() + QStringLiteral("/Прошивка");
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/a.hex");
    const QString config = folder + QStringLiteral("/avrdude.conf");
    for (const QString &name : {path, config}) {
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    // The port goes in trimmed, and is blanked as it went in.
    const UploadInvocation run = buildUploadInvocation(folder, QStringLiteral(" COM5 "), path);
    QCOMPARE(run.program, folder + QStringLiteral("//avrdude"));
    QCOMPARE(run.handedValues,
        QStringList({run.program, programmerPath(config), programmerPath(path), QStringLiteral("COM5")}));
    QCOMPARE(run.arguments.at(5), programmerPath(config));
    QCOMPARE(run.arguments.last(), QStringLiteral("flash:w:") + programmerPath(path) + QStringLiteral(":i"));
    QVERIFY(buildUploadCommand(folder, QStringLiteral("COM5"), path).contains(path));
#ifdef Q_OS_WIN
    if (!inAnsiCodePage(path))
        QVERIFY(!run.arguments.last().contains(path));
#endif
}

QTEST_APPLESS_MAIN(TestProgrammerPath)
#include "tst_programmerpath.moc"
