#pragma once
// Where a reading goes once it is taken: the history, an MQTT broker, the HTTP interface,
// standard output. Sinks are handed every reading on the poll's thread and must return at once:
// one that writes to a disk or a network queues the reading and does the work elsewhere, so no
// sink can hold up the next reading.

#include "readings/ReadingsFormat.h"

class ReadingSink {
public:
    virtual ~ReadingSink() = default;
    virtual void Take(const Reading& reading) = 0;
};
