#include "http/HostCheck.h"

#include <QRegularExpression>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

// ":8031" after the name; a Host without a port has none.
bool IsPortSuffix(const QByteArray& text) {
    static const QRegularExpression port(QStringLiteral("^:\\d{1,5}$"));
    return text.isEmpty() || port.match(QString::fromLatin1(text)).hasMatch();
}

bool IsDnsName(const QString& name) {
    static const QRegularExpression form(
        QStringLiteral("^(?=.{1,253}$)[a-z0-9_]([a-z0-9_-]{0,61}[a-z0-9_])?"
                       "(\\.[a-z0-9_]([a-z0-9_-]{0,61}[a-z0-9_])?)*$"));
    return form.match(name).hasMatch();
}

} // namespace

bool HostAdmitted(const QByteArray& host, const QString& machineName, const QStringList& admitted) {
    if (host.startsWith('[')) {
        const qsizetype close = host.indexOf(']');
        in6_addr address{};
        return close > 0 && IsPortSuffix(host.mid(close + 1)) &&
               inet_pton(AF_INET6, host.mid(1, close - 1).constData(), &address) == 1;
    }
    const qsizetype colon = host.indexOf(':');
    if (colon >= 0 && !IsPortSuffix(host.mid(colon)))
        return false;
    const QByteArray name = colon >= 0 ? host.left(colon) : host;
    in_addr address{};
    if (inet_pton(AF_INET, name.constData(), &address) == 1)
        return true;
    const QString lower = QString::fromLatin1(name).toLower();
    if (!IsDnsName(lower))
        return false;
    return lower == QLatin1String("localhost") ||
           (!machineName.isEmpty() &&
            (lower == machineName || lower == machineName + QLatin1String(".local"))) ||
           admitted.contains(lower);
}

QString HostName(const QByteArray& host) {
    const qsizetype colon = host.indexOf(':');
    const QString name = QString::fromLatin1(colon >= 0 ? host.left(colon) : host).toLower();
    return IsDnsName(name) ? name : QString();
}

QString AdmissibleHostName(const QString& name, QString& error) {
    const QString lower = name.trimmed().toLower();
    if (!IsDnsName(lower)) {
        error = QStringLiteral("\"%1\" is not a host name: give a name without a port, like "
                               "kdr31.example.lan")
                    .arg(name.left(260));
        return {};
    }
    return lower;
}
