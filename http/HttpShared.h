#pragma once
// What the connections of the HTTP side share: the options, the page's files, what the poll
// handed over (under one mutex), and the slots that bound the history reads and the event
// streams. The server (HttpServer.cpp) owns it; the route handlers read it.

#include "device/Kdr31Device.h"
#include "http/HttpServer.h"
#include "readings/StateMessage.h"

#include <QJsonObject>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

struct StaticFile {
    QByteArray body;
    const char* type;
};

// One of a bounded number of slots, given back when the last copy goes: a streamed answer holds
// its slot for as long as it streams.
using HttpSlot = std::shared_ptr<void>;

struct HttpShared {
    explicit HttpShared(HttpOptions o);

    HttpOptions options;
    QString machineName; // this machine's host name in lower case, for the Host check
    std::map<QByteArray, StaticFile> files;
    HttpServer::SettingsHandler settingsHandler;

    // What the poll hands over; everything below under mutex.
    std::mutex mutex;
    std::condition_variable newReading;
    bool stopping = false;
    std::atomic<bool> stoppingNow{false}; // the same, for waits under another lock
    quint64 sequence = 0;
    // The newest reading, with the capacity tariff's figures it was handed with: every answer
    // about the quarter-hour and the capacity tariff comes from them, as the MQTT state message
    // of the same reading carries them.
    std::optional<Reading> latest;
    qint64 latestSteady = 0; // ms of a monotonic clock when latest came
    quint64 okReadings = 0;
    quint64 failedReadings = 0;
    quint64 implausibleReadings = 0;
    bool haveDevice = false;
    bool connected = false;
    DeviceIdentity identity;
    QString portText;
    std::optional<qint64> mqttQueue;
    qint64 historyProblems = 0;
    bool settingsBusy = false;

    // The firmware (FirmwareRoutes.cpp); under mutex. upgradeEvents keeps the newest upgrade
    // events with their numbers, so that a stream that was busy sending misses none of them.
    HttpServer::UpgradeHandler upgradeHandler;
    std::optional<FirmwareStatus> firmware;
    bool upgradeRequestBusy = false;
    quint64 upgradeEventNumber = 0;
    std::deque<std::pair<quint64, QByteArray>> upgradeEvents;
    static constexpr size_t UpgradeEventsKept = 64;

    // The peak warning's starts and ends, each the capacity figures of the reading that brought
    // it (CapacityJson), numbered from 1 in capacitySequence; the newest CapacityEventsKept, so a
    // stream that was slow to send loses none of a few quick ones.
    static constexpr size_t CapacityEventsKept = 16;
    quint64 capacitySequence = 0;
    std::deque<std::pair<quint64, QByteArray>> capacityEvents;

    // The newest figures of the capacity tariff; null before the first reading.
    std::shared_ptr<const CapacityNow> Capacity() const {
        return latest ? latest->capacity : nullptr;
    }
    // The quarter-hour of the newest figures: {"start", "end", "average_power_w",
    // "forecast_power_w", "month_peak"}; before any, the quarter that holds `now` with no values.
    // Under mutex.
    QJsonObject QuarterJson(qint64 now) const;

    // A history read; nothing when options.maxHistoryReaders are reading.
    HttpSlot TakeHistorySlot();
    // An event stream for a client address; nothing, with the reason, when all streams or the
    // address's share of them are taken.
    HttpSlot TakeEventSlot(const QByteArray& address, QString& refusal);

    // The history could not be read. The reason names the database's path, which is nobody's
    // business on the network: it goes to standard error (once, until another reason comes) and
    // the client is told only that the history cannot be read.
    void HistoryUnreadable(const QString& reason);

    static qint64 SteadyMs();

    // The firmware as GET /api/v1/firmware gives it: FirmwareStatusJson, with the installed
    // version the device reported where no check has said it yet, and whether an upgrade may be
    // asked for over HTTP. Under mutex.
    QJsonObject FirmwareJson() const;

private:
    std::atomic<int> historyReaders_{0};
    std::mutex slotsMutex_;
    int eventStreams_ = 0;
    std::map<QByteArray, int> eventStreamsFrom_;
    std::mutex logMutex_;
    QString lastLogged_;
};
