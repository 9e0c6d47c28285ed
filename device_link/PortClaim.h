#pragma once
// One program per port. Qt's lock file alone does not keep a second program off a port: where
// it lands depends on which lock directories the program can see and write (a service with a
// private /tmp and a read-only /run/lock puts it where nobody else looks), and a lock file left
// by a killed program may be impossible to remove. So the port is also claimed in the kernel:
// an exclusive flock on the device, which every program of this tool takes whatever its file
// system looks like and which dies with the process, and TIOCEXCL on the open port, which
// refuses other programs' opens altogether (except root's).

#include <QString>

class PortClaim {
public:
    enum class Outcome {
        Claimed,
        // Another program holds the device; Reason() says so and names it where it can.
        HeldElsewhere,
        // The device could not be opened for the claim (missing, no permission): the port's own
        // open reports that in its usual words.
        NotClaimed,
    };

    PortClaim() = default;
    ~PortClaim() { Release(); }
    PortClaim(const PortClaim&) = delete;
    PortClaim& operator=(const PortClaim&) = delete;

    Outcome Claim(const QString& device);
    void Release();
    bool Claimed() const { return fd_ >= 0; }
    QString Reason() const { return reason_; }

    // Refuses further opens of the port behind the descriptor (root's excepted).
    static void MakeExclusive(int fd);
    // While the port is closed and the claim held: the device stays exclusive through the claim's
    // own descriptor (Qt's close gives up the port's), so that programs that take no claim are
    // refused too. AllowReopen lets this program open it once more; the caller makes the open
    // port exclusive again.
    void KeepExclusive() { MakeExclusive(fd_); }
    void AllowReopen();
    // "another program holds the port", naming the holder where the system tells:
    // "another program holds the port: kdr31-cli (pid 1234)".
    static QString HeldText(const QString& device);
    // The program other than this one that holds or has open the device, as
    // "kdr31-cli (pid 1234)"; empty where the system hides it.
    static QString Holder(const QString& device);
    // Where Qt keeps the device's lock file ("/run/lock/LCK..ttyUSB0"), when one is there.
    static QString ExistingLockFile(const QString& device);
    // That lock file when the process it names is gone (a program that was killed); empty when
    // there is none, it cannot be read, or its process still runs.
    static QString StaleLockFile(const QString& device);
    // The shell command that removes a lock file: "sudo rm /run/lock/LCK..ttyUSB0".
    static QString RemovalCommand(const QString& lockFile);
    // Another name of the claimed device, through this process's descriptor
    // ("/proc/1234/fd/5"); empty when nothing is claimed. Opened under it, the port gets a lock
    // file of that name, so that a stale one under the device's own name is out of the way.
    QString AliasPath() const;

private:
    int fd_ = -1;
    QString reason_;
};
