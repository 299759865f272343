// SPDX-License-Identifier: GPL-3.0-or-later
// A stand-in for the programmer: the small program built from
// fakeavrdude.cpp, copied beside the test executable under the programmer's
// name, with a script of steps beside it. It records what it was started
// with, then prints what the test asks for, in the pieces the test asks for,
// waiting where the test wants to look at the window in between, and ends as
// the test asks.
#ifndef KIVERLO_FAKEPROGRAMMER_H
#define KIVERLO_FAKEPROGRAMMER_H

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <signal.h>
#endif

class FakeProgrammer
{
public:
    FakeProgrammer()
    {
        step("record", QFile::encodeName(records.path()));
    }
    ~FakeProgrammer()
    {
        uninstall();
    }

    // Where the window looks for the programmer, and where its script goes.
    static QString programPath()
    {
#ifdef Q_OS_WIN
        return QCoreApplication::applicationDirPath() + QStringLiteral("/avrdude.exe");
#else
        return QCoreApplication::applicationDirPath() + QStringLiteral("/avrdude");
#endif
    }
    static QString scriptPath()
    {
        return QCoreApplication::applicationDirPath() + QStringLiteral("/fake-avrdude.script");
    }

    // Prints these bytes as one write.
    FakeProgrammer &print(const QByteArray &bytes)
    {
        return step("print", bytes);
    }
    // Holds until the test calls release(name): what comes before is sure
    // to have been written, what comes after not yet.
    FakeProgrammer &waitFor(const QString &name)
    {
        return step("wait", QFile::encodeName(signalFile(name)));
    }
    void release(const QString &name) const
    {
        QFile file(signalFile(name));
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(signalFile(name)));
    }
    FakeProgrammer &pause(int ms)
    {
        return step("sleep", QByteArray::number(ms));
    }
    // Copies the file to the output, `block` bytes a write.
    FakeProgrammer &stream(const QString &file, int block = 512)
    {
        step("block", QByteArray::number(block));
        return step("stream", QFile::encodeName(file));
    }
    // Writes these bytes again and again, every 10 ms, until it is ended;
    // "{n}" in them counts the writes.
    FakeProgrammer &printForever(const QByteArray &bytes)
    {
        return step("forever", bytes);
    }
    // Makes its output pipe hold this many bytes, where the system allows.
    FakeProgrammer &pipeSize(int bytes)
    {
        return step("pipesize", QByteArray::number(bytes));
    }
    FakeProgrammer &closeInput()
    {
        return step("closeinput", QByteArray());
    }
    // Ends at once, as if killed.
    FakeProgrammer &crash()
    {
        return step("crash", QByteArray());
    }
    FakeProgrammer &exitWith(int code)
    {
        return step("exit", QByteArray::number(code));
    }

    // Puts the program and its script in place. An existing file of the
    // programmer's name may be a link to the real programmer, so it is
    // removed, never written through. Not executable: a file of that name
    // that cannot be started.
    bool install(bool executable = true) const
    {
        uninstall();
        QFile scriptFile(scriptPath());
        if (!scriptFile.open(QIODevice::WriteOnly) || scriptFile.write(script) != script.size())
            return false;
        scriptFile.close();
        if (!executable) {
            QFile broken(programPath());
            return broken.open(QIODevice::WriteOnly) && broken.write("not a program\n") > 0;
        }
        return QFile::copy(QString::fromUtf8(KIVERLO_FAKE_PROGRAMMER), programPath());
    }
    static void uninstall()
    {
        QFile::remove(programPath());
        QFile::remove(scriptPath());
    }

    bool wasStarted() const
    {
        return QFile::exists(records.filePath(QStringLiteral("pid")));
    }
    // The program path it was started as, then its arguments.
    QStringList received() const
    {
        QFile file(records.filePath(QStringLiteral("args")));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QStringList values;
        for (const QByteArray &value : file.readAll().split('\0'))
            values << QString::fromUtf8(value);
        values.removeLast(); // after the final terminator
#ifdef Q_OS_WIN
        // Windows names the program in the command line; Qt writes its path
        // there with backslashes.
        if (!values.isEmpty())
            values.first() = QDir::fromNativeSeparators(values.first());
#endif
        return values;
    }
    qint64 pid() const
    {
        QFile file(records.filePath(QStringLiteral("pid")));
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
    }
    // Whether it still runs; one that has ended but is not yet reaped by
    // its parent does not. The last one started from this script, or the
    // process `id`.
    bool isAlive() const
    {
        return isAlive(pid());
    }
    static bool isAlive(qint64 id)
    {
        if (id <= 0)
            return false;
#ifdef Q_OS_WIN
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(id));
        if (!process)
            return false;
        const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
        CloseHandle(process);
        return running;
#else
        if (::kill(static_cast<pid_t>(id), 0) != 0)
            return false;
#ifdef Q_OS_LINUX
        QFile stat(QStringLiteral("/proc/%1/stat").arg(id));
        if (stat.open(QIODevice::ReadOnly)) {
            const QByteArray line = stat.readAll();
            return !line.mid(line.lastIndexOf(')') + 2).startsWith('Z');
        }
#endif
        return true;
#endif
    }
    // Ends it, if it still runs: the last one started, or the process `id`.
    void kill() const
    {
        kill(pid());
    }
    static void kill(qint64 id)
    {
        if (!isAlive(id))
            return;
#ifdef Q_OS_WIN
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(id));
        if (process) {
            TerminateProcess(process, 9);
            CloseHandle(process);
        }
#else
        ::kill(static_cast<pid_t>(id), SIGKILL);
#endif
    }
#ifndef Q_OS_WIN
    // Whether the process `id` is gone altogether: it has ended and its
    // parent has reaped it.
    static bool isReaped(qint64 id)
    {
        return ::kill(static_cast<pid_t>(id), 0) != 0 && errno == ESRCH;
    }
#endif

private:
    FakeProgrammer &step(const char *verb, const QByteArray &argument)
    {
        script += QByteArray(verb) + ' ' + argument.toHex() + '\n';
        return *this;
    }
    QString signalFile(const QString &name) const
    {
        return records.filePath(QStringLiteral("go-") + name);
    }

    QTemporaryDir records;
    QByteArray script;
};

#endif
