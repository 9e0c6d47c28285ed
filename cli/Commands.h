#pragma once
// The commands of kdr31-cli. Each returns the program's exit code and has said on standard error
// what went wrong when that is not ExitOk.

#include "cli/CliOptions.h"
#include "readings/ReadingsFormat.h"

#include <vector>

class Interrupts;
class Kdr31Device;

// Where each polled reading goes besides standard output (a history database, an MQTT broker).
class ReadingSink {
public:
    virtual ~ReadingSink() = default;
    virtual void Take(const Reading& reading) = 0;
};

int RunCommand(const CliRequest& request, Interrupts& interrupts);

int RunPorts();
int RunScan();
int RunInfo(const CliRequest& request);
int RunPoll(const CliRequest& request, Interrupts& interrupts,
            const std::vector<ReadingSink*>& sinks = {});
int RunSet(const CliRequest& request);
int RunDebugLog(const CliRequest& request, Interrupts& interrupts);
int RunUpgrade(const CliRequest& request, Interrupts& interrupts);
int RunExport(const CliRequest& request);
int RunPeak(const CliRequest& request);

// Sends the settings the request changes to the connected KDR31, the others kept as it reports
// them, then identifies it again to read back what it took: kdr31-cli set, and settings from
// the MQTT broker during a poll. Returns an empty string when the device took them, otherwise
// what went wrong; Connected() then tells whether the device still answers.
QString ChangeSettings(Kdr31Device& device, const PortChoice& port, const SettingsRequest& request);

// One reading as poll writes it: text (the grid's cell texts), a CSV record or a JSON object.
QString ReadingLine(const Reading& reading, PollFormat format);
