// SPDX-License-Identifier: GPL-3.0-or-later
#include "programmerprocess.h"

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
    job = CreateJobObjectW(nullptr, nullptr);
    if (job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    // Windows creates the child within start(), so it joins the job at once.
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

#if defined(Q_OS_UNIX) && QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
void ProgrammerProcess::setupChildProcess()
{
    dieWithParent();
}
#endif

#ifdef Q_OS_WIN
void ProgrammerProcess::joinJob()
{
    if (!job)
        return;
    HANDLE child = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(processId()));
    if (child) {
        AssignProcessToJobObject(job, child);
        CloseHandle(child);
    }
}
#endif
