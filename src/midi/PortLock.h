#pragma once
// PortLock: one host per unit on this computer. Before a program opens a MIDI port pair to
// talk to a unit it takes this lock on both ports; a second program (another tarsyn-flash,
// another window) that wants either port is refused and told which one is in use.
//
// Each port is one lock file in the user's runtime folder ($XDG_RUNTIME_DIR, else
// /tmp/tarsyn-<uid>, created with mode 0700 and refused when another user owns it or can
// write to it), named after the port. The lock is flock() on that file: advisory, held by
// the open file, so the system releases it when the program ends however it ends, crash
// and SIGKILL included. The file holds the holder's process id, for the message. Release
// removes the file while still holding the lock; a program that opened it before then and
// locks it after finds its name gone or taken by a new file, and starts again with that name.
// A killed holder leaves its file, which the next holder of the port takes over.
// On Windows the file is opened without sharing and deleted on close, which the system
// also undoes when the process ends.
//
// Not thread-safe; one owner. Library code: it prints nothing.

#include <QString>

namespace Tarsyn {

class PortLock {
public:
    enum class Result {
        Acquired,   // both ports are ours until release() or destruction
        Busy,       // another program holds a port: busyPort() names it
        Unavailable // no safe runtime folder or lock file: nothing is held (errorString())
    };

    PortLock() = default;
    ~PortLock();   // releases
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;

    // Releases what is held, then takes both ports: `inputName` is the port this program
    // receives on (the unit's output), `outputName` the one it sends on. Ports are keyed by
    // direction and name, so a unit's "in" and "out" are two different locks.
    Result acquire(const QString &inputName, const QString &outputName);
    void release();
    bool held() const { return inputFd_ >= 0 || outputFd_ >= 0; }

    QString busyPort() const { return busyPort_; }   // after Busy: the port's name
    qint64 busyHolder() const { return busyHolder_; } // after Busy: its holder's pid, or 0
    QString errorString() const { return error_; }    // after Unavailable

    // The folder of the lock files (created if missing); empty, with `error` set, when
    // there is no safe one.
    static QString lockFolder(QString *error);
    // The lock file of one port in that folder.
    static QString lockFileName(bool input, const QString &portName);

private:
    // Takes one lock; -1 and Busy or Unavailable set in `result` when it cannot.
    int lockOne(const QString &folder, bool input, const QString &portName, Result *result, QString *path);
    static void unlockOne(int &fd, const QString &path);

    int inputFd_ = -1;
    int outputFd_ = -1;
    QString inputPath_;    // the lock files held
    QString outputPath_;
    QString busyPort_;
    qint64 busyHolder_ = 0;
    QString error_;
};

} // namespace Tarsyn
