#pragma once
// The readings service: the one owner of "poll the KDR31 and hand each reading on", under every
// front end that polls unattended (kdr31-cli poll, and through it MQTT and HTTP).
//
// - The poll: one readings command per interval, the interval the device reports held to
//   MinIntervalS-MaxIntervalS as the window holds it, start to start.
// - A device that is absent or silent at the start (with waitForDevice) or pulled out later is
//   looked for again with a backoff (DeviceLoop), and the poll goes on when it is back.
// - Each reading goes through the fan-out (plausibility, counts) to the sinks.
// - Settings from any source are queued and applied by the service itself between two readings:
//   at most one settings exchange per interval, so a reading is never delayed by more than one;
//   a newer request from the same source replaces the one still waiting (settings are
//   absolute, so only the newest matters); none is dropped unanswered. A request whose values
//   the device reports already is answered Unchanged and never sent: writing the same values
//   costs the device a write of its settings and the poll a reading's time, for nothing.
// - Work that needs the device to itself for a while (a firmware upgrade) runs in the gap after
//   the reading in progress, in place of the poll, which goes on once it has returned.

#include "device/Kdr31Device.h"
#include "poller/DeviceLoop.h"
#include "poller/ReadingsFanOut.h"
#include "readings/SettingsRequest.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <functional>
#include <optional>

struct ReadingsServiceOptions {
    qint64 count = 0;           // readings to take, then end; 0 until stopped
    bool waitForDevice = false; // an absent device at the start is waited for, not a failure
    // The shortest interval the poll keeps. Only tests, which must not wait five seconds for each
    // reading, lower it (the device's own interval is still held to MaxIntervalS).
    int minIntervalMs = 5000;
};

// Where a settings request came from: one waiting request per source.
enum class SettingsSource { Mqtt, Http };

class ReadingsService : public QObject {
    Q_OBJECT
public:
    static constexpr int MinIntervalS = 5;
    static constexpr int MaxIntervalS = 60;

    using SettingsDone = std::function<void(const SettingsAnswer& answer)>;

    // The device is connected or not; portNumber finds it again (with the device's path override).
    ReadingsService(Kdr31Device& device, int portNumber, ReadingsServiceOptions options = {});

    ReadingsFanOut& FanOut() { return fanOut_; }
    DeviceLoop& Loop() { return loop_; }
    void AddSink(ReadingSink* sink) { fanOut_.Add(sink); }

    // Polls until the count is reached, Stop, or a sink's failure; returns the exit code
    // (0, or 1 for a failure). Without waitForDevice, a device that is not connected at the
    // start ends it at once with 1.
    int Run();
    // Ends the poll after the reading or settings exchange in progress. The first code wins.
    void Stop(int exitCode);

    // Queues a request that passed validation; done is called on this thread, once: at once when
    // the device has the values already (Unchanged), otherwise after the exchange or when a newer
    // request from the same source replaces it.
    void RequestSettings(const SettingsRequest& request, SettingsSource source, SettingsDone done);
    int SettingsWaiting() const;

    // Work that needs the device to itself for a while (a firmware upgrade), run on this thread
    // straight after the reading or settings exchange in progress: no reading is taken while it
    // runs. It returns true when the device must be looked for again afterwards, as after a
    // pulled cable (a port that closed on the way counts so too); otherwise a reading follows at
    // once. One job waits at most: a second replaces nothing and returns false. A device that is
    // lost keeps its job waiting until it is back, or until DropJob.
    using DeviceJob = std::function<bool()>;
    bool RunBetweenReadings(DeviceJob job);
    bool JobWaiting() const { return bool(job_); }
    void DropJob() { job_ = nullptr; }

    bool DeviceConnected() const { return device_.Connected() && !loop_.DeviceLost(); }
    const DeviceIdentity& Identity() const { return device_.Identity(); }
    // The poll's interval now, in milliseconds.
    int IntervalMs() const;
    qint64 Taken() const { return taken_; }
    // Milliseconds until the next attempt to find a lost device.
    int NextAttemptMs() const { return loop_.NextAttemptMs(); }

signals:
    // The device identified itself (at the start, after coming back, after new settings).
    void Identified(const DeviceIdentity& identity);
    void Lost();
    void Back();
    // An attempt to find a lost or absent device failed.
    void AttemptFailed();
    // Every reading, after the sinks have had it.
    void ReadingTaken(const Reading& reading);

private:
    struct Waiting {
        SettingsRequest request;
        SettingsDone done;
        qint64 order = 0; // first come, first served across sources
    };

    DeviceLoop::Step Step();
    // The waiting job, if any; false when the device must be looked for again.
    bool RunWaitingJob();
    void ApplyWaitingSettings();
    // The device is connected and reports every value the request gives.
    bool DeviceHas(const SettingsRequest& request) const;

    Kdr31Device& device_;
    const int portNumber_;
    const ReadingsServiceOptions options_;
    DeviceLoop loop_;
    ReadingsFanOut fanOut_;
    std::optional<Waiting> waiting_[2]; // by SettingsSource
    qint64 nextOrder_ = 0;
    QElapsedTimer lastSettings_; // since the last settings exchange
    qint64 taken_ = 0;
    DeviceJob job_;
};
