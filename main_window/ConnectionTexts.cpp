#include "main_window/ConnectionTexts.h"

#include "device_link/PortList.h"
#include "device_link/ServiceUnit.h"

QString DeviceLostText(int portNumber) {
    return QStringLiteral("The KDR31 on COM%1: was unplugged and is being looked for.")
        .arg(portNumber);
}

QString DeviceBackText(int portNumber) {
    return QStringLiteral("The KDR31 on COM%1: is back.").arg(portNumber);
}

QString PortHeldText(int portNumber, const QString& holder, const QString& serviceUnit) {
    const QString who = holder.isEmpty() ? QStringLiteral("another program") : holder;
    QString text = QStringLiteral("COM%1: is in use by %2").arg(portNumber).arg(who);
    if (!serviceUnit.isEmpty())
        text += QStringLiteral(" of the MQTT service; to free the port: ") +
                StopServiceCommand(serviceUnit);
    return text;
}

QString NoDeviceFoundText(const QStringList& refusedPorts, const QStringList& heldPorts) {
    QStringList lines{NoDeviceFoundText(refusedPorts)};
    lines += heldPorts;
    return lines.join(QLatin1Char('\n'));
}
