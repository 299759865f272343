// SPDX-License-Identifier: GPL-3.0-or-later
#ifndef KIVERLO_TESTS_SIMBOARD_H
#define KIVERLO_TESTS_SIMBOARD_H

#include "intelhex.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// A simulated ATmega328P board with its serial bootloader (the
// kiverlo_boardsim fixture) running as a child process, for end-to-end
// tests: a programmer opens portPath() as it would open the board's serial
// port.
//
// All files of the board (terminal link, ready file, flash dump, start image)
// live in the directory given to the constructor, normally a QTemporaryDir.
// The board ends with this object: the destructor stops it by its pid, first
// with SIGTERM and then, if need be, SIGKILL. The board also ends by itself
// when the test process dies or after Options::timeoutSeconds.
class SimBoard
{
public:
    struct Options
    {
        // Written into the application area before the board starts, as if
        // it were the firmware uploaded last time. Empty: blank flash (0xFF).
        QByteArray startImage;
        // Fault: the flash byte at this address keeps stuckValue (or, when
        // that is -1, what it held at start) whatever is written to it, so
        // that a programmer's verification fails. -1: no fault.
        qint32 stuckAddress = -1;
        int stuckValue = -1;
        // Board time per wall time while busy; 0 = as fast as possible.
        double speed = 0.0;
        // Upper bound of the board's life, in case a test forgets it.
        int timeoutSeconds = 120;
    };

    // Application area size: everything below the 1 KiB boot section.
    static constexpr int FlashSize = 0x7C00;

    explicit SimBoard(const QString &workDir);
    ~SimBoard();
    SimBoard(const SimBoard &) = delete;
    SimBoard &operator=(const SimBoard &) = delete;

    // Path of the built fixture, or empty if it was not built (simavr or the
    // bootloader image were missing); the board tests are not built then.
    static QString fixturePath();

    // Starts the board and waits (at most 10 s) until it listens.
    bool start(const Options &options);
    bool start()
    {
        return start(Options());
    }

    // The serial port to hand to the programmer: a link in workDir to the
    // board's pseudo-terminal. devicePath() is the terminal itself.
    QString portPath() const;
    QString devicePath() const
    {
        return m_device;
    }

    // The application area (FlashSize bytes). While the board runs it is
    // asked for a snapshot (SIGUSR1) and keeps running; after stop() this
    // is the content it had when it ended. Empty on failure.
    QByteArray readFlash();

    // Ends the board (SIGTERM, SIGKILL after 5 s). True if it ended cleanly.
    bool stop();
    bool isRunning() const;

    QString errorString() const
    {
        return m_error;
    }

private:
    QString filePath(const QString &name) const;
    bool waitForFile(const QString &path, int timeoutMs);

    QString m_dir;
    QString m_device;
    QString m_error;
    QProcess m_process;
};

// Firmware-sized random bytes, the same for the same seed.
QByteArray randomImage(quint32 seed, int size = SimBoard::FlashSize);

#endif
