#pragma once
// Which names a request's Host may give for the server to answer it.
//
// Anyone can make a DNS name of theirs resolve to this machine (DNS rebinding); a browser then
// treats our answers as that name's own, and a page the user merely opens reads the readings and
// the history. So only names that no one else can point here are answered: an IP literal (IPv4,
// or IPv6 in brackets), "localhost", the machine's own host name (alone, or with ".local" as
// mDNS gives it), and the names the user admitted with --http-host. A port may follow any of them.

#include <QByteArray>
#include <QString>
#include <QStringList>

// machineName and admitted in lower case; the comparison ignores case.
bool HostAdmitted(const QByteArray& host, const QString& machineName, const QStringList& admitted);

// The name of a Host without its port, in lower case, when it is a well-formed DNS name (for a
// message); empty otherwise.
QString HostName(const QByteArray& host);

// A name for --http-host: letters, digits, "-" and "_" in dot-separated labels, 253 characters at
// most, no port. In lower case, or empty with the reason.
QString AdmissibleHostName(const QString& name, QString& error);
