// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef KIVERLO_PROGRAMMERPROCESS_H
#define KIVERLO_PROGRAMMERPROCESS_H

#include <QProcess>

#include <functional>

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

    // A new runner, made by the function given to setFactory() if there is
    // one.
    static ProgrammerProcess *create(QObject *parent);
    // Makes create() use `factory`, so that tests can hand the window a
    // runner of their own. An empty function restores the default.
    static void setFactory(std::function<ProgrammerProcess *(QObject *parent)> factory);

    // Ends the programmer at once (kill()). It may still take a while to go:
    // one waiting in the kernel, for a USB-serial driver that hangs after its
    // cable was pulled, goes only when the wait ends.
    virtual void stop();

    // Lets go of a runner whose programmer has not ended though it was
    // stopped, without waiting for it: the runner loses its parent and all
    // its connections and lives on until its programmer ends, which then
    // deletes it (reaping the process). Deleting a runner whose programmer
    // still runs would wait up to 30 seconds for it instead.
    static void letGo(ProgrammerProcess *runner);

#if defined(Q_OS_UNIX) && QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
protected:
    void setupChildProcess() override;
#endif

private:
#ifdef Q_OS_WIN
    // Puts the child just started into the job; false where Windows refuses,
    // for example when this process runs in a job of its own that allows no
    // other (Windows 7 and older). The child then runs outside the job, as
    // the constructor says.
    bool joinJob();
    void *job = nullptr;
#endif
};

#endif
