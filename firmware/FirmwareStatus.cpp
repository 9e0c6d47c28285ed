#include "firmware/FirmwareStatus.h"

#include "readings/ReadingsFormat.h"

#include <algorithm>

std::optional<int> UpgradeProgress::Percent() const {
    if (blocks <= 0)
        return std::nullopt;
    return std::clamp(blocksSent * 100 / blocks, 0, 100);
}

QString UpgradePhaseName(UpgradePhase phase) {
    switch (phase) {
    case UpgradePhase::Idle:
        return QStringLiteral("idle");
    case UpgradePhase::Checking:
        return QStringLiteral("checking");
    case UpgradePhase::Confirming:
        return QStringLiteral("confirming");
    case UpgradePhase::Downloading:
        return QStringLiteral("downloading");
    case UpgradePhase::Converting:
        return QStringLiteral("converting");
    case UpgradePhase::SendingBlocks:
        return QStringLiteral("sending_blocks");
    case UpgradePhase::Finishing:
        return QStringLiteral("finishing");
    case UpgradePhase::Rebooting:
        return QStringLiteral("rebooting");
    case UpgradePhase::Reconnecting:
        return QStringLiteral("reconnecting");
    }
    return QStringLiteral("idle");
}

QString UpgradeSourceName(UpgradeSource source) {
    return source == UpgradeSource::Mqtt ? QStringLiteral("mqtt") : QStringLiteral("http");
}

namespace {

QJsonValue VersionOrNull(const std::optional<FirmwareVersion>& version) {
    return version ? QJsonValue(VersionText(*version)) : QJsonValue(QJsonValue::Null);
}

QJsonValue TimeOrNull(qint64 msSinceEpoch) {
    return msSinceEpoch > 0 ? QJsonValue(IsoLocalTime(msSinceEpoch)) : QJsonValue(QJsonValue::Null);
}

QJsonValue TextOrNull(const QString& text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonObject UpgradeJson(const UpgradeProgress& upgrade) {
    const std::optional<int> percent = upgrade.Percent();
    return QJsonObject{
        {QStringLiteral("running"), upgrade.running},
        {QStringLiteral("source"), UpgradeSourceName(upgrade.source)},
        // Asked for, and waiting for the reading in progress: none of the upgrade's own phases yet.
        {QStringLiteral("phase"), upgrade.running && upgrade.phase == UpgradePhase::Idle
                                      ? QStringLiteral("starting")
                                      : UpgradePhaseName(upgrade.phase)},
        {QStringLiteral("label"), TextOrNull(upgrade.label)},
        {QStringLiteral("blocks"), upgrade.blocks},
        {QStringLiteral("blocks_sent"), upgrade.blocksSent},
        {QStringLiteral("percent"), percent ? QJsonValue(*percent) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("target"), VersionOrNull(upgrade.target)},
        {QStringLiteral("started"), TimeOrNull(upgrade.startedAt)},
        {QStringLiteral("ended"), TimeOrNull(upgrade.endedAt)},
        {QStringLiteral("outcome"), TextOrNull(upgrade.outcome)},
        {QStringLiteral("message"), TextOrNull(upgrade.message)},
    };
}

} // namespace

QJsonObject FirmwareStatusJson(const FirmwareStatus& status) {
    const FirmwareCheck& check = status.check;
    return QJsonObject{
        {QStringLiteral("installed"), VersionOrNull(check.installed)},
        {QStringLiteral("listed"), VersionOrNull(check.listed)},
        {QStringLiteral("update_available"), check.Differ()},
        {QStringLiteral("checked_at"), TimeOrNull(check.checkedAt)},
        {QStringLiteral("check_error"), TextOrNull(check.error)},
        {QStringLiteral("upgrade"),
         status.upgrade ? QJsonValue(UpgradeJson(*status.upgrade)) : QJsonValue(QJsonValue::Null)},
    };
}
