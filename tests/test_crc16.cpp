#include "firmware/Crc16.h"

#include <QRandomGenerator>
#include <QtTest>
#include <boost/crc.hpp>

namespace {

using X25 = boost::crc_optimal<16, 0x1021, 0xFFFF, 0xFFFF, true, true>;

QByteArray RandomBytes(QRandomGenerator& random, int size) {
    QByteArray bytes(size, '\0');
    for (char& b : bytes)
        b = static_cast<char>(random.bounded(256));
    return bytes;
}

QByteArray LowByteFirst(unsigned crc) {
    const char bytes[] = {static_cast<char>(crc & 0xFF), static_cast<char>(crc >> 8)};
    return QByteArray(bytes, 2);
}

std::uint16_t Reflected(std::uint16_t v) {
    std::uint16_t r = 0;
    for (int bit = 0; bit < 16; ++bit)
        r = static_cast<std::uint16_t>(r << 1 | ((v >> bit) & 1));
    return r;
}

} // namespace

class TestFirmwareCrc : public QObject {
    Q_OBJECT

private slots:
    void knownAnswers_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("blokLen");
        QTest::addColumn<QByteArray>("crc");
        QTest::newRow("check value") << QByteArray("123456789") << 9 << QByteArray("\x6E\x90");
        QTest::newRow("two blocks") << QByteArray("12345678") << 4 << QByteArray("\xE7\x4F");
    }

    void knownAnswers() {
        QFETCH(QByteArray, data);
        QFETCH(int, blokLen);
        QFETCH(QByteArray, crc);
        QCOMPARE(CRC16(data, blokLen), std::optional<QByteArray>(crc));
    }

    void crc16Byte() {
        QCOMPARE(CRC16Byte(0xFFFF, 0x00), 0x0F87);
        QCOMPARE(CRC16Byte(0x0000, 0x00), 0x0000);
        QCOMPARE(CRC16Byte(0x0000, 0x01), 0x1189);
    }

    void refused_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("blokLen");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("empty") << 0 << 1 << false;
        QTest::newRow("block length 0") << 4 << 0 << false;
        QTest::newRow("negative block length") << 4 << -4 << false;
        QTest::newRow("not a multiple") << 10 << 4 << false;
        QTest::newRow("32767 bytes") << 32767 << 1 << false;
        QTest::newRow("32768 bytes") << 32768 << 128 << false;
        QTest::newRow("32766 bytes") << 32766 << 2 << true;
        QTest::newRow("one byte") << 1 << 1 << true;
    }

    void refused() {
        QFETCH(int, size);
        QFETCH(int, blokLen);
        QFETCH(bool, accepted);
        const std::optional<QByteArray> crc = CRC16(QByteArray(size, '\x55'), blokLen);
        QCOMPARE(crc.has_value(), accepted);
        if (crc)
            QCOMPARE(crc->size(), 2);
    }

    // One block is CRC-16/X-25; several blocks chain, each after the first starting from the
    // swapped complement of the one before. Both against Boost.CRC.
    void matchesBoost() {
        QRandomGenerator random(5);
        for (int round = 0; round < 300; ++round) {
            const int blokLen = round % 3 == 0 ? 132 : 1 + random.bounded(300);
            const int blocks = 1 + random.bounded(4);
            const QByteArray data = RandomBytes(random, blokLen * blocks);

            unsigned expected = 0;
            if (blocks == 1) {
                X25 x25;
                x25.process_bytes(data.constData(), data.size());
                expected = x25.checksum();
            }
            std::uint16_t seed = 0xFFFF;
            for (int k = 0; blocks > 1 && k < blocks; ++k) {
                // Boost takes its initial value unreflected.
                boost::crc_basic<16> block(0x1021, Reflected(seed), 0xFFFF, true, true);
                block.process_bytes(data.constData() + k * blokLen, blokLen);
                expected = block.checksum();
                seed = static_cast<std::uint16_t>((expected & 0xFF) << 8 | expected >> 8);
            }
            QCOMPARE(CRC16(data, blokLen), std::optional<QByteArray>(LowByteFirst(expected)));

            std::uint16_t value = 0xFFFF;
            for (const char b : data.left(blokLen))
                value = CRC16Byte(value, static_cast<std::uint8_t>(b));
            X25 first;
            first.process_bytes(data.constData(), blokLen);
            QCOMPARE(static_cast<std::uint16_t>(~value), first.checksum());
        }
    }
};

QTEST_APPLESS_MAIN(TestFirmwareCrc)
#include "test_crc16.moc"
