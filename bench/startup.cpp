// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up time and idle memory of the tool's window against a bare Qt
// program showing an empty QMainWindow of the same size. Each sample is a
// fresh process: the time runs from starting it to its window being exposed,
// the memory is its resident set once idle.
// Usage: bench_startup [--quick] [--runs N]
#include "benchutil.h"
#include "mainwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMainWindow>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Child: shows one window, says "shown" once it is exposed, then reports its
// memory after a moment of idling.
int child(int argc, char **argv, bool tool)
{
    QApplication app(argc, argv);
    std::unique_ptr<QMainWindow> window;
    if (tool) {
        window.reset(new MainWindow);
    } else {
        window.reset(new QMainWindow);
        window->resize(284, 242);
        window->setFixedSize(284, 242);
    }
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get()))
        return 1;
    std::printf("shown\n");
    std::fflush(stdout);
    QTimer::singleShot(500, &app, [] {
        std::printf("rss %lld\n", residentKiB());
        std::fflush(stdout);
        QCoreApplication::quit();
    });
    return app.exec();
}

struct Sample
{
    double ms = 0;
    double rssKiB = 0;
};

Sample run(const QString &self, const QString &which, const QProcessEnvironment &env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    QElapsedTimer clock;
    clock.start();
    process.start(self, {QStringLiteral("--child"), which});
    Sample sample;
    while (process.waitForReadyRead(10000)) {
        while (process.canReadLine()) {
            const QByteArray line = process.readLine().trimmed();
            if (line == "shown")
                sample.ms = clock.nsecsElapsed() / 1e6;
            else if (line.startsWith("rss "))
                sample.rssKiB = line.mid(4).toDouble();
        }
        if (sample.rssKiB > 0)
            break;
    }
    process.waitForFinished(10000);
    if (sample.ms == 0 || sample.rssKiB == 0)
        qFatal("the %s window did not start", qPrintable(which));
    return sample;
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (qstrcmp(argv[i], "--child") == 0)
            return child(argc, argv, qstrcmp(argv[i + 1], "tool") == 0);
    }
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int runs = runCount(args, 2, 11);

    QTemporaryDir config;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

    // Alternate the two so that whatever else the machine does hits both.
    std::vector<double> toolMs, bareMs, toolRss, bareRss;
    for (int i = 0; i < runs; ++i) {
        const Sample tool = run(app.applicationFilePath(), QStringLiteral("tool"), env);
        const Sample bare = run(app.applicationFilePath(), QStringLiteral("bare"), env);
        toolMs.push_back(tool.ms);
        bareMs.push_back(bare.ms);
        toolRss.push_back(tool.rssKiB);
        bareRss.push_back(bare.rssKiB);
    }
    std::printf("Start-up, %d runs each, median (platform %s)\n", runs,
        qPrintable(env.value(QStringLiteral("QT_QPA_PLATFORM"))));
    std::printf("%-22s %12s %12s %8s\n", "", "Kiverlo", "bare window", "ratio");
    std::printf("%-22s %12.1f %12.1f %8.3f\n", "start to shown (ms)", median(toolMs), median(bareMs),
        median(toolMs) / median(bareMs));
    std::printf("%-22s %12.0f %12.0f %8.3f\n", "idle resident (KiB)", median(toolRss), median(bareRss),
        median(toolRss) / median(bareRss));
    return 0;
}
