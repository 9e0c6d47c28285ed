#pragma once
// What the poller knows of the KDR31's firmware, for the places a user looks (Home Assistant's
// update entity, GET /api/v1/firmware, the page, /metrics): the online check (the version the
// device runs against the version the firmware server lists) and the upgrade in progress or the
// last one, with its outcome. Plain values, no I/O: the readings service fills them in and the
// sinks copy them.

#include "firmware/UpgradeSteps.h"

#include <QJsonObject>
#include <QString>
#include <optional>

// The online check: the version list fetched from the firmware server, no image.
struct FirmwareCheck {
    std::optional<FirmwareVersion> installed; // what the device reported when it identified
    std::optional<FirmwareVersion> listed;    // of the last check that succeeded
    qint64 checkedAt = 0;                     // ms since the epoch when the last check ended
    QString error;                            // why the last check failed; empty when it did not

    // Any difference counts, also an older listed version: the upgrade offers whatever is listed.
    bool Differ() const { return installed && listed && *installed != *listed; }
};

// Where a request to upgrade came from.
enum class UpgradeSource { Http, Mqtt };

struct UpgradeProgress {
    bool running = false;
    UpgradeSource source = UpgradeSource::Http;
    UpgradePhase phase = UpgradePhase::Idle; // Idle before its first phase and once ended
    QString label;                           // the progress line: "Sending block 3/8"
    int blocks = 0;                          // of the image being sent; 0 before the upload
    int blocksSent = 0;                      // acknowledged so far
    std::optional<FirmwareVersion> target;   // the version being installed, once confirmed
    qint64 startedAt = 0;                    // ms since the epoch
    qint64 endedAt = 0;                      // 0 while it runs
    // Once ended: "done", "already_latest", "no_device", "download_failed", "image_refused",
    // "upload_failed", "cancelled", "aborted"; and what the upgrade said, its last message.
    QString outcome;
    QString message;

    // The share of the blocks acknowledged, 0-100; nothing before the upload starts.
    std::optional<int> Percent() const;
};

struct FirmwareStatus {
    FirmwareCheck check;
    std::optional<UpgradeProgress> upgrade; // the one running, or the last; none yet

    bool UpgradeRunning() const { return upgrade && upgrade->running; }
};

// How the poller answers a request to upgrade.
struct UpgradeAnswer {
    enum Kind {
        Started,   // the image passed every check and its blocks are being sent
        Busy,      // an upgrade runs already: nothing more is done
        Unchanged, // the device runs the listed version: nothing was sent
        Refused,   // it ended before the first block (no device, download, image): text says why
        Pending,   // not yet known (the caller stopped waiting): it goes on
    };
    Kind kind = Pending;
    QString text;
    QString outcome; // Refused, Unchanged: the upgrade's outcome (UpgradeProgress::outcome)
};

// "sending_blocks" for UpgradePhase::SendingBlocks, "idle" for Idle, and so on.
QString UpgradePhaseName(UpgradePhase phase);
QString UpgradeSourceName(UpgradeSource source);

// {"installed": "1.2.3.4", "listed": "1.2.4.0", "update_available": true, "checked_at": ISO
// 8601 or null, "check_error": text or null, "upgrade": {...} or null}. The upgrade: "running",
// "source", "phase" ("starting" until the first of its own), "label", "blocks", "blocks_sent",
// "percent" (null before the upload), "target", "started", "ended", "outcome", "message" (null
// where there is none yet).
QJsonObject FirmwareStatusJson(const FirmwareStatus& status);
