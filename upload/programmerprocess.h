// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef KIVERLO_PROGRAMMERPROCESS_H
#define KIVERLO_PROGRAMMERPROCESS_H

#include <QProcess>

// The runner for the programmer: a QProcess whose child never outlives the
// tool. A user who ends a window that looks stuck (kill, Task Manager) must
// not leave a programmer behind that spins and keeps the serial port, which
// on Windows refuses every later upload until the orphan is found.
//
// On Linux the child asks the kernel for SIGKILL when its parent dies; on
// Windows the child is put into a job object that ends its processes when
// the job's last handle, held only by this process, is closed.
class ProgrammerProcess : public QProcess
{
    Q_OBJECT

public:
    explicit ProgrammerProcess(QObject *parent = nullptr);
    ~ProgrammerProcess() override;

#if defined(Q_OS_UNIX) && QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
protected:
    void setupChildProcess() override;
#endif

private:
#ifdef Q_OS_WIN
    void joinJob();
    void *job = nullptr;
#endif
};

#endif
