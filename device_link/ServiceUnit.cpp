#include "device_link/ServiceUnit.h"

#include <QFile>
#include <QList>
#include <QRegularExpression>

namespace {

const QString UnitPrefix = QStringLiteral("kdr31-mqtt@");

// An instance name as systemd-escape writes it: anything else (a space, a quote, a slash) did not
// come from systemd and is not shown as part of a command to run.
bool PlausibleInstance(const QString& instance) {
    static const QRegularExpression escaped(QStringLiteral("^[A-Za-z0-9:_.\\\\-]{1,200}$"));
    return escaped.match(instance).hasMatch();
}

QString UnitInCgroup(const QByteArray& cgroupFile) {
    // "0::/system.slice/system-kdr31\x2dmqtt.slice/kdr31-mqtt@ttyUSB0.service" (cgroup v2), or
    // one line per hierarchy, "1:name=systemd:/system.slice/..." (v1).
    static const QRegularExpression unit(QStringLiteral("^kdr31-mqtt@(.+)\\.service$"));
    for (const QByteArray& line : cgroupFile.split('\n')) {
        const QByteArray path = line.mid(line.indexOf(':', line.indexOf(':') + 1) + 1);
        for (const QByteArray& part : path.split('/')) {
            const QRegularExpressionMatch m = unit.match(QString::fromUtf8(part));
            if (m.hasMatch() && PlausibleInstance(m.captured(1)))
                return UnitPrefix + m.captured(1);
        }
    }
    return {};
}

QString UnitInCommandLine(const QByteArray& commandLine) {
    QList<QByteArray> arguments = commandLine.split('\0');
    if (!arguments.isEmpty() && arguments.constLast().isEmpty())
        arguments.removeLast();
    if (arguments.isEmpty())
        return {};
    const QByteArray program = arguments.constFirst();
    if (program.mid(program.lastIndexOf('/') + 1) != "kdr31-cli" || !arguments.contains("poll"))
        return {};
    static const QRegularExpression config(QStringLiteral("^/etc/kdr31/([^/]+)\\.conf$"));
    for (int i = 1; i < arguments.size(); ++i) {
        QString value;
        if (arguments.at(i) == "--config" && i + 1 < arguments.size())
            value = QString::fromUtf8(arguments.at(i + 1));
        else if (arguments.at(i).startsWith("--config="))
            value = QString::fromUtf8(arguments.at(i).mid(9));
        const QRegularExpressionMatch m = config.match(value);
        if (m.hasMatch() && PlausibleInstance(m.captured(1)))
            return UnitPrefix + m.captured(1);
    }
    return {};
}

QByteArray ReadProcFile(qint64 pid, const char* name) {
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // Bounded: both files are short for any process started as the service starts it.
    return file.read(16384);
}

} // namespace

QString ServiceUnitOf(const QByteArray& cgroupFile, const QByteArray& commandLine) {
    const QString unit = UnitInCgroup(cgroupFile);
    return unit.isEmpty() ? UnitInCommandLine(commandLine) : unit;
}

QString ServiceUnitOfProcess(qint64 pid) {
    if (pid <= 0)
        return {};
    return ServiceUnitOf(ReadProcFile(pid, "cgroup"), ReadProcFile(pid, "cmdline"));
}

qint64 HolderPid(const QString& holder) {
    static const QRegularExpression pid(QStringLiteral("\\(pid (\\d{1,10})\\)$"));
    const QRegularExpressionMatch m = pid.match(holder);
    return m.hasMatch() ? m.captured(1).toLongLong() : 0;
}

QString StopServiceCommand(const QString& unit) {
    // systemd-escape writes '/' and '-' of a by-id path as "\x2d" and the like: the shell would
    // eat the backslash.
    const QString name =
        unit.contains(QLatin1Char('\\')) ? QLatin1Char('\'') + unit + QLatin1Char('\'') : unit;
    return QStringLiteral("sudo systemctl stop ") + name;
}
