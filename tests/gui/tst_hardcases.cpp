// SPDX-License-Identifier: GPL-3.0-or-later
// The hard cases: a programmer that floods the console, and a settings
// store that cannot be read or written. The window must keep answering,
// lose nothing and give a clear outcome.
#include "fakeprogrammer.h"
#include "guitest.h"
#include "mainwindow.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTextEdit>

#include <cstdio>
#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <time.h>
#endif

// Under the sanitizers or emulated (tests/gui/CMakeLists.txt).
#ifdef KIVERLO_SLOWED_DOWN
constexpr int kFloodMb = 2;
constexpr bool kTimingCounts = false;
#else
constexpr int kFloodMb = 20;
constexpr bool kTimingCounts = true;
#endif

namespace {
// Processor time this thread has used, in milliseconds.
double threadCpuMs()
{
#ifdef Q_OS_WIN
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    const auto ticks = [](const FILETIME &t) {
        return (quint64(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return (ticks(kernel) + ticks(user)) / 1e4;
#else
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
#endif
}
} // namespace

class TestHardCases : public QObject, protected WindowTest
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void floodOfOutput();
    void settingsStoreIsAFolder();
    void damagedSettingsFileKeepsWhatItHeld();
};

void TestHardCases::init()
{
    beginWindowTest();
    FakeProgrammer::uninstall();
}

void TestHardCases::cleanup()
{
    endWindowTest();
    FakeProgrammer::uninstall();
}

void TestHardCases::floodOfOutput()
{
    // 20 MB of numbered lines (less under the sanitizers), so that order
    // and completeness can be checked exactly.
    const QString outputFile = files->filePath(QStringLiteral("flood.txt"));
    QByteArray flood;
    flood.reserve((kFloodMb + 1) << 20);
    char numbered[64];
    for (int line = 0; flood.size() < (kFloodMb << 20); ++line)
        flood.append(numbered, std::snprintf(numbered, sizeof numbered, "avrdude: line %08d | ####\n", line));
    flood += "avrdude: 32256 bytes of flash verified\n";
    QFile out(outputFile);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(flood);
    out.close();
    FakeProgrammer fake;
    // A megabyte at a time waits for the window whenever it is busy, as
    // when a programmer writes faster than the console takes text in (on
    // Windows the runner buffers without limit).
    fake.pipeSize(1 << 20).stream(outputFile, 64 * 1024);
    QVERIFY(fake.install());
    const QString path = files->filePath(QStringLiteral("a.hex"));
    QFile(path).open(QIODevice::WriteOnly);

    openWindow();
    // The longest the event loop goes without running a 10 ms timer while
    // the flood streams in: the console takes the output in slices, so that
    // the window keeps answering; in one piece it would freeze it for
    // seconds. Counted in this thread's processor time, so that a busy
    // machine that leaves the test waiting for a core does not count.
    double lastTick = threadCpuMs();
    double longestBlockMs = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const double now = threadCpuMs();
        longestBlockMs = qMax(longestBlockMs, now - lastTick);
        lastTick = now;
    });
    startUpload(path);
    QVERIFY(!button()->isEnabled());
    lastTick = threadCpuMs();
    ticker.start(10);
    // Events keep being handled while the output streams: the user can show
    // the console and a queued call runs, all before the run ends.
    bool answered = false;
    QTimer::singleShot(50, window.get(), [&] {
        answered = !button()->isEnabled();
        clickCheckBox(widget<QCheckBox>(window.get(), "chkShowConsole"));
    });
    QTRY_VERIFY_WITH_TIMEOUT(button()->isEnabled(), 120000);
    ticker.stop();
    QVERIFY2(
        !kTimingCounts || longestBlockMs < 250, qPrintable(QStringLiteral("blocked for %1 ms").arg(longestBlockMs)));
    qInfo("longest block of the event loop: %.1f ms of processor time", longestBlockMs);
    QVERIFY(answered);
    QVERIFY(console()->isVisible());
    QCOMPARE(label()->text(), QStringLiteral("Completed!"));
    const QString text = console()->toPlainText();
    const int firstBreak = text.indexOf(QLatin1Char('\n'));
    QVERIFY(text.mid(firstBreak + 1) == QString::fromLatin1(flood));
}

void TestHardCases::settingsStoreIsAFolder()
{
    // Where the store's file should be stands a folder: nothing can be read
    // or written there. The tool still starts and uploads, and the folder
    // and what it holds stay as they were.
    QVERIFY(QDir().mkpath(settings->storeFile()));
    QFile keep(settings->storeFile() + QStringLiteral("/keep.txt"));
    QVERIFY(keep.open(QIODevice::WriteOnly));
    keep.write("mine");
    keep.close();

    FakeProgrammer fake;
    fake.print("avrdude: 4 bytes of flash verified\n");
    QVERIFY(fake.install());
    const QString path = files->filePath(QStringLiteral("a.hex"));
    QFile(path).open(QIODevice::WriteOnly);
    openWindow();
    startUpload(path);
    QCOMPARE(waitForVerdict(), QStringLiteral("Completed!"));
    window.reset();
    QVERIFY(QFileInfo(settings->storeFile()).isDir());
    QVERIFY(keep.open(QIODevice::ReadOnly));
    QCOMPARE(keep.readAll(), QByteArray("mine"));
}

void TestHardCases::damagedSettingsFileKeepsWhatItHeld()
{
    // A store file with damaged lines among good ones: the good values are
    // used, and rewriting the file keeps entries the tool does not own.
    QVERIFY(QDir().mkpath(QFileInfo(settings->storeFile()).absolutePath()));
    const QString remembered = files->filePath(QStringLiteral("old.hex"));
    QFile(remembered).open(QIODevice::WriteOnly);
    QFile store(settings->storeFile());
    QVERIFY(store.open(QIODevice::WriteOnly));
    store.write("\xFF\xFE garbage without equals sign\n[General]\nother=keep me\n"
                "filename="
        + remembered.toUtf8() + "\n=no key\n[broken\n");
    store.close();

    FakeProgrammer fake;
    fake.print("avrdude: 4 bytes of flash verified\n");
    QVERIFY(fake.install());
    const QString path = files->filePath(QStringLiteral("new.hex"));
    QFile(path).open(QIODevice::WriteOnly);
    openWindow();
    QString startFile;
    answerNextFileDialog([&](QFileDialog *dialog) {
        startFile = dialog->selectedFiles().value(0);
        choose(dialog, path);
    });
    QTest::mouseClick(button(), Qt::LeftButton);
    QTRY_VERIFY(button()->isEnabled());
    QCOMPARE(startFile, remembered);
    QCOMPARE(label()->text(), QStringLiteral("Completed!"));
    window.reset();
    QCOMPARE(settings->storedValue(QStringLiteral("filename")).toString(), path);
    QCOMPARE(settings->storedValue(QStringLiteral("other")).toString(), QStringLiteral("keep me"));
}

QTEST_MAIN(TestHardCases)
#include "tst_hardcases.moc"
