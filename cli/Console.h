#pragma once
// Where kdr31-cli writes: data on standard output, flushed line by line so that a file or a pipe
// sees each reading as it comes; messages and progress on standard error.

#include <QByteArray>
#include <QString>

// Bytes to standard output exactly as given, flushed. False when they could not be written.
bool WriteOut(const QByteArray& bytes);
// A line of text (UTF-8) to standard output, flushed.
bool PrintLine(const QString& line);
// "kdr31-cli: " + text on a line of its own on standard error.
void PrintError(const QString& text);
// Text to standard error as it is (progress, questions).
void WriteErr(const QString& text);

bool StdinIsTerminal();
bool StderrIsTerminal();
