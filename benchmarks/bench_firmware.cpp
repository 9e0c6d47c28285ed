// Conversion of a 32 KB firmware file and the CRC of a full-size image. The upgrade runs both on
// the user-interface thread, so each must stay far below what a user would notice.

#include "firmware/Crc16.h"
#include "firmware/HexImage.h"

#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdio>

namespace {

// A 32 KB image as the firmware server delivers it: 16-byte data records, CR LF line ends.
QByteArray HexFile32K() {
    QByteArray text;
    for (int offset = 0; offset < 0x8000; offset += 16) {
        QByteArray record(4 + 16, '\0');
        record[0] = 16;
        record[1] = static_cast<char>(offset >> 8);
        record[2] = static_cast<char>(offset & 0xFF);
        for (int i = 0; i < 16; ++i)
            record[4 + i] = static_cast<char>((offset + i) * 7);
        int sum = 0;
        for (const char b : record)
            sum -= static_cast<unsigned char>(b);
        record.append(static_cast<char>(sum & 0xFF));
        text += ':' + record.toHex().toUpper() + "\r\n";
    }
    return text + ":00000001FF\r\n";
}

void BM_Hex2BinString_32K(benchmark::State& state) {
    QTemporaryDir dir;
    const QString path = dir.filePath("image.hex");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(HexFile32K()) < 0) {
        state.SkipWithError("cannot write the HEX file");
        return;
    }
    file.close();
    for (auto _ : state) {
        const HexImage result = Hex2BinString(path, false, {});
        if (!result.ok || result.image.size() != 0x8000) {
            state.SkipWithError("conversion failed");
            break;
        }
        benchmark::DoNotOptimize(result.image.constData());
    }
    state.SetBytesProcessed(state.iterations() * 0x8000);
}
BENCHMARK(BM_Hex2BinString_32K)->Unit(benchmark::kMillisecond);

// 255 blocks of 128 bytes: the largest image the upload sends.
void BM_CRC16_255x128(benchmark::State& state) {
    QByteArray image(255 * 128, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 31);
    for (auto _ : state) {
        const auto crc = CRC16(image, 128);
        if (!crc) {
            state.SkipWithError("CRC refused");
            break;
        }
        benchmark::DoNotOptimize(crc->constData());
    }
    state.SetBytesProcessed(state.iterations() * image.size());
}
BENCHMARK(BM_CRC16_255x128)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
