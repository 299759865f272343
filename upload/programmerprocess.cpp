// SPDX-License-Identifier: GPL-3.0-or-later
#include "programmerprocess.h"

#include <QList>

#ifdef Q_OS_WIN
#include <windows.h>
#elif defined(Q_OS_LINUX)
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#endif

namespace {
#ifdef Q_OS_UNIX
// The tool's own process id, taken before the child is forked.
pid_t parentId = 0;

// Runs in the child between fork and exec: only async-signal-safe calls.
void dieWithParent()
{
#ifdef Q_OS_LINUX
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The tool may have died before the request was made.
    if (getppid() != parentId)
        _exit(127);
#endif
}
#endif

std::function<ProgrammerProcess *(QObject *)> &replacementFactory()
{
    static std::function<ProgrammerProcess *(QObject *)> factory;
    return factory;
}

// The runners let go of whose programmers have not ended yet. The list is
// never freed: a runner still in it when the tool ends stays reachable
// rather than lost, and its programmer goes with the tool (see the class).
QList<ProgrammerProcess *> &runnersLetGo()
{
    static auto *runners = new QList<ProgrammerProcess *>;
    return *runners;
}
} // namespace

ProgrammerProcess::ProgrammerProcess(QObject *parent)
    : QProcess(parent)
{
#ifdef Q_OS_UNIX
    parentId = getpid();
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    setChildProcessModifier(dieWithParent);
#endif
#endif
#ifdef Q_OS_WIN
    // Where Windows gives no job that ends its processes with the tool, or
    // the child cannot join it (see joinJob()), a run goes on as it would
    // without a job: the window still stops its programmer when it stalls or
    // overruns, and ends it when the window closes; only a tool ended from
    // outside may then leave its programmer behind.
    job = CreateJobObjectW(nullptr, nullptr);
    if (job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
            // A job that would not end its processes is of no use.
            CloseHandle(job);
            job = nullptr;
        }
    }
    // Windows creates the child within start(), so it joins the job at once.
    if (job)
        connect(this, &QProcess::started, this, &ProgrammerProcess::joinJob);
#endif
}

ProgrammerProcess::~ProgrammerProcess()
{
#ifdef Q_OS_WIN
    if (job)
        CloseHandle(job);
#endif
}

ProgrammerProcess *ProgrammerProcess::create(QObject *parent)
{
    if (replacementFactory())
        return replacementFactory()(parent);
    return new ProgrammerProcess(parent);
}

void ProgrammerProcess::setFactory(std::function<ProgrammerProcess *(QObject *parent)> factory)
{
    replacementFactory() = std::move(factory);
}

void ProgrammerProcess::stop()
{
    kill();
}

void ProgrammerProcess::letGo(ProgrammerProcess *runner)
{
    runner->disconnect();
    runner->setParent(nullptr);
    if (runner->state() == QProcess::NotRunning) {
        delete runner;
        return;
    }
    runnersLetGo().append(runner);
    const auto finished = static_cast<void (QProcess::*)(int, QProcess::ExitStatus)>(&QProcess::finished);
    connect(runner, finished, runner, [runner] {
        runnersLetGo().removeOne(runner);
        runner->deleteLater();
    });
}

#if defined(Q_OS_UNIX) && QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
void ProgrammerProcess::setupChildProcess()
{
    dieWithParent();
}
#endif

#ifdef Q_OS_WIN
bool ProgrammerProcess::joinJob()
{
    HANDLE child = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(processId()));
    const bool joined = child && AssignProcessToJobObject(job, child);
    if (child)
        CloseHandle(child);
    return joined;
}
#endif
