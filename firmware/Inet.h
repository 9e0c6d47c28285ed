#pragma once
// The internet transfer object of the main window (Inet1): the FTP settings the upgrade makes and
// an asynchronous download of one remote file into one local file.
//
// A download runs on a worker thread of its own, so the window never waits on the network: not
// while the data flows, and not when a download is ended either. A worker that is stopped is
// left to wind down on its own (a name lookup may hold it for as long as the resolver takes);
// from that moment it no longer touches the local file and reports to nobody. The local file is
// created (emptied) when the download starts and written as the data arrives, so its size grows;
// whether the download succeeded is told by TransferDone and LastError(), never by the file: a
// server that dies mid-transfer leaves a partial file behind.

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

// The firmware server and the account on it.
inline constexpr char kFirmwareServerHost[] = "firmware.kdr31.example";
inline constexpr char kFirmwareAccount[] = "kdr31";
inline constexpr char kFirmwarePassword[] = "RkW7uP2nQx";
inline constexpr char kUpgradeListRemotePath[] = "/TAMO_UPGlist.bin";
inline constexpr char kFirmwareImageRemotePath[] = "/KDR31v2.hex";
// "host" or "host:port": when set, replaces every host given to Inet::SetRemoteHost, so that the
// program can be pointed at a local test server.
inline constexpr char kFirmwareServerEnv[] = "KDR31_FIRMWARE_SERVER";

// Where the downloads go ("temp.tmp"): a per-user cache directory, created owner-only when
// missing, on every system. Never the program's own directory, which other local users may be
// able to write to. Nothing when no writable place exists.
std::optional<QString> TempDownloadPath();
// The same directory with a file name of the caller's: two pollers of one user (one per port)
// download into files of their own.
std::optional<QString> TempDownloadPath(const QString& fileName);

class Inet : public QObject {
    Q_OBJECT
public:
    enum AccessType { icUseDefault = 0, icDirect = 1 };
    enum Protocol { icFTP = 2 };

    // The parts of an Execute operation: GET "<remote path>" "<local path>".
    struct GetOperation {
        QString remotePath;
        QString localPath;
    };

    explicit Inet(QObject* parent = nullptr);
    // Ends a running download (without TransferDone), without waiting for its thread.
    ~Inet() override;

    // Setters return false for a value this object does not support; the setting is then
    // unchanged. icUseDefault takes proxies from the environment; icDirect uses none.
    bool SetAccessType(int accessType);
    bool SetProtocol(int protocol);
    void SetUserName(const QString& userName);
    void SetPassword(const QString& password);
    // When KDR31_FIRMWARE_SERVER is set, its host (and port) replace the given host. A value that
    // is neither "host" nor "host:port" clears the host and returns false, so that a mistyped
    // override never falls back to the real server.
    bool SetRemoteHost(const QString& host);
    // The settings of every transfer from the firmware server: direct (no proxy), FTP, the
    // firmware account, the server's host (or KDR31_FIRMWARE_SERVER's).
    void UseFirmwareServer();
    // The most bytes the downloads started from now on may bring; 0 for no bound. A download that
    // passes it is stopped at once, whether or not the server announced the size, and fails; its
    // local file is removed.
    void SetMaxBytes(qint64 bytes) { maxBytes_ = bytes > 0 ? bytes : 0; }
    qint64 MaxBytes() const { return maxBytes_; }

    int AccessType() const { return accessType_; }
    int Protocol() const { return protocol_; }
    QString UserName() const { return userName_; }
    QString RemoteHost() const { return host_; }
    int RemotePort() const { return port_; } // 0: the protocol's default
    // "ftp://" + host, with ":port" when the override gives one.
    QString URL() const;

    // Starts downloading. url is "ftp://host[:port]" (empty: URL()); operation is exactly
    // GET "<remote path>" "<local path>". Returns false, with the reason in LastError(), when the
    // download cannot start: a transfer still executing, a malformed operation or URL, a local
    // file that cannot be created. Every start that returned true ends in exactly one
    // TransferDone (unless the object is destroyed first).
    bool Execute(const QString& url, const QString& operation);
    // Ends a running download at once, whatever the network or the resolver does. When this
    // returns, TransferDone(false) has been emitted, the local file is closed and no longer
    // written; the worker may still be closing its connection, holding nothing of this object.
    void Cancel();

    // True from a successful Execute until just before its TransferDone.
    bool StillExecuting() const { return transfer_ != nullptr; }
    // Bytes of the current (or last) download written to the local file.
    qint64 BytesReceived() const;
    // Why the last download or the last Execute failed; empty after a successful download.
    QString LastError() const { return lastError_; }

    // Nothing (and the reason in error) unless operation has exactly the GET form.
    static std::optional<GetOperation> ParseGetOperation(const QString& operation,
                                                         QString* error = nullptr);

signals:
    // On the thread of this object, once per download. error is empty when ok.
    void TransferDone(bool ok, const QString& error);

private:
    struct Transfer;

    void OnWorkerFinished(quint64 generation);
    void LetGo();
    bool Refuse(const QString& reason);

    int accessType_ = icUseDefault;
    int protocol_ = icFTP;
    QString userName_;
    QString password_;
    QString host_;
    int port_ = 0;
    qint64 maxBytes_ = 0;
    QString lastError_;
    qint64 lastBytesReceived_ = 0;
    quint64 generation_ = 0;
    // Shared with its worker, which may outlive this object.
    std::shared_ptr<Transfer> transfer_;
};
