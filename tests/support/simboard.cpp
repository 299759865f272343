// SPDX-License-Identifier: GPL-3.0-or-later
#include "simboard.h"

#include "intelhex.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <signal.h>
#include <sys/types.h>

namespace {
const char LinkName[] = "board.tty";
const char ReadyName[] = "board.ready";
const char FlashName[] = "board.flash";
const char ImageName[] = "board-start.hex";
} // namespace

SimBoard::SimBoard(const QString &workDir)
    : m_dir(workDir)
{
    // The board reports its problems on stderr; let them reach the test log.
    m_process.setProcessChannelMode(QProcess::ForwardedChannels);
}

SimBoard::~SimBoard()
{
    stop();
}

QString SimBoard::fixturePath()
{
#ifdef KIVERLO_BOARDSIM_PATH
    const QString path = QString::fromUtf8(KIVERLO_BOARDSIM_PATH);
    return QFileInfo(path).isExecutable() ? path : QString();
#else
    return QString();
#endif
}

QString SimBoard::filePath(const QString &name) const
{
    return QDir(m_dir).filePath(name);
}

bool SimBoard::waitForFile(const QString &path, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!QFileInfo::exists(path)) {
        // Without an event loop QProcess only notices the end of the board
        // inside its waitFor...() calls; this one is also our 10 ms pause.
        if (m_process.state() == QProcess::NotRunning || m_process.waitForFinished(10)) {
            m_error = QStringLiteral("the board ended early (exit code %1)").arg(m_process.exitCode());
            return QFileInfo::exists(path);
        }
        if (timer.elapsed() > timeoutMs) {
            m_error = QStringLiteral("timed out waiting for %1").arg(path);
            return false;
        }
    }
    return true;
}

bool SimBoard::start(const Options &options)
{
    m_error.clear();
    const QString program = fixturePath();
    if (program.isEmpty()) {
        m_error = QStringLiteral("the simulated board was not built");
        return false;
    }
    if (isRunning()) {
        m_error = QStringLiteral("the board is already running");
        return false;
    }
    for (const char *name : {LinkName, ReadyName, FlashName})
        QFile::remove(filePath(QLatin1String(name)));

    QStringList args;
    args << QStringLiteral("--pty-link") << filePath(QLatin1String(LinkName)) << QStringLiteral("--ready-file")
         << filePath(QLatin1String(ReadyName)) << QStringLiteral("--flash-out") << filePath(QLatin1String(FlashName))
         << QStringLiteral("--timeout") << QString::number(options.timeoutSeconds) << QStringLiteral("--speed")
         << QString::number(options.speed);
    if (!options.startImage.isEmpty()) {
        const QString image = filePath(QLatin1String(ImageName));
        if (!writeIntelHex(image, options.startImage)) {
            m_error = QStringLiteral("cannot write %1").arg(image);
            return false;
        }
        args << QStringLiteral("--image") << image;
    }
    if (options.stuckAddress >= 0) {
        QString stuck = QString::number(options.stuckAddress);
        if (options.stuckValue >= 0)
            stuck += QLatin1Char(':') + QString::number(options.stuckValue);
        args << QStringLiteral("--stuck") << stuck;
    }

    m_process.start(program, args);
    if (!m_process.waitForStarted(5000)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(program, m_process.errorString());
        return false;
    }
    const QString ready = filePath(QLatin1String(ReadyName));
    if (!waitForFile(ready, 10000)) {
        stop();
        return false;
    }
    QFile file(ready);
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("cannot read %1").arg(ready);
        stop();
        return false;
    }
    m_device = QString::fromUtf8(file.readAll().trimmed());
    return true;
}

QString SimBoard::portPath() const
{
    return filePath(QLatin1String(LinkName));
}

bool SimBoard::isRunning() const
{
    return m_process.state() != QProcess::NotRunning;
}

QByteArray SimBoard::readFlash()
{
    const QString path = filePath(QLatin1String(FlashName));
    if (isRunning()) {
        // The board replaces the file atomically, so once it exists again
        // it is complete.
        QFile::remove(path);
        ::kill(pid_t(m_process.processId()), SIGUSR1);
        if (!waitForFile(path, 5000))
            return QByteArray();
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("cannot read %1").arg(path);
        return QByteArray();
    }
    QByteArray flash = file.readAll();
    if (flash.size() != FlashSize) {
        m_error = QStringLiteral("%1 holds %2 bytes, not %3").arg(path).arg(flash.size()).arg(FlashSize);
        return QByteArray();
    }
    return flash;
}

bool SimBoard::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    m_process.terminate(); // SIGTERM to the board's pid
    if (!m_process.waitForFinished(5000)) {
        m_process.kill(); // SIGKILL to the board's pid
        m_process.waitForFinished(5000);
        m_error = QStringLiteral("the board did not end on SIGTERM");
        return false;
    }
    return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}
