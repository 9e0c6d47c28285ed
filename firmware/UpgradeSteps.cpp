#include "firmware/UpgradeSteps.h"

#include "app/ModMain.h"
#include "firmware/Crc16.h"

#include <QFile>
#include <algorithm>

std::optional<FirmwareVersion> ListedVersion(const QByteArray& list) {
    if (list.size() < UpgradeListMinBytes)
        return std::nullopt;
    FirmwareVersion version{};
    for (size_t i = 0; i < version.size(); ++i)
        version[i] = static_cast<std::uint8_t>(list.at(UpgradeListVersionOffset + int(i)));
    return version;
}

std::optional<FirmwareVersion> ReadListedVersion(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() < UpgradeListMinBytes ||
        !file.seek(UpgradeListVersionOffset))
        return std::nullopt;
    const QByteArray bytes = file.read(qint64(FirmwareVersion().size()));
    if (bytes.size() != qsizetype(FirmwareVersion().size()))
        return std::nullopt;
    FirmwareVersion version{};
    for (size_t i = 0; i < version.size(); ++i)
        version[i] = static_cast<std::uint8_t>(bytes.at(qsizetype(i)));
    return version;
}

QString VersionText(const FirmwareVersion& version) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(version[0])
        .arg(version[1])
        .arg(version[2])
        .arg(version[3]);
}

QString ConfirmUpgradeText(const FirmwareVersion& version) {
    return QStringLiteral("Are you sure to download latest firmware V") + VersionText(version) +
           QStringLiteral(" and upload to KDR31");
}

QString UnreadableImageText(const QString& reason) {
    const QString sentence = reason.endsWith(QLatin1Char('.')) ? reason : reason + QLatin1Char('.');
    return sentence + QStringLiteral(" Nothing was sent to the KDR31");
}

QString ImageTooLargeText(int bytes) {
    return QStringLiteral("The downloaded KDR31 firmware is too large: %1 bytes, where at most "
                          "%2 fit. Nothing was sent to the KDR31")
        .arg(bytes)
        .arg(MaxUploadImageBytes);
}

QByteArray PadImage(const QByteArray& image) {
    const qsizetype rest = image.size() % UploadBlockBytes;
    if (rest == 0)
        return image;
    return image + QByteArray(UploadBlockBytes - rest, '\0');
}

QString IncompleteImageRefusal(const HexImage& hex) {
    if (!hex.endRecord || hex.shortRecords)
        return UpgradeText::IncompleteImage;
    return {};
}

QString ImageRefusal(const QByteArray& image) {
    if (image.isEmpty())
        return UpgradeText::EmptyImage;
    // Filling up to whole blocks never takes an image of at most 32,640 bytes past that size.
    if (image.size() > MaxUploadImageBytes)
        return ImageTooLargeText(int(std::min<qsizetype>(image.size(), 0x7FFFFFFF)));
    return {};
}

QByteArray BlockPayload(const QByteArray& paddedImage, int k) {
    const qsizetype start = qsizetype(k) * UploadBlockBytes;
    if (k < 0 || k > 255 || start + UploadBlockBytes > paddedImage.size())
        return {};
    QByteArray payload;
    payload.reserve(BlockPayloadBytes);
    payload.append('\0');
    payload.append(static_cast<char>(k));
    payload.append('\0');
    payload.append(static_cast<char>(UploadBlockBytes));
    payload.append(paddedImage.mid(start, UploadBlockBytes));
    // A 132-byte block is always within what the CRC takes.
    payload.append(*CRC16(payload, int(payload.size())));
    return payload;
}

QByteArray FinishPayload(const QByteArray& paddedImage, const FirmwareVersion& version) {
    if (!ImageRefusal(paddedImage).isEmpty() || paddedImage.size() % UploadBlockBytes != 0)
        return {};
    QByteArray payload;
    payload.reserve(FinishPayloadBytes);
    payload.append('\0');
    payload.append(static_cast<char>(paddedImage.size() / UploadBlockBytes));
    payload.append('\0');
    payload.append('\x06');
    for (const std::uint8_t part : version)
        payload.append(static_cast<char>(part));
    // The image is a whole number of blocks, at most 32,640 bytes: the CRC takes it.
    payload.append(*CRC16(paddedImage, UploadBlockBytes));
    payload.append(*CRC16(payload, int(payload.size())));
    return payload;
}

QString SendingBlockText(int k, int blockCount) {
    return QStringLiteral("Sending block %1/%2").arg(k + 1).arg(blockCount);
}

double BlockBar(int k, int blockCount) {
    if (blockCount <= 0)
        return 0;
    return ModMain::MinOf(100, double(k) / blockCount * 100);
}

double DownloadBar(double elapsedSeconds) {
    const double t = std::max(0.0, elapsedSeconds);
    if (t <= DownloadBarSeconds)
        return 10 + t / DownloadBarSeconds * 80;
    return 90 + 9 * (1 - DownloadBarSeconds / t);
}

double RebootBar(double remainingSeconds) {
    const double remaining = std::max(0.0, remainingSeconds);
    return 100 - ModMain::MinOf(100, remaining / RebootSeconds * 100);
}
