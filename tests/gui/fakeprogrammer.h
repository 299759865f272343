// SPDX-License-Identifier: GPL-3.0-or-later
// A stand-in for the programmer: a small shell script written beside the
// test executable under the programmer's name. It records what it was
// started with, then prints what the test asks for, in the chunks and with
// the pauses the test asks for, and ends as the test asks.
#ifndef KIVERLO_FAKEPROGRAMMER_H
#define KIVERLO_FAKEPROGRAMMER_H

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <signal.h>

class FakeProgrammer
{
public:
    FakeProgrammer()
        : path(QCoreApplication::applicationDirPath() + QStringLiteral("/avrdude"))
    {
        script = "#!/bin/sh\n";
        script += "echo $$ > '" + records.filePath(QStringLiteral("pid")).toUtf8() + "'\n";
        script += "printf '%s\\0' \"$0\" \"$@\" > '" + records.filePath(QStringLiteral("args")).toUtf8() + "'\n";
    }
    ~FakeProgrammer() { QFile::remove(path); }

    // Prints these bytes as one write.
    FakeProgrammer &print(const QByteArray &bytes)
    {
        QByteArray escaped;
        for (char byte : bytes)
            escaped += '\\' + QByteArray::number(static_cast<unsigned char>(byte), 8).rightJustified(3, '0');
        script += "printf '" + escaped + "'\n";
        return *this;
    }
    FakeProgrammer &pause(int ms)
    {
        script += "sleep " + QByteArray::number(ms / 1000.0) + "\n";
        return *this;
    }
    // Any further shell line, such as `exit 3` or `exec sleep 30`.
    FakeProgrammer &then(const QByteArray &line)
    {
        script += line + "\n";
        return *this;
    }

    // Writes the script. An existing file of that name may be a link to the
    // real programmer, so it is removed, never written through.
    bool install(bool executable = true)
    {
        QFile::remove(path);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return false;
        file.write(script);
        file.close();
        QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner;
        if (executable)
            permissions |= QFile::ExeOwner;
        return file.setPermissions(permissions);
    }
    static void uninstall() { QFile::remove(QCoreApplication::applicationDirPath() + QStringLiteral("/avrdude")); }

    bool wasStarted() const { return QFile::exists(records.filePath(QStringLiteral("pid"))); }
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
        return values;
    }
    qint64 pid() const
    {
        QFile file(records.filePath(QStringLiteral("pid")));
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
    }
    bool isAlive() const
    {
        const qint64 id = pid();
        return id > 0 && ::kill(static_cast<pid_t>(id), 0) == 0;
    }

private:
    QTemporaryDir records;
    QString path;
    QByteArray script;
};

#endif
