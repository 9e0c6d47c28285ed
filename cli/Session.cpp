#include "cli/Session.h"

#include "cli/ConfigFile.h"
#include "cli/Console.h"
#include "device_link/MSComm.h"
#include "device_link/ServiceUnit.h"
#include "poller/DeviceLoop.h"

#include <QFileInfo>
#include <QStringList>
#include <cerrno>
#include <cstring>
#ifndef Q_OS_WIN
#include <unistd.h>
#endif

void UsePort(Kdr31Device& device, const PortChoice& port) {
    if (port.IsPath())
        device.SetDevicePathOverride(port.path);
}

bool ConnectOrExplain(Kdr31Device& device, const PortChoice& port,
                      const std::function<bool()>& cancelled) {
    UsePort(device, port);
    const ConnectOutcome outcome = device.Connect(port.number);
    if (outcome == ConnectOutcome::Connected && !(cancelled && cancelled()))
        return true;
    const QString portError = device.Port().LastError();
    device.Disconnect();
    if (!(cancelled && cancelled()))
        PrintError(ConnectFailureText(port, outcome, portError));
    return false;
}

void ReportLostAndBack(DeviceLoop& loop, const PortChoice& port) {
    QObject::connect(&loop, &DeviceLoop::Lost, &loop, [port] {
        PrintError(QStringLiteral("lost the KDR31 on %1: check the cable; this goes on as soon as "
                                  "the KDR31 is back (Ctrl-C stops)")
                       .arg(port.Display()));
    });
    QObject::connect(&loop, &DeviceLoop::Back, &loop, [port](bool first) {
        PrintError((first ? QStringLiteral("found the KDR31 on %1")
                          : QStringLiteral("the KDR31 is back on %1"))
                       .arg(port.Display()));
    });
}

QString ConnectFailureText(const PortChoice& port, ConnectOutcome outcome,
                           const QString& portError) {
    const QString device = port.Device();
    if (outcome == ConnectOutcome::NotIdentified)
        return QStringLiteral("no KDR31 answered on %1: check that the KDR31 is plugged in on "
                              "this port, or find it with kdr31-cli scan")
            .arg(port.Display());
#ifndef Q_OS_WIN
    if (device.isEmpty())
        return QStringLiteral(
                   "there is no serial port %1: fewer serial ports are present (kdr31-cli "
                   "ports lists them; KDR31_COM%2=/dev/... names one by hand)")
            .arg(port.Display())
            .arg(port.number);
    const QByteArray path = QFile::encodeName(device);
    if (access(path.constData(), F_OK) != 0)
        return QStringLiteral("there is no device %1: check the cable and the port name "
                              "(kdr31-cli ports lists the ports)")
            .arg(port.Display());
    if (access(path.constData(), R_OK | W_OK) != 0 && errno == EACCES)
        return QStringLiteral("no permission to open %1: add your user to the dialout group "
                              "(sudo usermod -aG dialout $USER), then log in again")
            .arg(device);
#endif
    return QStringLiteral("cannot open %1 (%2): close any other program that uses it and retry")
        .arg(port.Display(), portError.isEmpty() ? QStringLiteral("unknown error") : portError);
}

QString ServiceConfigPath(const QString& unit) {
    return QStringLiteral("/etc/kdr31/%1.conf").arg(unit.section(QLatin1Char('@'), 1));
}

QString HeldByServiceText(const QString& unit, const QString& holder, const QByteArray& config,
                          bool root) {
    const QString path = ServiceConfigPath(unit);
    const auto quoted = [](QString text) {
        return QLatin1Char('\'') + text.replace(QLatin1Char('\''), QLatin1String("'\\''")) +
               QLatin1Char('\'');
    };
    // The HTTP side as this machine reaches it: a wildcard address through its loopback.
    const QString listen = ConfigFileValue(config, QStringLiteral("http")).value_or(QString());
    QString address = listen.isEmpty() ? QStringLiteral("127.0.0.1:8031") : listen;
    if (!address.contains(QLatin1Char(':')))
        address = QStringLiteral("127.0.0.1:") + address;
    address.replace(QLatin1String("0.0.0.0:"), QLatin1String("127.0.0.1:"));
    address.replace(QLatin1String("[::]:"), QLatin1String("[::1]:"));
    const QString tokenFile = ConfigFileValue(config, QStringLiteral("http-token-file"))
                                  .value_or(QStringLiteral("/etc/kdr31/http token"));
    const bool overHttp = !listen.isEmpty() &&
                          ConfigFileValue(config, QStringLiteral("http-allow-upgrade")) &&
                          ConfigFileValue(config, QStringLiteral("http-token-file"));
    const bool fromHomeAssistant = ConfigFileValue(config, QStringLiteral("mqtt")) &&
                                   ConfigFileValue(config, QStringLiteral("mqtt-allow-upgrade"));
    const QString sudo = root ? QString() : QStringLiteral("sudo ");
    QStringList lines{
        QStringLiteral("the port is held by the readings service %1 (%2), which upgrades the "
                       "KDR31 itself between two readings:")
            .arg(unit, holder.isEmpty() ? QStringLiteral("another program") : holder),
        QStringLiteral("  with curl: curl -X POST -H \"Authorization: Bearer $(%1cat %2)\" "
                       "http://%3/api/v1/firmware/upgrade%4")
            .arg(sudo, quoted(tokenFile), address,
                 overHttp ? QString()
                          : QStringLiteral(" (once %1 holds http, http-token-file and "
                                           "http-allow-upgrade)")
                                .arg(path)),
        QStringLiteral("  from Home Assistant: the KDR31's Firmware update, Install%1")
            .arg(fromHomeAssistant
                     ? QString()
                     : QStringLiteral(" (once %1 holds mqtt and mqtt-allow-upgrade)").arg(path)),
        QStringLiteral("  or stop the service first: ") + StopServiceCommand(unit),
    };
    return lines.join(QLatin1Char('\n'));
}

QString IdentityLine(const DeviceIdentity& identity) {
    QString line = QStringLiteral("KDR31 FW V") + VersionText(identity.version);
    if (!identity.serialNumber.isEmpty())
        line += QStringLiteral(" s/n:") + identity.serialNumber;
    return line;
}

QString IdentityText(const PortChoice& port, const DeviceIdentity& identity) {
    const QStringList lines = {
        QStringLiteral("Port:      ") + port.Display(),
        QStringLiteral("Firmware:  V") + VersionText(identity.version),
        QStringLiteral("Serial:    ") + identity.serialNumber,
        QStringLiteral("Refresh:   %1 sec.").arg(identity.interval),
        QStringLiteral("Divider:   %1").arg(identity.divider),
        QStringLiteral("Country:   ") +
            (identity.Nederland() ? QStringLiteral("Nederland") : QStringLiteral("België")),
        QStringLiteral("Protocol:  %1.0").arg(identity.ProtocolIndex()),
    };
    return lines.join(QLatin1Char('\n'));
}

QJsonObject IdentityJson(const PortChoice& port, const DeviceIdentity& identity) {
    return QJsonObject{
        {QStringLiteral("port"), port.Device()},
        {QStringLiteral("firmware"), VersionText(identity.version)},
        {QStringLiteral("serial"), identity.serialNumber},
        {QStringLiteral("interval"), identity.interval},
        {QStringLiteral("divider"), identity.divider},
        {QStringLiteral("country"),
         identity.Nederland() ? QStringLiteral("nl") : QStringLiteral("be")},
        {QStringLiteral("protocol"), identity.ProtocolIndex()},
    };
}
