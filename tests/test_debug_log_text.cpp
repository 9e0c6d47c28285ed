// The debug log without a window: what a read result means, what the view shows for the bytes,
// the offered file name and the saved file.

#include "debug_log/DebugLog.h"

#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray Result(int code, const QByteArray& data = {}) {
    return QByteArray(1, char(code)) + data;
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Writes the file, and says why it could not when it fails.
bool Written(const QString& path, const QByteArray& log) {
    const std::optional<QString> failure = WriteDebugLogFile(path, log);
    if (failure)
        qWarning("%s: %s", qPrintable(path), qPrintable(*failure));
    return !failure;
}

QByteArray EveryByteValue() {
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append(char(i));
    return bytes;
}

} // namespace

class TestDebugLogText : public QObject {
    Q_OBJECT
private slots:
    void readResult_data() {
        QTest::addColumn<QByteArray>("result");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("message");
        QTest::newRow("status 1") << Result(0, "\x01") << QByteArray() << "P1 busy. Please retry";
        QTest::newRow("status 2") << Result(0, "\x02") << QByteArray()
                                  << "Buffer (1200bytes) overflow";
        QTest::newRow("status 3") << Result(0, "\x03") << QByteArray()
                                  << "P1 not connected or protocol not set correctly";
        QTest::newRow("one byte 65") << Result(0, "A") << QByteArray() << "";
        QTest::newRow("one byte 0") << Result(0, QByteArray(1, 0)) << QByteArray() << "";
        QTest::newRow("no data") << Result(0) << QByteArray() << "";
        QTest::newRow("two bytes") << Result(0, "OK") << QByteArray("OK") << "";
        QTest::newRow("two status-like bytes")
            << Result(0, "\x02\x02") << QByteArray("\x02\x02") << "";
        QTest::newRow("length overflow") << Result(250) << QByteArray() << "RX Length Overflow";
        QTest::newRow("wrong end") << Result(251) << QByteArray() << "Wrong end character received";
        QTest::newRow("timed out") << Result(252) << QByteArray() << "RX timed out";
        QTest::newRow("not ok") << Result(255) << QByteArray() << "";
        QTest::newRow("empty") << QByteArray() << QByteArray() << "";
    }
    void readResult() {
        QFETCH(QByteArray, result);
        QFETCH(QByteArray, text);
        QFETCH(QString, message);
        const DebugLogReadOutcome outcome = InterpretDebugLogResult(result);
        QCOMPARE(outcome.text, text);
        QCOMPARE(outcome.message, message);
    }

    void displayText_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("plain") << QByteArray("P1 ok") << "P1 ok";
        QTest::newRow("CR LF") << QByteArray("a\r\nb\r\n") << "a\nb\n";
        QTest::newRow("lone CR") << QByteArray("a\rb") << "a\nb";
        QTest::newRow("lone LF") << QByteArray("a\nb") << "a\nb";
        QTest::newRow("CR CR LF") << QByteArray("a\r\r\nb") << "a\n\nb";
        QTest::newRow("LF CR") << QByteArray("a\n\rb") << "a\n\nb";
        QTest::newRow("tab") << QByteArray("a\tb") << "a\tb";
        QTest::newRow("NUL, ESC, DEL")
            << QByteArray("\x00\x1b\x7f", 3) << QString::fromUtf8("\u2400\u241b\u2421");
        QTest::newRow("high bytes as Latin-1")
            << QByteArray("\xe9\xb0\xff") << QString::fromUtf8("\u00e9\u00b0\u00ff");
    }
    void displayText() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(DebugLogDisplayText(bytes), text);
    }

    void appendedPiecesShowAsTheWhole() {
        // The device may end one read between the CR and the LF of a line break.
        const char raw[] = "line 1\r\nline 2\r\rline 3\n\r\n\x00\xe9";
        const QByteArray whole(raw, sizeof raw - 1);
        for (int split = 0; split <= whole.size(); ++split) {
            DebugLog log;
            QString shown = log.Append(whole.left(split));
            shown += log.Append(whole.mid(split));
            QCOMPARE(log.Bytes(), whole);
            QCOMPARE(shown, DebugLogDisplayText(whole));
            QCOMPARE(log.DisplayText(), shown);
        }
        DebugLog log;
        log.Append("old\r");
        log.Clear();
        QCOMPARE(log.Append("\nnew"), QStringLiteral("\nnew")); // nothing of the old is left
        QCOMPARE(log.Bytes(), QByteArray("\nnew"));
    }

    void defaultName_data() {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("time");
        QTest::addColumn<QString>("name");
        QTest::newRow("d-M-yyyy, HH:mm:ss") << "X"
                                            << "6-12-2026"
                                            << "08:52:43"
                                            << "X-debuglog-6-12-2026-085243.txt";
        QTest::newRow("M/d/yyyy, h:mm:ss tt") << "X"
                                              << "12/6/2026"
                                              << "8:52:43 AM"
                                              << "X-debuglog-1262026-85243 AM.txt";
        QTest::newRow("connected caption")
            << "Zevizudove V1.9 s/n:KD310042 Listening to COM3 KDR31 FW V2.1.0.15"
            << "06-12-2026"
            << "08:52:43"
            << "Zevizudove V1.9 snKD310042 Listening to COM3 KDR31 FW "
               "V2.1.0.15-debuglog-06-12-2026-085243.txt";
        QTest::newRow("only / and : go") << "a/b:c\\d*e. f"
                                         << "1.2"
                                         << "3 4"
                                         << "abc\\d*e. f-debuglog-1.2-3 4.txt";
    }
    void defaultName() {
        QFETCH(QString, caption);
        QFETCH(QString, date);
        QFETCH(QString, time);
        QFETCH(QString, name);
        QCOMPARE(DebugLogDefaultName(caption, date, time), name);
    }

    void defaultNameInTheUsersFormats_data() {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("name");
        // Short date; time with seconds and without a time zone.
        QTest::newRow("Dutch") << QLocale(QLocale::Dutch, QLocale::Netherlands)
                               << "X-debuglog-06-12-2026-085243.txt";
        QTest::newRow("US English")
            << QLocale(QLocale::English, QLocale::UnitedStates) << "X-debuglog-12626-85243 AM.txt";
    }
    void defaultNameInTheUsersFormats() {
        QFETCH(QLocale, locale);
        QFETCH(QString, name);
        const QDateTime when(QDate(2026, 12, 6), QTime(8, 52, 43));
        QCOMPARE(DebugLogDefaultName(QStringLiteral("X"), when, locale), name);
    }

    void savedFile_data() {
        QTest::addColumn<QByteArray>("log");
        QTest::newRow("every byte value") << EveryByteValue();
        QTest::newRow("the device's own line breaks") << QByteArray("a\r\nb\rc\n");
        QTest::newRow("empty log") << QByteArray();
    }
    void savedFile() {
        QFETCH(QByteArray, log);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("log.txt"));
        QVERIFY(Written(path, log));
        QCOMPARE(ReadAll(path), log + "\r\n");
    }

    void fileThatCannotBeWritten() {
        QTemporaryDir dir;
        const QString regular = dir.filePath(QStringLiteral("regular"));
        QVERIFY(Written(regular, "kept"));
        // Nobody, root included, can create a file below a regular file or write a directory.
        for (const QString& path : {regular + QStringLiteral("/log.txt"), dir.path()}) {
            const std::optional<QString> failure = WriteDebugLogFile(path, "log");
            QVERIFY2(failure && !failure->isEmpty(), qPrintable(path));
        }
        QCOMPARE(ReadAll(regular), QByteArray("kept\r\n"));
        QCOMPARE(DebugLogSaveFailedText(QStringLiteral("/a/b.txt"), QStringLiteral("Disk full")),
                 QStringLiteral("The debug log could not be saved to /a/b.txt: Disk full"));
    }

    // A file the user may write, in a directory the user may not create files in: no temporary
    // file can be made beside it, so the save fails and the file keeps what it held. Run as an
    // unprivileged user in a child process, since root may create files anywhere.
    void fileKeptWhenNoTemporaryFileCanBeMade() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("log.txt"));
        QVERIFY(Written(path, "kept"));
        const auto everyone = [](bool write) {
            QFileDevice::Permissions p = QFileDevice::ReadOwner | QFileDevice::ReadGroup |
                                         QFileDevice::ReadOther | QFileDevice::ExeOwner |
                                         QFileDevice::ExeGroup | QFileDevice::ExeOther;
            if (write)
                p |= QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
            return p;
        };
        QVERIFY(QFile::setPermissions(path, everyone(true)));
        QVERIFY(QFile::setPermissions(dir.path(), everyone(false)));
        const auto restore =
            qScopeGuard([&] { QFile::setPermissions(dir.path(), everyone(true)); });

        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            constexpr uid_t nobody = 65534;
            if (::geteuid() == 0 && (::setgid(nobody) != 0 || ::setuid(nobody) != 0))
                ::_exit(2);
            QFile reachable(path); // the file itself can be written: the test means something
            if (!reachable.open(QIODevice::WriteOnly | QIODevice::Append))
                ::_exit(3);
            reachable.close();
            const std::optional<QString> failure = WriteDebugLogFile(path, "new");
            ::_exit(failure && !failure->isEmpty() ? 0 : 1);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        if (WEXITSTATUS(status) == 3)
            QSKIP("the unprivileged user cannot reach the temporary directory");
        QCOMPARE(WEXITSTATUS(status), 0); // 1: saved all the same; 2: no unprivileged user
        QCOMPARE(ReadAll(path), QByteArray("kept\r\n"));
    }
};

QTEST_APPLESS_MAIN(TestDebugLogText)
#include "test_debug_log_text.moc"
