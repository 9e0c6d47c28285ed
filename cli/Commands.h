#pragma once
// The commands of kdr31-cli. Each returns the program's exit code and has said on standard error
// what went wrong when that is not ExitOk.

#include "cli/CliOptions.h"
#include "readings/ReadingsFormat.h"

class Interrupts;
class Kdr31Device;

int RunCommand(const CliRequest& request, Interrupts& interrupts);

int RunPorts();
int RunScan(Interrupts& interrupts);
int RunInfo(const CliRequest& request, Interrupts& interrupts);
int RunPoll(const CliRequest& request, Interrupts& interrupts);
int RunSet(const CliRequest& request, Interrupts& interrupts);
int RunDebugLog(const CliRequest& request, Interrupts& interrupts);
int RunUpgrade(const CliRequest& request, Interrupts& interrupts);
int RunExport(const CliRequest& request);
int RunPeak(const CliRequest& request);

// The history's quarter-hour table being built (HistoryStore::SetRebuildProgress): a line on
// standard error at every tenth; `told` starts at -1 and keeps the last tenth said.
void PrintRebuildProgress(int percent, int& told);

// One reading as poll writes it: text (the grid's cell texts), a CSV record or a JSON object.
QString ReadingLine(const Reading& reading, PollFormat format);
