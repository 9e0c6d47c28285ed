#pragma once
// A real FTP server for the tests (pyftpdlib, on 127.0.0.1 and a free port) with the firmware
// account of the program, serving a temporary directory that the test fills. It can play a slow
// server, one that dies in the middle of a download, and one that streams a file of any size
// without announcing it.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class FtpServer {
public:
    struct Options {
        qint64 throttleBytesPerSecond = 0; // 0: as fast as it goes
        qint64 dropAfterBytes = -1;        // > 0: every download dies after this many bytes
    };

    // Starts the server and waits (bounded) until it listens; check IsRunning().
    explicit FtpServer(Options options);
    FtpServer();
    // Kills the server and restores KDR31_FIRMWARE_SERVER if UseAsFirmwareServer set it.
    ~FtpServer();
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    bool IsRunning() const { return process_.state() == QProcess::Running && port_ != 0; }
    // Why the server did not start: its error output.
    QString Error() const { return error_; }
    quint16 Port() const { return port_; }
    QString Root() const { return root_.path(); }

    // Puts a file in the served directory; name may contain subdirectories.
    bool AddFile(const QString& name, const QByteArray& contents);
    // Serves name as `bytes` bytes made up as they are sent: never on disk, and the size is not
    // announced, so the client learns it only by counting.
    bool AddGeneratedFile(const QString& name, qint64 bytes);
    // Kills the server at once: open connections drop, new ones are refused.
    void Stop();
    // Points the program at this server: KDR31_FIRMWARE_SERVER=<host>:<port>.
    void UseAsFirmwareServer(const QByteArray& host = "127.0.0.1");

private:
    QTemporaryDir root_;
    QProcess process_;
    quint16 port_ = 0;
    QString error_;
    bool envSet_ = false;
    bool envHadValue_ = false;
    QByteArray envPrevious_;
};
