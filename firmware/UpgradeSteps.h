#pragma once
// What the firmware upgrade computes without widgets, port or network: reading the upgrade list,
// the version texts, the block and finishing payloads for the boot loader, the checks an image
// must pass before anything is sent, and the progress bar's values. The upgrade handler of the
// main window strings these together with the transfers and the transactions.

#include "firmware/HexImage.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>

using FirmwareVersion = std::array<std::uint8_t, 4>;

// The phases of one upgrade, in order. Idle between upgrades; a second upgrade is refused while
// one is in any other phase.
enum class UpgradePhase {
    Idle,
    Checking,    // fetching the upgrade list
    Confirming,  // the user is asked
    Downloading, // fetching the HEX image
    Converting,  // HEX to image, checks before the first block
    SendingBlocks,
    Finishing,    // the finishing command
    Rebooting,    // the device restarts with its new firmware
    Reconnecting, // port closed, reopened, device identified
};

// The upgrade list counts only when it holds at least this many bytes; the latest version is in
// bytes 40 to 43.
constexpr int UpgradeListMinBytes = 92;
constexpr int UpgradeListVersionOffset = 40;

// The most a download may bring; a server that sends more is cut off there. The list is 92 bytes
// in practice; a full 255-block image as Intel HEX is about 90 KB.
constexpr qint64 UpgradeListMaxBytes = 64 * 1024;
constexpr qint64 HexFileMaxBytes = 4 * 1024 * 1024;

// The boot loader takes the image in blocks of 128 bytes; block numbers and the block count each
// travel in one byte, and the count must fit, so at most 255 blocks.
constexpr int UploadBlockBytes = 128;
constexpr int MaxUploadBlocks = 255;
constexpr int MaxUploadImageBytes = MaxUploadBlocks * UploadBlockBytes; // 32,640
constexpr int BlockPayloadBytes = 4 + UploadBlockBytes + 2;             // 134
constexpr int FinishPayloadBytes = 12;
// Each upload command is tried this often before the upgrade gives up.
constexpr int UploadAttempts = 3;

// The seconds the device takes to restart after the finishing command.
constexpr double RebootSeconds = 7.0;
// The pause between closing the port and opening it again.
constexpr double ReopenPauseSeconds = 0.2;
// Longest wait for one download to complete; the transfer is abandoned after it.
constexpr double TransferLimitSeconds = 60.0;
// The download bar's pace: it climbs from 10 to 90 over this time, then creeps on below 99 for
// as long as a slow download lasts.
constexpr double DownloadBarSeconds = 2.5;

// Texts the upgrade shows.
namespace UpgradeText {
inline const QString Caption = QStringLiteral("KDR31 Upgrade firmware");
inline const QString Checking = QStringLiteral("Checking Online version...");
inline const QString Downloading = QStringLiteral("Downloading firmware...");
inline const QString Rebooting = QStringLiteral("KDR31 is rebooting...");
inline const QString NotDownloaded =
    QStringLiteral("KDR31 firmware could not be downloaded. Please retry");
inline const QString AlreadyLatest =
    QStringLiteral("KDR31 allready runs on latest firmware version");
inline const QString UploadFailed = QStringLiteral("Upload failed. Please retry");
inline const QString UpgradingFailed = QStringLiteral("Upgrading failed. Please retry");
inline const QString NoDevice =
    QStringLiteral("No KDR31 is connected. Open the port of the KDR31 before upgrading it");
inline const QString NoDownloadFolder =
    QStringLiteral("KDR31 firmware could not be downloaded: there is no folder this program may "
                   "write it to");
inline const QString ChecksumErrors =
    QStringLiteral("The downloaded KDR31 firmware is damaged (checksum errors). Nothing was sent "
                   "to the KDR31. Please retry");
inline const QString EmptyImage =
    QStringLiteral("The downloaded KDR31 firmware holds no data. Nothing was sent to the KDR31");
inline const QString IncompleteImage =
    QStringLiteral("The downloaded KDR31 firmware is incomplete (the file ends too soon). Nothing "
                   "was sent to the KDR31. Please retry");
} // namespace UpgradeText

// The latest version named in the upgrade list, or nothing when the list is shorter than
// UpgradeListMinBytes.
std::optional<FirmwareVersion> ListedVersion(const QByteArray& list);

// The same read from the downloaded list file: only its size and bytes 40 to 43 are read, so a
// list of any size costs no memory. Nothing when the file cannot be read.
std::optional<FirmwareVersion> ReadListedVersion(const QString& path);

// "1.2.0.15": the four parts in decimal, without leading zeros.
QString VersionText(const FirmwareVersion& version);

// "Are you sure to download latest firmware V1.2.0.15 and upload to KDR31".
QString ConfirmUpgradeText(const FirmwareVersion& version);

// The loader's reason for refusing the file, then "Nothing was sent to the KDR31".
QString UnreadableImageText(const QString& reason);

// "The downloaded KDR31 firmware is too large: ... bytes ...".
QString ImageTooLargeText(int bytes);

// The image filled with zero bytes up to the next multiple of the block size.
QByteArray PadImage(const QByteArray& image);

// Whether the HEX file was whole: empty when it reached its end-of-file record and no record in
// it was cut short, otherwise the message that refuses the image.
QString IncompleteImageRefusal(const HexImage& hex);

// Whether an image can be uploaded: empty when it can, otherwise the message that refuses it (an
// empty image, or one of more than MaxUploadBlocks blocks).
QString ImageRefusal(const QByteArray& image);

// Payload of the block command for block k of a padded image: 0, k, 0, 128, the block's bytes,
// then the block CRC over those 132 bytes. Empty when the image has no block k or k > 255.
QByteArray BlockPayload(const QByteArray& paddedImage, int k);

// Payload of the finishing command: 0, N, 0, 6, the new version, the CRC of the whole image in
// 128-byte blocks, then the CRC over those 10 bytes. Empty when the image cannot be uploaded
// (see ImageRefusal).
QByteArray FinishPayload(const QByteArray& paddedImage, const FirmwareVersion& version);

// "Sending block 1/200" before block 0 of 200.
QString SendingBlockText(int k, int blockCount);

// Bar values, 0 to 100. Before block k of N (and after the upload, with k past N): k/N of the
// way, at most 100.
double BlockBar(int k, int blockCount);
// During the image download, elapsed seconds after it started: 10 to 90 over the first 2.5 s,
// then slowly on towards (never reaching) 99.
double DownloadBar(double elapsedSeconds);
// During the reboot wait, with the seconds remaining of it: 0 at its start to 100 at its end.
double RebootBar(double remainingSeconds);
