// The reply shapes below the port: bytes in, results out, in every way they can arrive.

#include "device_link/ReplyParser.h"

#include <QTest>

namespace {

QByteArray Bytes(std::initializer_list<int> values) {
    QByteArray bytes;
    for (int v : values)
        bytes.append(static_cast<char>(v));
    return bytes;
}

QByteArray ShortReply(int code, const QByteArray& data) {
    return Bytes({0x2A, code, static_cast<int>(data.size())}) + data + "#";
}

QByteArray LongReply(int high, int low, const QByteArray& data) {
    return Bytes({0x2A, 69, high, low}) + data + "#";
}

// Feeds the chunks in order, each at its own moment (seconds after the request), and returns
// the result once the deadline has passed.
QByteArray Run(int command, const QList<QByteArray>& chunks, QList<double> at = {},
               int* settingsErrors = nullptr, double* deadline = nullptr) {
    QByteArray buffer = "left over from an earlier transaction";
    ReplyParser parser(static_cast<std::uint8_t>(command), buffer);
    parser.Begin(100.0);
    int errors = 0;
    for (int i = 0; i < chunks.size(); ++i) {
        const double now = 100.0 + (i < at.size() ? at[i] : 0.01 * i);
        if (parser.Expired(now))
            break;
        errors += parser.Feed(chunks[i], now) ? 1 : 0;
    }
    parser.Finish();
    if (settingsErrors)
        *settingsErrors = errors;
    if (deadline)
        *deadline = parser.Deadline() - 100.0;
    return parser.Result();
}

} // namespace

class TestReplyParser : public QObject {
    Q_OBJECT
private slots:
    void frame() {
        QCOMPARE(BuildFrame(86, {}), QByteArray("*V#"));
        // Payload bytes equal to the markers go out as they are.
        QCOMPARE(BuildFrame(66, QByteArray("*#\0\xff", 4)), QByteArray("*B*#\0\xff#", 7));
    }

    void replies_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QByteArray>("expected");

        const QByteArray ident = "\x01\x02\x00\x0f\x3c\x01\x05\x01KD310042";
        QTest::newRow("short reply whole: 0, data, end marker")
            << 86 << QList<QByteArray>{ShortReply(87, ident)} << QByteArray(1, 0) + ident + "#";
        QTest::newRow("short reply split byte by byte") << 86 << [&] {
            QList<QByteArray> chunks;
            for (char c : ShortReply(87, ident))
                chunks << QByteArray(1, c);
            return chunks;
        }() << QByteArray(1, 0) + ident + "#";
        QTest::newRow("short reply drops bytes that came behind its end marker")
            << 64 << QList<QByteArray>{ShortReply(65, "abcd") + "#xy"}
            << QByteArray(1, 0) + "abcd#";
        QTest::newRow("short identify with stray bytes stays short")
            << 86 << QList<QByteArray>{ShortReply(87, ident.left(7)) + "\x05KD3"}
            << QByteArray(1, 0) + ident.left(7) + "#";
        QTest::newRow("short reply with n = 0 is never accepted")
            << 86 << QList<QByteArray>{Bytes({0x2A, 87, 0, 0x23})} << Bytes({252});
        QTest::newRow("short reply with a wrong end marker")
            << 64 << QList<QByteArray>{Bytes({0x2A, 65, 2, 1, 2, 0x21})} << Bytes({251});
        QTest::newRow("short reply code is searched, positions are fixed")
            // A stray byte in front: the length is read from the reply code (87), so the reply
            // never completes.
            << 86 << QList<QByteArray>{QByteArray("\n") + ShortReply(87, ident)} << Bytes({252});
        QTest::newRow("stray byte with enough bytes behind it gives a wrong end")
            << 64
            << QList<QByteArray>{QByteArray("\n") + ShortReply(65, "ab") + QByteArray(70, 'z')}
            << Bytes({251});
        QTest::newRow("short reply for another command is not taken")
            << 86 << QList<QByteArray>{ShortReply(65, "abcd")} << Bytes({252});
        QTest::newRow("a later reply replaces the result")
            << 64 << QList<QByteArray>{ShortReply(65, "one"), ShortReply(65, "two")}
            << QByteArray(1, 0) + "two#";
        QTest::newRow("silence") << 64 << QList<QByteArray>{} << Bytes({252});

        const QByteArray full(1535, 'L');
        QTest::newRow("long reply of 1535 bytes")
            << 68 << QList<QByteArray>{LongReply(5, 255, full)} << QByteArray(1, 0) + full;
        QTest::newRow("long reply drops bytes behind its end marker")
            << 68 << QList<QByteArray>{LongReply(0, 2, "OK") + "zz"} << QByteArray(1, 0) + "OK";
        QTest::newRow("long reply with H = 6")
            << 68 << QList<QByteArray>{LongReply(6, 0, QByteArray(10, 'x'))} << Bytes({250});
        QTest::newRow("long reply with n = 0 is never accepted")
            << 68 << QList<QByteArray>{Bytes({0x2A, 69, 0, 0, 0x23})} << Bytes({252});
        QTest::newRow("long reply with a wrong end marker")
            << 68 << QList<QByteArray>{Bytes({0x2A, 69, 0, 2, 'O', 'K', '!'})} << Bytes({251});
        QTest::newRow("long reply one byte status")
            << 68 << QList<QByteArray>{LongReply(0, 1, "\x02")} << Bytes({0, 2});

        QTest::newRow("upload ack") << 208 << QList<QByteArray>{"*U#"} << Bytes({0});
        QTest::newRow("upload ack among other bytes")
            << 210 << QList<QByteArray>{"xx*U#yy"} << Bytes({0});
        QTest::newRow("upload garbage") << 208 << QList<QByteArray>{"*X#"} << Bytes({255});
        QTest::newRow("upload late ack turns 255 into 0")
            << 208 << QList<QByteArray>{"abc", "*U#"} << Bytes({0});
        QTest::newRow("upload two bytes only") << 210 << QList<QByteArray>{"*U"} << Bytes({252});
        QTest::newRow("settings ack still times out")
            << 66 << QList<QByteArray>{"*U#"} << Bytes({252});
    }
    void replies() {
        QFETCH(int, command);
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QByteArray, expected);
        QCOMPARE(Run(command, chunks), expected);
    }

    void settingsErrorOnlyForWrongBytes() {
        int errors = 0;
        Run(66, {"*U#"}, {}, &errors);
        QCOMPARE(errors, 0);
        Run(66, {}, {}, &errors);
        QCOMPARE(errors, 0);
        Run(66, {"*U"}, {}, &errors);
        QCOMPARE(errors, 0);
        Run(66, {"*X#"}, {}, &errors);
        QCOMPARE(errors, 1);
        // The acknowledgement behind other bytes is still an acknowledgement.
        Run(66, {"xy", "z*U#"}, {}, &errors);
        QCOMPARE(errors, 0);
        // Three wrong bytes are reported even when the acknowledgement follows later.
        Run(66, {"xyz", "*U#"}, {}, &errors);
        QCOMPARE(errors, 1);
    }

    void deadlines() {
        double deadline = 0;
        Run(64, {ShortReply(65, "ab")}, {0.05}, nullptr, &deadline);
        QCOMPARE(deadline, 0.3); // a short reply does not extend the wait

        // A long reply's header gives 0.5 s from the pass that saw it.
        Run(68, {LongReply(0, 2, "OK")}, {0.2}, nullptr, &deadline);
        QVERIFY(qAbs(deadline - 0.7) < 1e-9);

        // The rest of a long reply may come up to 0.5 s after its header...
        const QByteArray reply = LongReply(1, 0, QByteArray(256, 'x'));
        QCOMPARE(Run(68, {reply.left(10), reply.mid(10)}, {0.25, 0.7}),
                 QByteArray(1, 0) + QByteArray(256, 'x'));
        // ...but a reply cut short is discarded at the deadline.
        QCOMPARE(Run(68, {reply.left(10), reply.mid(10)}, {0.25, 0.8}), Bytes({252}));
        // A short reply whose last bytes miss the deadline.
        QCOMPARE(Run(64, {ShortReply(65, "abcd").left(5), "cd#"}, {0.1, 0.31}), Bytes({252}));
    }

    void receiveBuffer() {
        QByteArray buffer = "*W\x03";
        ReplyParser parser(86, buffer);
        parser.Begin(0);
        QVERIFY(buffer.isEmpty());
        parser.Feed(ShortReply(87, "x"), 0.1);
        QVERIFY(buffer.isEmpty()); // emptied after each processed reply
        parser.Feed("*U#", 0.1);
        QCOMPARE(buffer, QByteArray("*U#")); // too short to be looked at

        QByteArray ackBuffer;
        ReplyParser upload(208, ackBuffer);
        upload.Begin(0);
        upload.Feed("*U#", 0.1);
        QCOMPARE(ackBuffer, QByteArray("*U#")); // never emptied for acknowledgements
    }
};

QTEST_APPLESS_MAIN(TestReplyParser)
#include "test_reply_parser.moc"
