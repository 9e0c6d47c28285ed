#include "firmware/HexImage.h"
#include "firmware/UpgradeSteps.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>

namespace {

// A record with its checksum computed here, independently of the loader; sumError spoils it.
QByteArray Rec(int type, int offset, const QByteArray& dataHex, int sumError = 0) {
    QByteArray bytes = QByteArray::fromHex(dataHex);
    bytes.prepend(static_cast<char>(type));
    bytes.prepend(static_cast<char>(offset & 0xFF));
    bytes.prepend(static_cast<char>(offset >> 8));
    bytes.prepend(static_cast<char>(bytes.size() - 3));
    int sum = sumError;
    for (const char b : bytes)
        sum -= static_cast<std::uint8_t>(b);
    bytes.append(static_cast<char>(sum & 0xFF));
    return ':' + bytes.toHex().toUpper();
}

QByteArray File(const QByteArrayList& lines, const QByteArray& eol = "\n") {
    return lines.join(eol) + eol;
}

// "FF*256 0102" is 256 bytes 0xFF followed by 01 02.
QByteArray Img(const QByteArray& layout) {
    QByteArray image;
    for (const QByteArray& token : layout.split(' ')) {
        const int star = token.indexOf('*');
        if (star < 0)
            image += QByteArray::fromHex(token);
        else
            image += QByteArray(token.mid(star + 1).toInt(nullptr, 0),
                                QByteArray::fromHex(token.left(star)).at(0));
    }
    return image;
}

int OpenFileCount() {
    return static_cast<int>(QDir("/proc/self/fd")
                                .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                                .size());
}

const QByteArray Hex121 = QByteArray(121, '\x5A').toHex();

} // namespace

class TestFirmwareHex : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    int files_ = 0;

    QString Write(const QByteArray& content) {
        const QString path = dir_.filePath(QStringLiteral("f%1.hex").arg(++files_));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    HexImage Load(const QByteArray& content, bool noBoot, QStringList* messages = nullptr) {
        return Hex2BinString(Write(content), noBoot, [messages](const QString& text) {
            if (messages)
                messages->append(text);
        });
    }

private slots:
    void checkSum_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("sum");
        QTest::newRow("end record") << QByteArray(":00000001FF") << "00";
        QTest::newRow("without its sum") << QByteArray(":00000001") << "FF";
        QTest::newRow("data record") << QByteArray(":0401000001020304F1") << "00";
        QTest::newRow("lone last digit") << QByteArray(":1") << "FF";
        QTest::newRow("start character only") << QByteArray(":") << "00";
        QTest::newRow("253 characters") << Rec(0, 0, Hex121) << "00";
        QTest::newRow("254 characters") << Rec(0, 0, Hex121) + "0" << QString();
        QTest::newRow("non-hex pair") << QByteArray(":0G") << QString();
    }

    void checkSum() {
        QFETCH(QByteArray, line);
        QFETCH(QString, sum);
        QCOMPARE(CheckSum(line), sum);
    }

    void hex2Int_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("value"); // -1: refused
        QTest::newRow("lower case") << QByteArray("1a") << 26;
        QTest::newRow("upper case") << QByteArray("1A") << 26;
        QTest::newRow("largest") << QByteArray("0FF") << 255;
        QTest::newRow("one digit") << QByteArray("7") << 7;
        QTest::newRow("empty") << QByteArray() << 0;
        QTest::newRow("non-hex") << QByteArray("1g") << -1;
        QTest::newRow("above a byte") << QByteArray("100") << -1;
    }

    void hex2Int() {
        QFETCH(QByteArray, text);
        QFETCH(int, value);
        const std::optional<std::uint8_t> checked = Hex2IntChecked(text);
        QCOMPARE(checked ? int(*checked) : -1, value);
        QCOMPARE(int(Hex2Int(text)), std::max(value, 0));
    }

    void convert_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("noBoot");
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QStringList>("messages");
        const QStringList none;

        const QByteArray one = File({":0401000001020304F1", ":00000001FF"});
        QTest::newRow("one record") << one << false << Img("FF*256 01020304") << none;
        QTest::newRow("CR LF") << File({":0401000001020304F1", ":00000001FF"}, "\r\n") << true
                               << Img("FF*256 01020304") << none;
        QTest::newRow("gap, overwrite, empty lines")
            << File({Rec(0, 4, "BB"), "", Rec(0, 0, "0102"), Rec(0, 1, "AA")}) << false
            << Img("01AA FF*2 BB") << none;
        QTest::newRow("short line")
            << File({":0400000001FB", ":0300000001F"}) << false << Img("010F00 00")
            << QStringList{"Checksum error op data "
                           "record op adres &H0000"};
        QTest::newRow("253 characters + CR LF")
            << File({Rec(0, 0, Hex121)}, "\r\n") << false << QByteArray::fromHex(Hex121) << none;
        QTest::newRow("boot area kept") << File({Rec(0, 0x8000, "11"), Rec(0, 0, "22")}) << false
                                        << Img("22 FF*32767 11") << none;
        QTest::newRow("boot area left out")
            << File({Rec(0, 0, "22"), Rec(0, 0x9000, "11"), Rec(0, 0x8000, "33", 1)}) << true
            << Img("22") << QStringList{"Checksum error op data record op adres &H8000"};
        QTest::newRow("NoBoot tests offset only")
            << File({Rec(2, 0, "1000"), Rec(0, 0, "33"), Rec(0, 0x9000, "44")}) << true
            << Img("FF*0x10000 33") << none;
        QTest::newRow("unsigned segment, 04 ignored")
            << File({Rec(2, 0, "8000"), Rec(4, 0, "0001"), Rec(3, 0, "0000", 1), Rec(0, 2, "66")})
            << false << Img("FF*0x80002 66") << none;
        QTest::newRow("messages in file order")
            << File({Rec(2, 0, "0001"), Rec(0, 0x10, "77", 5), Rec(6, 0, ""), Rec(2, 0, "1000", 1),
                     ":000000", Rec(0, 0, "88")})
            << false << Img("FF*16 88 FF*15 77")
            << QStringList{"Checksum error op data record op adres &H0010",
                           "HEX Data type 06 not supported. This will be ignored!",
                           "Checksum error op extended segment address &H1000",
                           "HEX Data type  not supported. This will be ignored!"};
        QTest::newRow("nothing after 01")
            << File({Rec(1, 0, ""), Rec(0, 0, "99")}) << false << QByteArray() << none;
        QTest::newRow("long and odd lines that are not checked")
            << File({Rec(4, 0, Hex121 + "00"), "X" + Rec(0, 0, "12").mid(1), ":00000005ZZ"})
            << false << Img("12") << none;
    }

    void convert() {
        QFETCH(QByteArray, file);
        QFETCH(bool, noBoot);
        QFETCH(QByteArray, image);
        QFETCH(QStringList, messages);
        QStringList shown;
        const HexImage result = Load(file, noBoot, &shown);
        QVERIFY2(result.ok, qPrintable(result.error));
        QCOMPARE(shown, messages);
        QCOMPARE(result.image.size(), image.size());
        QCOMPARE(result.image, image);
        QCOMPARE(result.checksumErrors, shown.join('|').contains("Checksum error"));
    }

    // A file cut short converts without a fault; only these two facts tell it from a whole one,
    // and the upgrade refuses every file but the whole one.
    void completeness_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("endRecord");
        QTest::addColumn<bool>("shortRecords");
        QTest::addColumn<bool>("refused");
        const QByteArray data = Rec(0, 0, "0102");
        QTest::newRow("whole") << File({data, Rec(1, 0, "")}) << true << false << false;
        QTest::newRow("end record without its checksum")
            << File({data, ":00000001"}) << true << false << false;
        QTest::newRow("cut at a line boundary") << File({data}) << false << false << true;
        // 10 + 00 + 10 + 00 + E0 is 0x100: the cut line's checksum comes out right.
        QTest::newRow("cut mid-line") << File({data, ":10001000E000"}) << false << true << true;
        QTest::newRow("short line before the end")
            << File({":10001000E000", data, Rec(1, 0, "")}) << true << true << true;
        QTest::newRow("short last line, right checksum, then the end record")
            << File({data, ":10001000E000", Rec(1, 0, "")}) << true << true << true;
        QTest::newRow("short segment record")
            << File({":02000002FC", Rec(1, 0, "")}) << true << true << true;
    }
    void completeness() {
        QFETCH(QByteArray, file);
        QFETCH(bool, refused);
        QStringList shown;
        const HexImage result = Load(file, false, &shown);
        QVERIFY(result.ok);
        QTEST(result.endRecord, "endRecord");
        QTEST(result.shortRecords, "shortRecords");
        QCOMPARE(shown, QStringList());
        QCOMPARE(IncompleteImageRefusal(result),
                 refused ? UpgradeText::IncompleteImage : QString());
    }

    // Each bad line of a file with hundreds of them would ask for an OK of its own.
    void messagesPerFileAreBounded() {
        QByteArrayList lines;
        for (int i = 0; i < 500; ++i)
            lines << Rec(0, i * 2, "5A5A", 1);
        lines << Rec(6, 0, "") << Rec(0, 0x2000, "01") << Rec(7, 0, "") << Rec(1, 0, "");
        QStringList shown;
        const HexImage result = Load(File(lines), false, &shown);
        QVERIFY(result.ok);
        QVERIFY(result.checksumErrors);
        QCOMPARE(result.image.size(), 0x2001); // every line was still read
        QCOMPARE(shown.size(), MaxLineMessages + 2);
        QCOMPARE(shown.at(9), QStringLiteral("Checksum error op data record op adres &H0012"));
        QCOMPARE(shown.mid(MaxLineMessages),
                 (QStringList{QStringLiteral("\u2026 and 490 more lines with checksum errors"),
                              QStringLiteral("\u2026 and 2 more lines with unsupported record "
                                             "types")}));
    }

    void failures_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("error");
        QTest::newRow("254 characters")
            << File({Rec(0, 0, "01"), Rec(0, 0, Hex121) + "0"}) << "line 2 is longer than 253";
        QTest::newRow("non-hex data pair")
            << File({":01000000G1EE"}) << "line 1 holds a character that is not";
        QTest::newRow("non-hex segment")
            << File({Rec(0, 0, "01"), ":020000021X00EC"}) << "line 2 holds a character that is not";
    }

    void failures() {
        QFETCH(QByteArray, file);
        QFETCH(QString, error);
        const int openFiles = OpenFileCount();
        const HexImage result = Load(file, false);
        QVERIFY(!result.ok);
        QVERIFY2(result.error.contains(error), qPrintable(result.error));
        QVERIFY(result.image.isEmpty());
        QCOMPARE(OpenFileCount(), openFiles);
    }

    void unreadableFile() {
        for (const QString& path : {dir_.filePath("missing.hex"), dir_.path()}) {
            const HexImage result = Hex2BinString(path, true, {});
            QVERIFY(!result.ok);
            QVERIFY2(result.error.contains(QDir::toNativeSeparators(path)),
                     qPrintable(result.error));
        }
    }

    // Records in several segments, with gaps, in shuffled order, against srec_cat's view of the
    // same file filled with 0xFF from address 0.
    void sameAsSrecCat() {
        const QString srecCat = QStringLiteral(SREC_CAT);
        QVERIFY2(QFileInfo(srecCat).isExecutable(), "srec_cat is needed for this test");
        QRandomGenerator random(31);
        QByteArrayList lines{Rec(3, 0, "00001234")};
        for (const int segment : {0x0000, 0x0800, 0x1000, 0x2345}) {
            QByteArrayList records;
            for (int offset = random.bounded(40); offset < 0x3000;) {
                QByteArray data(1 + random.bounded(32), '\0');
                for (char& b : data)
                    b = static_cast<char>(random.bounded(256));
                records.append(Rec(0, offset, data.toHex()));
                offset += data.size() + random.bounded(40);
            }
            std::shuffle(records.begin(), records.end(), random);
            lines.append(Rec(2, 0, QByteArray::number(segment, 16).rightJustified(4, '0')));
            lines += records;
        }
        lines += Rec(1, 0, "");
        const QString in = Write(File(lines, "\r\n"));
        const QString out = dir_.filePath("srec.bin");
        QCOMPARE(QProcess::execute(srecCat,
                                   {"-disable-sequence-warnings", in, "-intel", "-fill", "0xFF",
                                    "0", "-maximum-address", in, "-intel", "-o", out, "-binary"}),
                 0);
        QFile bin(out);
        QVERIFY(bin.open(QIODevice::ReadOnly));
        const QByteArray expected = bin.readAll();
        const HexImage result = Hex2BinString(in, false, {});
        QVERIFY(result.ok);
        QVERIFY(expected.size() > 0x23450);
        QCOMPARE(result.image.size(), expected.size());
        const auto diff = std::mismatch(expected.begin(), expected.end(), result.image.begin());
        QCOMPARE(diff.first - expected.begin(), expected.size());
    }
};

QTEST_GUILESS_MAIN(TestFirmwareHex)
#include "test_hex_image.moc"
