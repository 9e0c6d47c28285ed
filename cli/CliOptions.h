#pragma once
// The command line of kdr31-cli: which command, which port, which options. Everything a user can
// get wrong on the command line is found here, before a port is opened or a byte is sent.

#include "firmware/UpgradeSteps.h"
#include "http/HttpServer.h"
#include "mqtt/MqttOptions.h"
#include "readings/SettingsRequest.h"

#include <QString>
#include <QStringList>
#include <optional>

// What the program returns; scripts branch on these.
enum ExitCode : int {
    ExitOk = 0,
    ExitFailure = 1,      // the device or the network failed
    ExitUsage = 2,        // the command line is wrong; nothing was done
    ExitImageRefused = 3, // the firmware image was refused; nothing was sent
    ExitCancelled = 130,  // the user cancelled (Ctrl-C, or No to the question)
};

// The port of the KDR31: a port number (COMk; on Linux the device in KDR31_COM<k>, or
// /dev/ttyS<k-1>), or a device path of its own.
struct PortChoice {
    int number = 1;
    QString path; // set when the port was given as a device path

    bool IsPath() const { return !path.isEmpty(); }
    // The device that is opened: the path, or the device behind the number.
    QString Device() const;
    // "COM5 (/dev/ttyS4)" or the path.
    QString Display() const;
};

// "5", "COM5", "com5:" or a device path ("/dev/ttyUSB0", "/dev/serial/by-id/..."); nothing for
// anything else.
std::optional<PortChoice> ParsePort(const QString& text);
// "2026-01-31T18:00:00+01:00", "2026-01-31T18:00" (local time) or "2026-01-31" (local
// midnight; with endOfDay the midnight that ends the day, so --to 2026-01-31 takes in the 31st).
// UTC ms, or nothing.
std::optional<qint64> ParseTime(const QString& text, bool endOfDay);
// "1.2.4.0": four numbers 0-255.
std::optional<FirmwareVersion> ParseVersion(const QString& text);

enum class CliCommand { Ports, Scan, Info, Poll, Set, DebugLog, Upgrade, Export, Peak };
enum class PollFormat { Text, Csv, Json };

struct CliRequest {
    CliCommand command = CliCommand::Ports;
    PortChoice port;

    bool json = false; // info, peak

    qint64 count = 0; // poll: 0 = until stopped
    PollFormat format = PollFormat::Text;
    std::optional<MqttOptions> mqtt; // poll: publish to this broker
    std::optional<HttpOptions> http; // poll: serve over HTTP

    // poll, export, peak: the history database; empty for the user's own (HistoryStore).
    QString database;
    bool noDatabase = false; // poll: record nothing
    bool wait = false;       // poll: wait for an absent device rather than fail
    // poll: the capacity tariff's threshold the household holds itself to (W), instead of the
    // month's peak so far. poll, peak: the price (EUR per kW per year) its costs are given at.
    std::optional<double> peakTargetW;
    std::optional<double> capacityPrice;

    qint64 fromMs = 0; // export: the period [from, to), UTC ms
    qint64 toMs = 0;
    std::optional<QString> serial; // export, peak: one device; all (export) or the newest (peak)
    int year = 0;                  // peak: the month; 0 for the current one
    int month = 0;

    // set: only the values given change; the others keep what the device reports.
    SettingsRequest settings;

    bool follow = false; // debug-log
    QString output;      // debug-log, export: file instead of standard output

    bool online = false; // upgrade
    QString hexFile;
    std::optional<FirmwareVersion> imageVersion;
    bool yes = false;
};

struct ParsedCommandLine {
    enum Kind { Run, Help, Version, Usage } kind = Usage;
    CliRequest request;
    QString text; // Help: the help text; Usage: the one-line error
};

ParsedCommandLine ParseCommandLine(const QStringList& arguments);
