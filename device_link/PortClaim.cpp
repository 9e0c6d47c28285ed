#include "device_link/PortClaim.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <limits>

#ifndef Q_OS_WIN
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace {

#ifndef Q_OS_WIN
// The name a process gave itself, or empty where /proc hides it.
QString ProcessName(qint64 pid) {
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.read(64)).trimmed();
}

QString Described(qint64 pid) {
    const QString name = ProcessName(pid);
    return name.isEmpty() ? QString() : QStringLiteral("%1 (pid %2)").arg(name).arg(pid);
}

// The file a path names, links followed: its file system and inode, and for a device node the
// device. Compared instead of paths, which differ between mount namespaces and chroots (a
// container's own /dev/pts), and between the names of one device.
struct FileId {
    dev_t fileSystem = 0;
    ino_t inode = 0;
    dev_t device = 0; // of a character device, else 0
    bool SameAs(const FileId& other) const {
        return (fileSystem == other.fileSystem && inode == other.inode) ||
               (device != 0 && device == other.device);
    }
};

bool IdOf(const QByteArray& path, FileId* id) {
    struct stat st {};
    if (stat(path.constData(), &st) != 0)
        return false;
    *id = {st.st_dev, st.st_ino, S_ISCHR(st.st_mode) ? st.st_rdev : 0};
    return true;
}

// The process holding a flock on the device's inode, from /proc/locks ("1: FLOCK ADVISORY
// WRITE 1234 00:19:6 0 EOF"; device numbers in hex). 0 when none is listed. Every user may read
// /proc/locks, unlike another user's open files, so this names the holder where the scan of
// /proc/*/fd cannot.
qint64 FlockHolder(const FileId& device) {
    const QString inode = QStringLiteral("%1:%2:%3")
                              .arg(major(device.fileSystem), 2, 16, QLatin1Char('0'))
                              .arg(minor(device.fileSystem), 2, 16, QLatin1Char('0'))
                              .arg(quint64(device.inode));
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return 0;
    // Files under /proc report a size of 0, so atEnd() says nothing: read until a line comes back
    // empty. Bounded: a machine with a pathological number of locks is not read to its end.
    for (int lines = 0; lines < 10000; ++lines) {
        const QByteArray line = locks.readLine(512);
        if (line.isEmpty())
            break;
        const QStringList fields =
            QString::fromLatin1(line).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        // A blocked waiter's line starts with "->" and shifts the fields by one.
        if (fields.size() < 6 || fields.at(1) != QLatin1String("FLOCK"))
            continue;
        if (fields.at(5).compare(inode, Qt::CaseInsensitive) != 0)
            continue;
        bool ok = false;
        const qint64 pid = fields.at(4).toLongLong(&ok);
        if (ok && pid > 0 && pid != getpid())
            return pid;
    }
    return 0;
}

// A process other than this one with the device open, found by its open files. Only the
// processes whose descriptors this user may see are searched.
qint64 OpenedBy(const FileId& device) {
    const QStringList pids =
        QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : pids) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok || pid == getpid())
            continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        const QStringList names = fds.entryList(QDir::System | QDir::NoDotAndDotDot);
        for (const QString& fd : names) {
            FileId open;
            if (IdOf(QFile::encodeName(fds.filePath(fd)), &open) && open.SameAs(device))
                return pid;
        }
    }
    return 0;
}
#endif

} // namespace

PortClaim::Outcome PortClaim::Claim(const QString& device) {
    Release();
    reason_.clear();
#ifdef Q_OS_WIN
    Q_UNUSED(device);
    // Windows opens a port for one program only by itself.
    return Outcome::NotClaimed;
#else
    // A descriptor of our own, separate from the port's: opening and closing it changes no line
    // settings, so a refused attempt leaves the holder's port as it was.
    const int fd =
        open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // TIOCEXCL of the holder refuses the open itself.
        if (errno == EBUSY) {
            reason_ = HeldText(device);
            return Outcome::HeldElsewhere;
        }
        return Outcome::NotClaimed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            reason_ = HeldText(device);
            close(fd);
            return Outcome::HeldElsewhere;
        }
        // A device that knows no locks is used without one.
        close(fd);
        return Outcome::NotClaimed;
    }
    fd_ = fd;
    return Outcome::Claimed;
#endif
}

void PortClaim::Release() {
#ifndef Q_OS_WIN
    if (fd_ >= 0)
        close(fd_);
#endif
    fd_ = -1;
}

void PortClaim::MakeExclusive(int fd) {
#if !defined(Q_OS_WIN) && defined(TIOCEXCL)
    if (fd >= 0)
        ioctl(fd, TIOCEXCL);
#else
    Q_UNUSED(fd);
#endif
}

void PortClaim::AllowReopen() {
#if !defined(Q_OS_WIN) && defined(TIOCNXCL)
    if (fd_ >= 0)
        ioctl(fd_, TIOCNXCL);
#endif
}

QString PortClaim::HeldText(const QString& device) {
    const QString holder = Holder(device);
    if (holder.isEmpty())
        return QStringLiteral("another program holds the port");
    return QStringLiteral("another program holds the port: ") + holder;
}

QString PortClaim::Holder(const QString& device) {
#ifdef Q_OS_WIN
    Q_UNUSED(device);
    return {};
#else
    FileId id;
    if (!IdOf(QFile::encodeName(device), &id))
        return {};
    if (const qint64 pid = FlockHolder(id)) {
        const QString holder = Described(pid);
        if (!holder.isEmpty())
            return holder;
    }
    if (const qint64 pid = OpenedBy(id))
        return Described(pid);
    return {};
#endif
}

QString PortClaim::ExistingLockFile(const QString& device) {
#ifdef Q_OS_WIN
    Q_UNUSED(device);
    return {};
#else
    // Qt names the lock after the path without its "/dev/", every '/' as '_', and uses the first
    // readable directory of its list where the file is or can be made.
    QString name = device;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    static const char* const directories[] = {
        "/var/lock", "/etc/locks", "/var/spool/locks",  "/var/spool/uucp",
        "/tmp",      "/var/tmp",   "/var/lock/lockdev", "/run/lock",
    };
    for (const char* directory : directories) {
        const QFileInfo folder(QString::fromLatin1(directory));
        if (!folder.isReadable())
            continue;
        const QString path = folder.filePath() + QStringLiteral("/LCK..") + name;
        if (QFileInfo::exists(path)) {
            // "/var/lock" is a link to "/run/lock" on most systems: the file's own place.
            const QString canonical = QFileInfo(path).canonicalFilePath();
            return canonical.isEmpty() ? path : canonical;
        }
        if (folder.isWritable())
            return {};
    }
    return {};
#endif
}

QString PortClaim::StaleLockFile(const QString& device) {
#ifdef Q_OS_WIN
    Q_UNUSED(device);
    return {};
#else
    const QString path = ExistingLockFile(device);
    if (path.isEmpty())
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // Qt's lock files and the older UUCP ones both start with the pid, the latter padded.
    bool ok = false;
    const qint64 pid = QString::fromLatin1(file.readLine(64)).trimmed().toLongLong(&ok);
    if (!ok || pid <= 0 || pid > std::numeric_limits<pid_t>::max())
        return {};
    // EPERM: a process of another user, which still runs.
    if (kill(pid_t(pid), 0) == 0 || errno != ESRCH)
        return {};
    return path;
#endif
}

QString PortClaim::RemovalCommand(const QString& lockFile) {
    QString quoted = lockFile;
    const bool plain = std::all_of(lockFile.begin(), lockFile.end(), [](QChar c) {
        return c.isLetterOrNumber() || QStringLiteral("/._-+:,@%=").contains(c);
    });
    if (!plain || lockFile.isEmpty())
        quoted = QLatin1Char('\'') +
                 QString(lockFile).replace(QLatin1Char('\''), QStringLiteral("'\\''")) +
                 QLatin1Char('\'');
#ifndef Q_OS_WIN
    if (geteuid() == 0)
        return QStringLiteral("rm ") + quoted;
#endif
    return QStringLiteral("sudo rm ") + quoted;
}

QString PortClaim::AliasPath() const {
#ifdef Q_OS_WIN
    return {};
#else
    if (fd_ < 0)
        return {};
    // The pid as the mounted /proc counts it, which may be another pid namespace's than ours.
    const QString self = QFile::symLinkTarget(QStringLiteral("/proc/self"));
    if (self.isEmpty())
        return {};
    return QStringLiteral("%1/fd/%2").arg(self).arg(fd_);
#endif
}
