#pragma once
// The four settings the KDR31 keeps, as the settings command carries them.

#include <QByteArray>
#include <QString>

// Interval in seconds, country (1 Netherlands, otherwise 2), DSMR protocol (2, 4, otherwise 5),
// pulse divider: the four payload bytes of the settings command, in that order.
QByteArray SettingsPayload(int interval, bool nederlandSelected, bool protocol2Selected,
                           bool protocol4Selected, int divider);

// The number a text begins with, "." as the decimal point: leading blanks and a sign are taken,
// an exponent too; a text that does not begin with a number reads as 0.
double LeadingNumber(const QString& text);

// To the nearest integer, halves to the even neighbour (2.5 gives 2, 3.5 gives 4); values beyond
// the int range are brought to its ends.
int RoundHalfEven(double value);
