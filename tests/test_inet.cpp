// The FTP transfer object against a real FTP server on 127.0.0.1, and the place of temp.tmp.

#include "firmware/Inet.h"
#include "support/FtpServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <curl/curl.h>

#include <optional>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

QString GetOperation(const QString& remote, const QString& local) {
    return QStringLiteral("GET \"%1\" \"%2\"").arg(remote, local);
}

// Set up as the upgrade sets it up.
void Configure(Inet& inet, const QString& password = QString::fromLatin1(kFirmwarePassword)) {
    inet.SetAccessType(Inet::icDirect);
    inet.SetProtocol(Inet::icFTP);
    inet.SetUserName(QString::fromLatin1(kFirmwareAccount));
    inet.SetPassword(password);
    inet.SetRemoteHost(QString::fromLatin1(kFirmwareServerHost));
}

// Every byte value, in an order that does not repeat every 256 bytes.
QByteArray AllByteValues(int size) {
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 7 + i / 256) & 0xff);
    return data;
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestInet : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    void cleanupTestCase() { curl_global_cleanup(); }
    void init() {
        tmp_.emplace();
        QVERIFY(tmp_->isValid());
    }

    void downloadsByteIdentical();
    void failuresAreReported_data();
    void failuresAreReported();
    void slowDownloadGrowsBeforeItEnds();
    void serverDyingMidTransferFails_data();
    void serverDyingMidTransferFails();
    void downloadStopsAtItsBound_data();
    void downloadStopsAtItsBound();
    void oneTransferAtATimeAndCancel();
    void destroyingMidTransferIsClean();
    void operationParsing_data();
    void operationParsing();
    void executeRefusesWhatItCannotStart_data();
    void executeRefusesWhatItCannotStart();
    void urlReadBack_data();
    void urlReadBack();
    void tempDownloadPathIsPrivate();

private:
    std::optional<QTemporaryDir> tmp_; // fresh for every test
};

void TestInet::downloadsByteIdentical() {
    FtpServer server;
    QVERIFY2(server.IsRunning(), qPrintable(server.Error()));
    const QByteArray image = AllByteValues(300000);
    QVERIFY(server.AddFile(QStringLiteral("KDR31v2.hex"), image));
    server.UseAsFirmwareServer();

    // A leftover that is longer than the download must not survive behind it.
    const QString local = tmp_->filePath(QStringLiteral("dir with blanks/temp.tmp"));
    QVERIFY(QDir().mkpath(QFileInfo(local).absolutePath()));
    QFile old(local);
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write(QByteArray(400000, 'x')) == 400000);
    old.close();

    // Direct access: a proxy named in the environment is passed by.
    qputenv("ftp_proxy", "http://127.0.0.1:9");
    qputenv("all_proxy", "http://127.0.0.1:9");
    const auto noProxy = qScopeGuard([] {
        qunsetenv("ftp_proxy");
        qunsetenv("all_proxy");
    });

    Inet inet;
    Configure(inet);
    QSignalSpy done(&inet, &Inet::TransferDone);
    QVERIFY2(inet.Execute(inet.URL(), GetOperation(kFirmwareImageRemotePath, local)),
             qPrintable(inet.LastError()));
    QVERIFY(inet.StillExecuting());
    QVERIFY(done.wait(10000));
    QCOMPARE(done.count(), 1);
    QVERIFY2(done[0][0].toBool(), qPrintable(done[0][1].toString()));
    QVERIFY(!inet.StillExecuting());
    QVERIFY(inet.LastError().isEmpty());
    QCOMPARE(inet.BytesReceived(), qint64(image.size()));
    QVERIFY(ReadFile(local) == image);
}

enum class Fault { MissingFile, WrongPassword, NoServer };
Q_DECLARE_METATYPE(Fault)

void TestInet::failuresAreReported_data() {
    QTest::addColumn<Fault>("fault");
    QTest::newRow("missing remote file") << Fault::MissingFile;
    QTest::newRow("wrong password") << Fault::WrongPassword;
    QTest::newRow("no server listening") << Fault::NoServer;
}

void TestInet::failuresAreReported() {
    QFETCH(Fault, fault);
    FtpServer server;
    QVERIFY2(server.IsRunning(), qPrintable(server.Error()));
    QVERIFY(server.AddFile(QStringLiteral("TAMO_UPGlist.bin"), AllByteValues(92)));
    server.UseAsFirmwareServer();
    if (fault == Fault::NoServer)
        server.Stop(); // its port now refuses connections

    Inet inet;
    Configure(inet, fault == Fault::WrongPassword ? QStringLiteral("wrong") : kFirmwarePassword);
    const QString remote = fault == Fault::MissingFile
                               ? QStringLiteral("/absent.bin")
                               : QString::fromLatin1(kUpgradeListRemotePath);
    const QString local = tmp_->filePath(QStringLiteral("temp.tmp"));
    QSignalSpy done(&inet, &Inet::TransferDone);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(inet.Execute(inet.URL(), GetOperation(remote, local)));
    QVERIFY(done.wait(5000));
    QVERIFY(clock.elapsed() < 3000);
    QCOMPARE(done[0][0].toBool(), false);
    const QString error = done[0][1].toString();
    QVERIFY2(error.contains(remote), qPrintable(error));
    QCOMPARE(inet.LastError(), error);
    QCOMPARE(inet.BytesReceived(), qint64(0));
    // The local file is there, empty, as before the server's answer.
    QVERIFY(QFileInfo::exists(local));
    QCOMPARE(QFileInfo(local).size(), qint64(0));
}

void TestInet::slowDownloadGrowsBeforeItEnds() {
    FtpServer server(FtpServer::Options{100000, -1});
    QVERIFY2(server.IsRunning(), qPrintable(server.Error()));
    const QByteArray image = AllByteValues(80000);
    QVERIFY(server.AddFile(QStringLiteral("KDR31v2.hex"), image));
    server.UseAsFirmwareServer();

    Inet inet;
    Configure(inet);
    const QString local = tmp_->filePath(QStringLiteral("temp.tmp"));
    QSignalSpy done(&inet, &Inet::TransferDone);
    QVERIFY(inet.Execute(inet.URL(), GetOperation(kFirmwareImageRemotePath, local)));
    QTRY_VERIFY_WITH_TIMEOUT(inet.BytesReceived() > 0, 3000);
    const qint64 early = inet.BytesReceived();
    QVERIFY(early < image.size());
    QVERIFY(inet.StillExecuting());
    QVERIFY(QFileInfo(local).size() >= early); // on disk as it arrives
    QVERIFY(done.wait(5000));
    QVERIFY(done[0][0].toBool());
    QVERIFY(ReadFile(local) == image);
}

void TestInet::serverDyingMidTransferFails_data() {
    QTest::addColumn<bool>("killServer");
    QTest::newRow("connection dropped") << false;
    QTest::newRow("server killed") << true;
}

void TestInet::serverDyingMidTransferFails() {
    QFETCH(bool, killServer);
    const FtpServer::Options options =
        killServer ? FtpServer::Options{100000, -1} : FtpServer::Options{0, 100000};
    FtpServer server(options);
    QVERIFY2(server.IsRunning(), qPrintable(server.Error()));
    QVERIFY(server.AddFile(QStringLiteral("KDR31v2.hex"), AllByteValues(300000)));
    server.UseAsFirmwareServer();

    Inet inet;
    Configure(inet);
    const QString local = tmp_->filePath(QStringLiteral("temp.tmp"));
    QSignalSpy done(&inet, &Inet::TransferDone);
    QVERIFY(inet.Execute(inet.URL(), GetOperation(kFirmwareImageRemotePath, local)));
    if (killServer) {
        QTRY_VERIFY_WITH_TIMEOUT(inet.BytesReceived() > 0, 3000);
        server.Stop();
    }
    QVERIFY(done.wait(5000));
    QVERIFY2(!done[0][0].toBool(), "a cut-off download was reported as complete");
    QVERIFY(!done[0][1].toString().isEmpty());
    QVERIFY(inet.BytesReceived() > 0 && inet.BytesReceived() < 300000);
    QCOMPARE(QFileInfo(local).size(), inet.BytesReceived());
}

void TestInet::downloadStopsAtItsBound_data() {
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("announced"); // false: the server does not tell the size before
    QTest::addColumn<bool>("ok");
    const qint64 bound = 64 * 1024;
    QTest::newRow("exactly the bound") << bound << true << true;
    QTest::newRow("one byte over, announced") << bound + 1 << true << false;
    QTest::newRow("one byte over, not announced") << bound + 1 << false << false;
    QTest::newRow("10 MB, not announced") << qint64(10 * 1000 * 1000) << false << false;
}

void TestInet::downloadStopsAtItsBound() {
    QFETCH(qint64, size);
    QFETCH(bool, announced);
    QFETCH(bool, ok);
    const qint64 bound = 64 * 1024;
    const QString name = QStringLiteral("TAMO_UPGlist.bin");
    FtpServer server;
    QVERIFY2(server.IsRunning(), qPrintable(server.Error()));
    QVERIFY(announced ? server.AddFile(name, AllByteValues(int(size)))
                      : server.AddGeneratedFile(name, size));
    server.UseAsFirmwareServer();

    Inet inet;
    Configure(inet);
    inet.SetMaxBytes(bound);
    const QString local = tmp_->filePath(QStringLiteral("temp.tmp"));
    QSignalSpy done(&inet, &Inet::TransferDone);
    QVERIFY(inet.Execute(inet.URL(), GetOperation(kUpgradeListRemotePath, local)));
    QVERIFY(done.wait(5000));
    QCOMPARE(done[0][0].toBool(), ok);
    QVERIFY(inet.BytesReceived() <= bound);
    QCOMPARE(QFileInfo::exists(local), ok);
    if (ok) {
        QCOMPARE(QFileInfo(local).size(), size);
    } else {
        const QString error = done[0][1].toString();
        QVERIFY2(error.contains(QStringLiteral("larger than 65536 bytes")), qPrintable(error));
    }
}

void TestInet::oneTransferAtATimeAndCancel() {
    FtpServer server(FtpServer::Options{50000, -1});
    QVERIFY2(server.IsRunning(), qPrintable(server.Error()));
    QVERIFY(server.AddFile(QStringLiteral("KDR31v2.hex"), AllByteValues(200000)));
    const QByteArray list = AllByteValues(92);
    QVERIFY(server.AddFile(QStringLiteral("TAMO_UPGlist.bin"), list));
    server.UseAsFirmwareServer();

    Inet inet;
    Configure(inet);
    const QString image = tmp_->filePath(QStringLiteral("image.tmp"));
    const QString listFile = tmp_->filePath(QStringLiteral("list.tmp"));
    QSignalSpy done(&inet, &Inet::TransferDone);
    QVERIFY(inet.Execute(inet.URL(), GetOperation(kFirmwareImageRemotePath, image)));
    QTRY_VERIFY_WITH_TIMEOUT(inet.BytesReceived() > 0, 3000);

    QVERIFY(!inet.Execute(inet.URL(), GetOperation(kUpgradeListRemotePath, listFile)));
    QVERIFY(inet.StillExecuting());
    QVERIFY(!QFileInfo::exists(listFile));

    QElapsedTimer clock;
    clock.start();
    inet.Cancel();
    QVERIFY(clock.elapsed() < 1000);
    QVERIFY(!inet.StillExecuting());
    QCOMPARE(done.count(), 1);
    QCOMPARE(done[0][0].toBool(), false);
    QVERIFY(done[0][1].toString().contains(QStringLiteral("cancelled")));

    // The next download starts at once, and the cancelled one reports nothing more.
    QVERIFY2(inet.Execute(inet.URL(), GetOperation(kUpgradeListRemotePath, listFile)),
             qPrintable(inet.LastError()));
    QVERIFY(done.wait(5000));
    QCOMPARE(done.count(), 2);
    QVERIFY(done[1][0].toBool());
    QVERIFY(ReadFile(listFile) == list);
}

void TestInet::destroyingMidTransferIsClean() {
    FtpServer server(FtpServer::Options{50000, -1});
    QVERIFY2(server.IsRunning(), qPrintable(server.Error()));
    QVERIFY(server.AddFile(QStringLiteral("KDR31v2.hex"), AllByteValues(200000)));
    server.UseAsFirmwareServer();

    auto* inet = new Inet;
    Configure(*inet);
    int notices = 0;
    QObject receiver;
    connect(inet, &Inet::TransferDone, &receiver, [&notices] { ++notices; });
    QVERIFY(inet->Execute(inet->URL(),
                          GetOperation(kFirmwareImageRemotePath, tmp_->filePath("temp.tmp"))));
    QTRY_VERIFY_WITH_TIMEOUT(inet->BytesReceived() > 0, 3000);
    QElapsedTimer clock;
    clock.start();
    delete inet;
    QVERIFY(clock.elapsed() < 1000);
    QCoreApplication::sendPostedEvents();
    QCOMPARE(notices, 0);
}

void TestInet::operationParsing_data() {
    QTest::addColumn<QString>("operation");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QString>("local");
    const QString local = QStringLiteral("C:\\Program Files\\KDR31 Visualisation\\temp.tmp");
    QTest::newRow("exact, blanks in local path")
        << GetOperation("/KDR31v2.hex", local) << true << "/KDR31v2.hex" << local;
    QTest::newRow("blanks in both paths")
        << QStringLiteral(R"(GET "/a b.bin" "/home/u/my dir/temp.tmp")") << true << "/a b.bin"
        << "/home/u/my dir/temp.tmp";
    const QStringList refused{
        QString(),
        QStringLiteral("GET"),
        QStringLiteral(R"(get "/a" "b")"),
        QStringLiteral(R"(PUT "/a" "b")"),
        QStringLiteral(R"(GET  "/a" "b")"),
        QStringLiteral(R"(GET "/a"  "b")"),
        QStringLiteral(R"(GET "/a""b")"),
        QStringLiteral(R"(GET /a b)"),
        QStringLiteral(R"(GET "/a")"),
        QStringLiteral(R"(GET "/a" "b)"),
        QStringLiteral(R"(GET "/a" "b" )"),
        QStringLiteral("GET \"/a\" \"b\"\r\n"),
        QStringLiteral(R"(GET "" "b")"),
        QStringLiteral(R"(GET "/a" "")"),
        QStringLiteral(R"(GET "/a" "b"c")"),
        QStringLiteral(R"(GET "/a" "b" "c")"),
        QStringLiteral("GET \"/a\r\nDELE x\" \"b\""),
    };
    for (const QString& operation : refused) {
        QString name = QStringLiteral("refused: ") + operation;
        name.replace(QLatin1Char('\r'), QLatin1String("\\r"));
        name.replace(QLatin1Char('\n'), QLatin1String("\\n"));
        QTest::newRow(qPrintable(name)) << operation << false << QString() << QString();
    }
}

void TestInet::operationParsing() {
    QFETCH(QString, operation);
    QFETCH(bool, accepted);
    QString error;
    const std::optional<Inet::GetOperation> parsed = Inet::ParseGetOperation(operation, &error);
    QCOMPARE(parsed.has_value(), accepted);
    QCOMPARE(error.isEmpty(), accepted);
    if (accepted) {
        QTEST(parsed->remotePath, "remote");
        QTEST(parsed->localPath, "local");
    }
}

void TestInet::executeRefusesWhatItCannotStart_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("operation");
    QTest::newRow("malformed operation") << "ftp://127.0.0.1:1"
                                         << R"(GET "/a" b)";
    QTest::newRow("not an FTP address") << "http://127.0.0.1:1"
                                        << R"(GET "/a" "%1")";
    QTest::newRow("no host") << "ftp://"
                             << R"(GET "/a" "%1")";
    QTest::newRow("local directory missing") << "ftp://127.0.0.1:1"
                                             << R"(GET "/a" "%1/no/b")";
}

void TestInet::executeRefusesWhatItCannotStart() {
    QFETCH(QString, url);
    QFETCH(QString, operation);
    if (operation.contains(QLatin1String("%1")))
        operation = operation.arg(tmp_->filePath(QStringLiteral("x.tmp")));
    Inet inet;
    Configure(inet);
    QSignalSpy done(&inet, &Inet::TransferDone);
    QVERIFY(!inet.Execute(url, operation));
    QVERIFY(!inet.LastError().isEmpty());
    QVERIFY(!inet.StillExecuting());
    QCoreApplication::sendPostedEvents();
    QCOMPARE(done.count(), 0);
}

void TestInet::urlReadBack_data() {
    QTest::addColumn<QByteArray>("override"); // null: not set
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("url");
    QTest::newRow("no override") << QByteArray() << true << "ftp://firmware.kdr31.example";
    QTest::newRow("host and port")
        << QByteArray("127.0.0.1:2121") << true << "ftp://127.0.0.1:2121";
    QTest::newRow("host only") << QByteArray("localhost") << true << "ftp://localhost";
    // A broken override must not fall back to the real server.
    for (const char* broken : {"127.0.0.1:", "127.0.0.1:0", "127.0.0.1:70000", "127.0.0.1:2x",
                               ":21", "a:1:2", "ftp://127.0.0.1", "user@127.0.0.1"})
        QTest::newRow(broken) << QByteArray(broken) << false << "ftp://";
}

void TestInet::urlReadBack() {
    QFETCH(QByteArray, override);
    QFETCH(bool, accepted);
    if (override.isNull())
        qunsetenv(kFirmwareServerEnv);
    else
        qputenv(kFirmwareServerEnv, override);
    Inet inet;
    QCOMPARE(inet.SetRemoteHost(QString::fromLatin1(kFirmwareServerHost)), accepted);
    qunsetenv(kFirmwareServerEnv);
    QTEST(inet.URL(), "url");
}

void TestInet::tempDownloadPathIsPrivate() {
#ifndef Q_OS_LINUX
    QSKIP("the per-user directory is placed through XDG_CACHE_HOME here");
#else
    const QByteArray previous = qgetenv("XDG_CACHE_HOME");
    const auto restore = qScopeGuard([&] {
        if (previous.isNull())
            qunsetenv("XDG_CACHE_HOME");
        else
            qputenv("XDG_CACHE_HOME", previous);
    });
    qputenv("XDG_CACHE_HOME", tmp_->filePath(QStringLiteral("cache")).toLocal8Bit());

    const auto privateDirectory = [](const QString& path) {
        const QFileInfo dir(QFileInfo(path).absolutePath());
        const auto othersWrite = QFileDevice::WriteGroup | QFileDevice::WriteOther;
        return dir.isDir() && dir.ownerId() == ::geteuid() && !(dir.permissions() & othersWrite);
    };
    const std::optional<QString> path = TempDownloadPath();
    QVERIFY(path.has_value());
    QCOMPARE(QFileInfo(*path).fileName(), QStringLiteral("temp.tmp"));
    QVERIFY(path->startsWith(tmp_->filePath(QStringLiteral("cache/"))));
    QVERIFY(privateDirectory(*path));
    const QFileDevice::Permissions created =
        QFileInfo(QFileInfo(*path).absolutePath()).permissions();
    QCOMPARE(created & ~QFileDevice::Permissions(QFileDevice::ReadUser | QFileDevice::WriteUser |
                                                 QFileDevice::ExeUser),
             QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    // A directory that others were let into is closed again before it is used.
    QVERIFY(
        QFile::setPermissions(QFileInfo(*path).absolutePath(), QFileDevice::Permissions(0x7777)));
    QCOMPARE(TempDownloadPath().value_or(QString()), *path);
    QVERIFY(privateDirectory(*path));

    // No place to write: the caller is told.
    QFile blocker(tmp_->filePath(QStringLiteral("not-a-directory")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    qputenv("XDG_CACHE_HOME", blocker.fileName().toLocal8Bit());
    QVERIFY(!TempDownloadPath().has_value());
#endif
}

QTEST_GUILESS_MAIN(TestInet)
#include "test_inet.moc"
