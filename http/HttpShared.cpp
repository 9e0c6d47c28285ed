#include "http/HttpShared.h"

#include "history/HistoryExport.h"
#include "readings/ReadingsFormat.h"

#include <QSysInfo>
#include <QTimeZone>
#include <chrono>

HttpShared::HttpShared(HttpOptions o)
    : options(std::move(o)), machineName(QSysInfo::machineHostName().toLower()) {}

qint64 HttpShared::SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QJsonObject HttpShared::QuarterJson(qint64 now) const {
    const auto value = [](const std::optional<double>& v) {
        return v ? QJsonValue(DeviceNumber(*v)) : QJsonValue(QJsonValue::Null);
    };
    const std::shared_ptr<const CapacityNow> c = Capacity();
    if (!c) {
        const qint64 start = QuarterStart(now, QTimeZone::systemTimeZone());
        return QJsonObject{
            {QStringLiteral("start"), IsoLocalTime(start)},
            {QStringLiteral("end"), IsoLocalTime(start + 15 * 60'000)},
            {QStringLiteral("average_power_w"), QJsonValue::Null},
            {QStringLiteral("forecast_power_w"), QJsonValue::Null},
            {QStringLiteral("month_peak"), QJsonValue::Null},
        };
    }
    return QJsonObject{
        {QStringLiteral("start"), IsoLocalTime(c->quarterStart)},
        {QStringLiteral("end"), IsoLocalTime(c->quarterEnd)},
        {QStringLiteral("average_power_w"), value(c->quarterAverageW)},
        {QStringLiteral("forecast_power_w"), value(c->quarterForecastW)},
        {QStringLiteral("month_peak"),
         c->monthPeak ? QJsonValue(QuarterHourJson(*c->monthPeak)) : QJsonValue(QJsonValue::Null)},
    };
}

HttpSlot HttpShared::TakeHistorySlot() {
    if (historyReaders_.fetch_add(1) >= options.maxHistoryReaders) {
        historyReaders_.fetch_sub(1);
        return nullptr;
    }
    return HttpSlot(this, [](HttpShared* shared) { shared->historyReaders_.fetch_sub(1); });
}

HttpSlot HttpShared::TakeEventSlot(const QByteArray& address, QString& refusal) {
    std::lock_guard<std::mutex> lock(slotsMutex_);
    if (eventStreams_ >= options.maxEventClients) {
        refusal = QStringLiteral("too many event streams at once");
        return nullptr;
    }
    int& fromAddress = eventStreamsFrom_[address];
    if (fromAddress >= options.maxEventStreamsPerAddress) {
        refusal = QStringLiteral("this address holds %1 event streams already; close one")
                      .arg(fromAddress);
        return nullptr;
    }
    ++eventStreams_;
    ++fromAddress;
    return HttpSlot(this, [address](HttpShared* shared) {
        std::lock_guard<std::mutex> lock(shared->slotsMutex_);
        --shared->eventStreams_;
        if (--shared->eventStreamsFrom_[address] <= 0)
            shared->eventStreamsFrom_.erase(address);
    });
}

void HttpShared::HistoryUnreadable(const QString& reason) {
    std::lock_guard<std::mutex> lock(logMutex_);
    if (reason == lastLogged_)
        return;
    lastLogged_ = reason;
    qWarning("HTTP: the history cannot be read: %s", qPrintable(reason));
}
