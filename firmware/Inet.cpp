#include "firmware/Inet.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

constexpr char kTempFileName[] = "temp.tmp";

// A server that cannot be reached in this time is taken as down.
constexpr long kConnectTimeoutSeconds = 15;
// A server that sends less than a byte a second for this long, or leaves a command unanswered for
// this long, has hung. The abort flag ends a transfer sooner.
constexpr long kStallSeconds = 30;
// The longest the worker sleeps in one wait; Cancel wakes it at once.
constexpr int kPollMilliseconds = 1000;

struct ServerAddress {
    QString host;
    int port = 0;
};

bool IsHostName(const QString& host) {
    if (host.isEmpty())
        return false;
    for (const QChar c : host) {
        const bool allowed = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                             (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                             (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                             c == QLatin1Char('.') || c == QLatin1Char('-') ||
                             c == QLatin1Char('_');
        if (!allowed)
            return false;
    }
    return true;
}

// "host" or "host:port".
std::optional<ServerAddress> ParseServerAddress(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() > 2 || !IsHostName(parts[0]))
        return std::nullopt;
    ServerAddress address{parts[0], 0};
    if (parts.size() == 2) {
        const QString& port = parts[1];
        const bool digitsOnly = !port.isEmpty() && port.size() <= 5 &&
                                std::all_of(port.begin(), port.end(), [](QChar c) {
                                    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
                                });
        address.port = digitsOnly ? port.toInt() : 0;
        if (address.port < 1 || address.port > 65535)
            return std::nullopt;
    }
    return address;
}

bool HasControlCharacter(const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

// The directory exists afterwards (created owner-only when it did not) and no other user can
// write to it. An existing directory that others can write is tightened when it is ours and
// refused otherwise.
bool PreparePrivateDirectory(const QString& path) {
    if (!QFileInfo(path).isDir()) {
        const QFileDevice::Permissions ownerOnly =
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
        if (!QDir().mkpath(QFileInfo(path).absolutePath()))
            return false;
        if (!QDir().mkdir(path, ownerOnly) && !QFileInfo(path).isDir())
            return false;
    }
    QFileInfo info(QFileInfo(path).canonicalFilePath());
    if (!info.isDir())
        return false;
#ifdef Q_OS_UNIX
    if (info.ownerId() != ::geteuid())
        return false;
    const QFileDevice::Permissions othersWrite = QFileDevice::WriteGroup | QFileDevice::WriteOther;
    if (info.permissions() & othersWrite) {
        if (!QFile::setPermissions(info.filePath(), info.permissions() & ~othersWrite))
            return false;
        info.refresh();
        if (info.permissions() & othersWrite)
            return false;
    }
#endif
    return info.isWritable();
}

QString CurlFailure(CURLcode code, const char* errorBuffer) {
    const QString detail = errorBuffer[0] != '\0' ? QString::fromUtf8(errorBuffer)
                                                  : QString::fromUtf8(curl_easy_strerror(code));
    return QStringLiteral("%1 (curl error %2)").arg(detail).arg(int(code));
}

} // namespace

std::optional<QString> TempDownloadPath() {
    return TempDownloadPath(QLatin1String(kTempFileName));
}

std::optional<QString> TempDownloadPath(const QString& fileName) {
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    if (cache.isEmpty() || !PreparePrivateDirectory(cache))
        return std::nullopt;
    return QDir::toNativeSeparators(QDir(cache).filePath(fileName));
}

// One download, shared by the Inet that started it and its worker thread. The worker is never
// joined: whichever of the two lets go last destroys the transfer and its curl handles.
struct Inet::Transfer {
    // Set before the worker starts, read-only afterwards.
    quint64 generation = 0;
    QString remotePath;
    qint64 maxBytes = 0;
    CURL* easy = nullptr;
    CURLM* multi = nullptr;

    std::atomic<bool> abort{false};
    std::atomic<qint64> received{0};

    // The local file and whom to tell are shared with the Inet: every write, and the worker's
    // report, happen under the lock, and once the Inet has let go (owner null) the worker
    // touches neither again.
    std::mutex mutex;
    QFile file;
    Inet* owner = nullptr;

    // The worker's own until it reports.
    char errorBuffer[CURL_ERROR_SIZE] = {};
    bool tooLarge = false;
    QString writeError;
    bool ok = false;
    QString error;

    ~Transfer() {
        if (multi != nullptr)
            curl_multi_cleanup(multi);
        if (easy != nullptr)
            curl_easy_cleanup(easy);
    }

    static void Work(const std::shared_ptr<Transfer>& transfer);
    void Run(bool& finished, CURLcode& result, QString& loopError);
    void Report(bool finished, CURLcode result, const QString& loopError);
    static size_t WriteToFile(char* data, size_t size, size_t count, void* userData);
    static int CheckAbort(void* userData, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
};

size_t Inet::Transfer::WriteToFile(char* data, size_t size, size_t count, void* userData) {
    auto* transfer = static_cast<Transfer*>(userData);
    const qint64 length = qint64(size * count);
    const std::lock_guard<std::mutex> lock(transfer->mutex);
    if (transfer->owner == nullptr)
        return 0; // let go of: not one more byte into a file that may be another's by now
    // A server that announces no size (or lies about it) is cut off here.
    if (transfer->maxBytes > 0 && transfer->received.load() + length > transfer->maxBytes) {
        transfer->tooLarge = true;
        return 0;
    }
    if (transfer->file.write(data, length) != length) {
        transfer->writeError = transfer->file.errorString();
        return 0; // anything but the length ends the transfer with a write error
    }
    transfer->received.fetch_add(length);
    return size * count;
}

int Inet::Transfer::CheckAbort(void* userData, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(userData)->abort.load() ? 1 : 0;
}

void Inet::Transfer::Work(const std::shared_ptr<Transfer>& transfer) {
    bool finished = false;
    CURLcode result = CURLE_OK;
    QString loopError;
    transfer->Run(finished, result, loopError);
    transfer->Report(finished, result, loopError);
}

void Inet::Transfer::Run(bool& finished, CURLcode& result, QString& loopError) {
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        loopError = QStringLiteral("the transfer could not be started");
        return;
    }
    while (!abort.load()) {
        int running = 0;
        CURLMcode status = curl_multi_perform(multi, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE) {
                finished = true;
                result = message->data.result;
            }
        }
        if (status == CURLM_OK && !finished && running > 0)
            status = curl_multi_poll(multi, nullptr, 0, kPollMilliseconds, nullptr);
        if (status != CURLM_OK) {
            loopError = QString::fromUtf8(curl_multi_strerror(status));
            break;
        }
        if (finished || running == 0)
            break;
    }
    // Removing an unfinished transfer closes its connections without waiting on the server, and
    // (quick exit) leaves a name lookup still in progress to the resolver's own thread.
    curl_multi_remove_handle(multi, easy);
}

void Inet::Transfer::Report(bool finished, CURLcode result, const QString& loopError) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (owner == nullptr)
        return; // cancelled: the Inet has closed the file and reported already
    file.close();
    ok = finished && result == CURLE_OK;
    if (!ok) {
        const bool overBound = tooLarge || (finished && result == CURLE_FILESIZE_EXCEEDED);
        QString reason;
        if (!loopError.isEmpty())
            reason = loopError;
        else if (!finished)
            reason = QStringLiteral("the transfer ended without a result");
        else if (overBound)
            reason = QStringLiteral("the file is larger than %1 bytes").arg(maxBytes);
        else if (result == CURLE_WRITE_ERROR && !writeError.isEmpty())
            reason = QStringLiteral("cannot write %1: %2").arg(file.fileName(), writeError);
        else
            reason = CurlFailure(result, errorBuffer);
        error = QStringLiteral("Download of %1 failed: %2").arg(remotePath, reason);
        // Nothing of a download that passed its bound stays on disk.
        if (overBound)
            file.remove();
    }
    QMetaObject::invokeMethod(
        owner, [owner = owner, generation = generation] { owner->OnWorkerFinished(generation); },
        Qt::QueuedConnection);
}

Inet::Inet(QObject* parent) : QObject(parent) {}

Inet::~Inet() {
    LetGo();
}

bool Inet::SetAccessType(int accessType) {
    if (accessType != icUseDefault && accessType != icDirect)
        return false;
    accessType_ = accessType;
    return true;
}

bool Inet::SetProtocol(int protocol) {
    if (protocol != icFTP)
        return false;
    protocol_ = protocol;
    return true;
}

void Inet::SetUserName(const QString& userName) {
    userName_ = userName;
}

void Inet::SetPassword(const QString& password) {
    password_ = password;
}

bool Inet::SetRemoteHost(const QString& host) {
    const QString override = qEnvironmentVariable(kFirmwareServerEnv);
    if (!override.isEmpty()) {
        const std::optional<ServerAddress> address = ParseServerAddress(override);
        host_ = address ? address->host : QString();
        port_ = address ? address->port : 0;
        return address.has_value();
    }
    if (!IsHostName(host))
        return false;
    host_ = host;
    port_ = 0;
    return true;
}

void Inet::UseFirmwareServer() {
    SetAccessType(icDirect);
    SetProtocol(icFTP);
    SetUserName(QString::fromLatin1(kFirmwareAccount));
    SetPassword(QString::fromLatin1(kFirmwarePassword));
    // A malformed test-server override leaves no host, and the transfer then fails.
    SetRemoteHost(QString::fromLatin1(kFirmwareServerHost));
}

QString Inet::URL() const {
    QString url = QStringLiteral("ftp://") + host_;
    if (port_ != 0)
        url += QLatin1Char(':') + QString::number(port_);
    return url;
}

std::optional<Inet::GetOperation> Inet::ParseGetOperation(const QString& operation,
                                                          QString* error) {
    const auto refuse = [&](const QString& why) -> std::optional<GetOperation> {
        if (error != nullptr)
            *error =
                QStringLiteral("Operation is not GET \"<remote path>\" \"<local path>\" (%1): %2")
                    .arg(why, operation);
        return std::nullopt;
    };
    const QString prefix = QStringLiteral("GET \"");
    const QString separator = QStringLiteral("\" \"");
    if (!operation.startsWith(prefix))
        return refuse(QStringLiteral("it does not start with GET and a quote"));
    const qsizetype remoteEnd = operation.indexOf(QLatin1Char('"'), prefix.size());
    if (remoteEnd < 0 || operation.mid(remoteEnd, separator.size()) != separator)
        return refuse(QStringLiteral("no quoted remote path followed by a blank and a quote"));
    const qsizetype localStart = remoteEnd + separator.size();
    if (!operation.endsWith(QLatin1Char('"')) || operation.size() <= localStart)
        return refuse(QStringLiteral("the local path does not end in a quote"));

    GetOperation parsed;
    parsed.remotePath = operation.mid(prefix.size(), remoteEnd - prefix.size());
    parsed.localPath = operation.mid(localStart, operation.size() - 1 - localStart);
    if (parsed.remotePath.isEmpty() || parsed.localPath.isEmpty())
        return refuse(QStringLiteral("a path is empty"));
    if (parsed.localPath.contains(QLatin1Char('"')))
        return refuse(QStringLiteral("a stray quote"));
    if (HasControlCharacter(parsed.remotePath) || HasControlCharacter(parsed.localPath))
        return refuse(QStringLiteral("a control character in a path"));
    return parsed;
}

bool Inet::Refuse(const QString& reason) {
    lastError_ = reason;
    return false;
}

bool Inet::Execute(const QString& url, const QString& operation) {
    if (transfer_)
        return Refuse(QStringLiteral("Still executing last request"));
    QString parseError;
    const std::optional<GetOperation> get = ParseGetOperation(operation, &parseError);
    if (!get)
        return Refuse(parseError);
    const QString target = url.isEmpty() ? URL() : url;
    const QUrl server(target, QUrl::StrictMode);
    if (!server.isValid() || server.scheme() != QLatin1String("ftp") || server.host().isEmpty() ||
        !IsHostName(server.host()))
        return Refuse(QStringLiteral("Not an FTP server address: %1").arg(target));
    if (protocol_ != icFTP)
        return Refuse(QStringLiteral("Only FTP transfers are supported"));

    auto transfer = std::make_shared<Transfer>();
    transfer->remotePath = get->remotePath;
    transfer->maxBytes = maxBytes_;
    transfer->file.setFileName(get->localPath);
    if (!transfer->file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return Refuse(QStringLiteral("Cannot create %1: %2")
                          .arg(get->localPath, transfer->file.errorString()));

    // The path goes to the server as given: a leading slash is encoded so that it stays part of
    // the file name rather than separating it from the host.
    QString path = get->remotePath;
    QByteArray encodedPath = "/";
    if (path.startsWith(QLatin1Char('/'))) {
        encodedPath += "%2F";
        path.remove(0, 1);
    }
    encodedPath += QUrl::toPercentEncoding(path, "/");
    QUrl address;
    address.setScheme(QStringLiteral("ftp"));
    address.setHost(server.host());
    address.setPort(server.port());
    const QByteArray fullUrl = address.toEncoded() + encodedPath;
    const QByteArray user = userName_.toUtf8();
    const QByteArray password = password_.toUtf8();

    transfer->easy = curl_easy_init();
    transfer->multi = curl_multi_init();
    if (transfer->easy == nullptr || transfer->multi == nullptr)
        return Refuse(QStringLiteral("Cannot set up a transfer (libcurl)"));
    CURL* easy = transfer->easy;
    bool set = true;
    const auto option = [&](CURLcode code) { set = set && code == CURLE_OK; };
    option(curl_easy_setopt(easy, CURLOPT_URL, fullUrl.constData()));
#if LIBCURL_VERSION_NUM >= 0x075500
    option(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "ftp"));
#else
    option(curl_easy_setopt(easy, CURLOPT_PROTOCOLS, long(CURLPROTO_FTP)));
#endif
    option(curl_easy_setopt(easy, CURLOPT_USERNAME, user.constData()));
    option(curl_easy_setopt(easy, CURLOPT_PASSWORD, password.constData()));
    if (accessType_ == icDirect)
        option(curl_easy_setopt(easy, CURLOPT_PROXY, ""));
    option(curl_easy_setopt(easy, CURLOPT_FTP_FILEMETHOD, long(CURLFTPMETHOD_NOCWD)));
    option(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
#if LIBCURL_VERSION_NUM >= 0x075700
    // A transfer removed while its name lookup hangs does not wait for the lookup.
    option(curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L));
#endif
    // A server that announces a size above the bound is refused before the data flows.
    if (maxBytes_ > 0)
        option(curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(maxBytes_)));
    option(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds));
    option(curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, kStallSeconds));
    option(curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L));
    option(curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, kStallSeconds));
    // Closing the connection within the transfer leaves nothing open for the clean-up.
    option(curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L));
    option(curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorBuffer));
    option(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::WriteToFile));
    option(curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get()));
    option(curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L));
    option(curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::CheckAbort));
    option(curl_easy_setopt(easy, CURLOPT_XFERINFODATA, transfer.get()));
    if (!set)
        return Refuse(QStringLiteral("Cannot set up a transfer of %1 (libcurl)").arg(target));

    lastError_.clear();
    transfer->generation = ++generation_;
    transfer->owner = this;
    try {
        // Never joined: ending a download must not wait on the network (see LetGo).
        std::thread([transfer] { Transfer::Work(transfer); }).detach();
    } catch (const std::system_error& e) {
        return Refuse(QStringLiteral("Cannot start a transfer thread: %1")
                          .arg(QString::fromLocal8Bit(e.what())));
    }
    transfer_ = std::move(transfer);
    return true;
}

qint64 Inet::BytesReceived() const {
    return transfer_ ? transfer_->received.load() : lastBytesReceived_;
}

void Inet::LetGo() {
    if (!transfer_)
        return;
    lastBytesReceived_ = transfer_->received.load();
    const std::lock_guard<std::mutex> lock(transfer_->mutex);
    transfer_->owner = nullptr;
    transfer_->file.close();
    transfer_->abort.store(true);
    curl_multi_wakeup(transfer_->multi);
}

void Inet::Cancel() {
    if (!transfer_)
        return;
    LetGo();
    const QString error =
        QStringLiteral("Download of %1 failed: cancelled").arg(transfer_->remotePath);
    transfer_.reset();
    lastError_ = error;
    emit TransferDone(false, error);
}

void Inet::OnWorkerFinished(quint64 generation) {
    if (!transfer_ || transfer_->generation != generation)
        return;
    lastBytesReceived_ = transfer_->received.load();
    const bool ok = transfer_->ok;
    const QString error = transfer_->error;
    transfer_.reset();
    lastError_ = error;
    emit TransferDone(ok, error);
}
