#pragma once
// The answers of the HTTP side: whole ones (a JSON object, an error, a file) and streamed ones,
// produced piece by piece. Every answer carries the headers that every answer needs
// (nosniff, no-store), streamed ones included.

#include "http/HttpShared.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include <microhttpd.h>
#include <sys/socket.h>

// Written by the connection's thread, read by the server's watchdog, which closes a connection
// that takes too long over its request but leaves one alone while it is being answered.
struct ConnectionState {
    using Clock = std::chrono::steady_clock;
    MHD_socket fd = MHD_INVALID_SOCKET;
    // The start, or the end of the last request.
    std::atomic<Clock::rep> since{Clock::now().time_since_epoch().count()};
    std::atomic<bool> responding{false};
    bool cut = false; // the watchdog's own
};

// The request of this connection is being answered (a settings request waits for the poll).
void MarkResponding(MHD_Connection* connection);

using HttpHeaders = std::vector<std::pair<const char*, QByteArray>>;

MHD_Result Send(MHD_Connection* connection, unsigned int status, const QByteArray& body,
                const char* type, const HttpHeaders& headers = {});
// JsonText's compact JSON (no exponents) and a line end.
MHD_Result SendJson(MHD_Connection* connection, unsigned int status, const QJsonObject& object);
// {"error": message}
MHD_Result SendError(MHD_Connection* connection, unsigned int status, const QString& message,
                     const HttpHeaders& headers = {});

// The request carries "Authorization: Bearer <token>" with this (non-empty) token. Compared in
// constant time: neither the length nor the first wrong byte of a guess shows in the time of the
// answer.
bool BearerTokenMatches(MHD_Connection* connection, const QByteArray& token);

// An answer produced piece by piece: fill() appends the next piece and returns false at the end.
// The slot is held until the answer ends.
struct HttpStream {
    std::function<bool(QByteArray&)> fill;
    HttpSlot slot;
    QByteArray pending;
    qsizetype offset = 0;
    bool ended = false;
};

// 200 with the stream's pieces, chunked. To a HEAD request, the same headers and nothing else:
// the stream is never started.
MHD_Result SendStream(MHD_Connection* connection, bool head, std::unique_ptr<HttpStream> stream,
                      const char* type, const HttpHeaders& headers = {});
