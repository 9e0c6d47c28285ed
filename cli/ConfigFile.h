#pragma once
// A configuration file for kdr31-cli poll: the command line written down, so that a service
// keeps its broker, its password file and the like in /etc/kdr31/<instance>.conf rather than
// in a string that systemd splits at blanks.
//
//     # the broker of the house
//     mqtt = mqtt://kdr31@homeassistant.local
//     mqtt-password-file = /etc/kdr31/mqtt password
//     no-db
//
// Each line is a long option without its dashes: "key = value" for an option with a value
// (blanks around the key and the value are dropped, blanks inside the value are kept), the key
// alone for a switch. "#" starts a comment line. The file's options go before the command
// line's own, and for an option given twice the later one counts: the command line wins.

#include "cli/CliOptions.h"

#include <QStringList>
#include <functional>
#include <optional>

// ParseCommandLine with "--config FILE" (or --config=FILE) taken into account: parse is the
// parser of the plain command line. A file that cannot be read, a line that is not an option, an
// unknown key or a bad value is a usage error that names the file and the line.
ParsedCommandLine
ParseWithConfigFile(const QStringList& arguments,
                    const std::function<ParsedCommandLine(const QStringList&)>& parse);

// The value of key in a configuration file's text as the poll would take it (the last line of
// the key counts): empty for a switch, nothing when the key is not there. Lines that are not
// options are passed over.
std::optional<QString> ConfigFileValue(const QByteArray& text, const QString& key);
