#include "support/FtpServer.h"

#include "firmware/Inet.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
// The server is up in about 0.2 s; this only bounds a server that never comes up.
constexpr int kStartMilliseconds = 10000;
} // namespace

FtpServer::FtpServer() : FtpServer(Options{}) {}

FtpServer::FtpServer(Options options) {
    if (!root_.isValid()) {
        error_ = QStringLiteral("no temporary directory: ") + root_.errorString();
        return;
    }
    QStringList arguments{QStringLiteral(KDR31_FTP_SERVER_SCRIPT),
                          QStringLiteral("--root"),
                          root_.path(),
                          QStringLiteral("--user"),
                          QString::fromLatin1(kFirmwareAccount),
                          QStringLiteral("--password"),
                          QString::fromLatin1(kFirmwarePassword)};
    if (options.throttleBytesPerSecond > 0)
        arguments << QStringLiteral("--throttle")
                  << QString::number(options.throttleBytesPerSecond);
    if (options.dropAfterBytes > 0)
        arguments << QStringLiteral("--drop-after") << QString::number(options.dropAfterBytes);

    // Debian's interpreter, which sees Debian's pyftpdlib; the one on PATH may not.
    process_.start(QStringLiteral("/usr/bin/python3"), arguments);
    const QDeadlineTimer deadline(kStartMilliseconds);
    QByteArray output;
    while (!output.contains('\n') && process_.state() != QProcess::NotRunning &&
           !deadline.hasExpired()) {
        process_.waitForReadyRead(int(deadline.remainingTime()));
        output += process_.readAllStandardOutput();
    }
    const QByteArray line = output.left(output.indexOf('\n')).trimmed();
    if (line.startsWith("PORT "))
        port_ = quint16(line.mid(5).toUInt());
    if (port_ == 0) {
        error_ = QStringLiteral("the FTP server did not start: ") +
                 QString::fromLocal8Bit(output + process_.readAllStandardError()) +
                 process_.errorString();
        Stop();
    }
}

FtpServer::~FtpServer() {
    Stop();
    if (envSet_) {
        if (envHadValue_)
            qputenv(kFirmwareServerEnv, envPrevious_);
        else
            qunsetenv(kFirmwareServerEnv);
    }
}

bool FtpServer::AddFile(const QString& name, const QByteArray& contents) {
    const QString path = QDir(root_.path()).filePath(name);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(contents) == contents.size();
}

bool FtpServer::AddGeneratedFile(const QString& name, qint64 bytes) {
    return AddFile(name + QStringLiteral(".generated"), QByteArray::number(bytes));
}

void FtpServer::Stop() {
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.kill();
    process_.waitForFinished(kStartMilliseconds);
}

void FtpServer::UseAsFirmwareServer(const QByteArray& host) {
    if (!envSet_) {
        envHadValue_ = qEnvironmentVariableIsSet(kFirmwareServerEnv);
        envPrevious_ = qgetenv(kFirmwareServerEnv);
        envSet_ = true;
    }
    qputenv(kFirmwareServerEnv, host + ':' + QByteArray::number(port_));
}
