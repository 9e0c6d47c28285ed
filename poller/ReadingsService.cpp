#include "poller/ReadingsService.h"

#include "device_link/MSComm.h"
#include "poller/SettingsChange.h"

#include <algorithm>

ReadingsService::ReadingsService(Kdr31Device& device, int portNumber,
                                 ReadingsServiceOptions options)
    : device_(device), portNumber_(portNumber), options_(options), loop_(device, portNumber) {
    connect(&loop_, &DeviceLoop::Lost, this, &ReadingsService::Lost);
    connect(&loop_, &DeviceLoop::AttemptFailed, this, &ReadingsService::AttemptFailed);
    connect(&loop_, &DeviceLoop::Back, this, [this](bool) {
        emit Identified(device_.Identity());
        emit Back();
    });
}

int ReadingsService::IntervalMs() const {
    const int ms = std::clamp(device_.Identity().interval, MinIntervalS, MaxIntervalS) * 1000;
    // A test's shorter floor applies to what the device reports below MinIntervalS.
    return device_.Identity().interval < MinIntervalS
               ? std::max(options_.minIntervalMs, device_.Identity().interval * 1000)
               : ms;
}

int ReadingsService::Run() {
    if (device_.Connected())
        emit Identified(device_.Identity());
    else if (!options_.waitForDevice)
        return 1;
    return loop_.Run([this] { return IntervalMs(); }, [this] { return Step(); });
}

void ReadingsService::Stop(int exitCode) {
    loop_.Stop(exitCode);
}

void ReadingsService::RequestSettings(const SettingsRequest& request, SettingsSource source,
                                      SettingsDone done) {
    std::optional<Waiting>& slot = waiting_[int(source)];
    // The newest request of a source is the one that counts, also when it changes nothing: the
    // one it replaces would otherwise still change the device afterwards.
    if (slot && slot->done)
        slot->done({SettingsAnswer::Replaced,
                    {QStringLiteral("replaced by a newer request before it was applied")}});
    slot.reset();
    if (DeviceHas(request)) {
        if (done)
            done({SettingsAnswer::Unchanged, {}});
        return;
    }
    slot = Waiting{request, std::move(done), nextOrder_++};
}

int ReadingsService::SettingsWaiting() const {
    return int(waiting_[0].has_value()) + int(waiting_[1].has_value());
}

bool ReadingsService::DeviceHas(const SettingsRequest& request) const {
    if (!DeviceConnected())
        return false;
    const DeviceIdentity& identity = device_.Identity();
    return RequestChangesNothing(
        {identity.interval, identity.country, identity.protocol, identity.divider}, request);
}

void ReadingsService::ApplyWaitingSettings() {
    for (;;) {
        std::optional<Waiting>* first = nullptr;
        for (std::optional<Waiting>& slot : waiting_)
            if (slot && (!first || slot->order < (*first)->order))
                first = &slot;
        if (!first)
            return;
        // The device may have come to these values while the request waited (another source's
        // request, a replugged device): then there is nothing to send, and no exchange is spent.
        if (DeviceHas((*first)->request)) {
            Waiting request = std::move(**first);
            first->reset();
            if (request.done)
                request.done({SettingsAnswer::Unchanged, {}});
            continue;
        }
        // One exchange per interval at most, whoever asks how often.
        if (lastSettings_.isValid() && lastSettings_.elapsed() < IntervalMs() * 9 / 10)
            return;
        Waiting request = std::move(**first);
        first->reset();
        lastSettings_.start();
        const SettingsOutcome outcome = ChangeSettings(device_, portNumber_, request.request);
        const QString refusal = SettingsOutcomeText(outcome);
        if (outcome.kind != SettingsOutcome::Lost)
            emit Identified(device_.Identity());
        if (request.done)
            request.done(refusal.isEmpty() ? SettingsAnswer{SettingsAnswer::Taken, {}}
                                           : SettingsAnswer{SettingsAnswer::NotTaken, {refusal}});
        return;
    }
}

bool ReadingsService::RunBetweenReadings(DeviceJob job) {
    if (job_ || !job)
        return false;
    job_ = std::move(job);
    loop_.StepSoon();
    return true;
}

bool ReadingsService::RunWaitingJob() {
    if (!job_ || !device_.Connected() || loop_.Stopping())
        return true;
    const DeviceJob job = std::move(job_);
    job_ = nullptr;
    const bool lookAgain = job();
    // The reading that follows the job starts the next interval.
    loop_.CountIntervalFromNow();
    if (lookAgain || !device_.Connected() || !device_.Port().PortOpen())
        return false;
    // The device identified itself anew (after an upgrade, with another version): everyone
    // who shows it hears so before the next reading.
    emit Identified(device_.Identity());
    return true;
}

DeviceLoop::Step ReadingsService::Step() {
    ApplyWaitingSettings();
    if (!device_.Connected())
        return DeviceLoop::Step::PortLost;
    if (!RunWaitingJob())
        return DeviceLoop::Step::PortLost;
    if (loop_.Stopping())
        return DeviceLoop::Step::Continue;
    const DeviceIdentity& identity = device_.Identity();
    const ReadingsRow row = device_.ReadReadings(identity.Nederland(), !identity.Nederland());
    // A reading cut off by a pulled cable is not a reading: nothing of it is handed on. One that
    // came whole just before the cable went is, and the loss is noticed after it.
    const bool portLost = !device_.Port().PortOpen();
    if (portLost && row.state != ReadingsRow::Received)
        return DeviceLoop::Step::PortLost;
    const Reading reading = fanOut_.Hand(row, identity.serialNumber);
    ++taken_;
    emit ReadingTaken(reading);
    if (portLost)
        return DeviceLoop::Step::PortLost;
    if (options_.count > 0 && taken_ >= options_.count)
        return DeviceLoop::Step::Done;
    return DeviceLoop::Step::Continue;
}
