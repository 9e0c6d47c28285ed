#pragma once
// The commands of kdr31-cli. Each returns the program's exit code and has said on standard error
// what went wrong when that is not ExitOk.

#include "cli/CliOptions.h"
#include "readings/ReadingsFormat.h"

#include <vector>

class Interrupts;

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

// One reading as poll writes it: text (the grid's cell texts), a CSV record or a JSON object.
QString ReadingLine(const Reading& reading, PollFormat format);
