#include "main_window/WindowTitles.h"

#include "Version.h"

namespace {

QString ProgramVersion() {
    return QStringLiteral("V%1.%2").arg(KDR31_VERSION_MAJOR).arg(KDR31_VERSION_REVISION);
}

} // namespace

QString ApplicationTitle() {
    return QStringLiteral("KDR31 Visualisation");
}

QString NotConnectedTitle() {
    return QStringLiteral("KDR31 ") + ProgramVersion() + QStringLiteral(" ----");
}

QString ConnectedTitle(const QString& serialNumber, int portNumber,
                       const std::array<std::uint8_t, 4>& firmwareVersion) {
    return QStringLiteral("Zevizudove ") + ProgramVersion() + QStringLiteral(" s/n:") +
           serialNumber + QStringLiteral(" Listening to COM") + QString::number(portNumber) +
           QStringLiteral(" KDR31 FW V%1.%2.%3.%4")
               .arg(firmwareVersion[0])
               .arg(firmwareVersion[1])
               .arg(firmwareVersion[2])
               .arg(firmwareVersion[3]);
}
