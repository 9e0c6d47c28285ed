#include "http/HttpAnswer.h"

#include "readings/ReadingsFormat.h"

#include <QCryptographicHash>
#include <cstring>

namespace {

MHD_Result Queue(MHD_Connection* connection, unsigned int status, MHD_Response* response,
                 const char* type, const HttpHeaders& headers) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    for (const auto& [name, value] : headers)
        MHD_add_response_header(response, name, value.constData());
    MarkResponding(connection);
    const MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

} // namespace

bool BearerTokenMatches(MHD_Connection* connection, const QByteArray& token) {
    const QByteArray authorization(
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION));
    const QByteArray prefix("Bearer ");
    if (!authorization.startsWith(prefix))
        return false;
    const QByteArray a =
        QCryptographicHash::hash(authorization.mid(prefix.size()), QCryptographicHash::Sha256);
    const QByteArray b = QCryptographicHash::hash(token, QCryptographicHash::Sha256);
    unsigned char difference = 0;
    for (int i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0 && !token.isEmpty();
}

void MarkResponding(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (info && info->socket_context)
        static_cast<ConnectionState*>(info->socket_context)->responding = true;
}

MHD_Result Send(MHD_Connection* connection, unsigned int status, const QByteArray& body,
                const char* type, const HttpHeaders& headers) {
    return Queue(connection, status,
                 MHD_create_response_from_buffer(static_cast<size_t>(body.size()),
                                                 const_cast<char*>(body.constData()),
                                                 MHD_RESPMEM_MUST_COPY),
                 type, headers);
}

MHD_Result SendJson(MHD_Connection* connection, unsigned int status, const QJsonObject& object) {
    return Send(connection, status, JsonText(object) + '\n', "application/json");
}

MHD_Result SendError(MHD_Connection* connection, unsigned int status, const QString& message,
                     const HttpHeaders& headers) {
    return Send(connection, status, JsonText({{QStringLiteral("error"), message}}) + '\n',
                "application/json", headers);
}

MHD_Result SendStream(MHD_Connection* connection, bool head, std::unique_ptr<HttpStream> stream,
                      const char* type, const HttpHeaders& headers) {
    if (head) {
        // libmicrohttpd would end a HEAD answer of unknown length with the chunked encoding's
        // last chunk, which a client on the same connection reads as the next answer.
        stream.reset();
        return Queue(connection, MHD_HTTP_OK,
                     MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT), type,
                     headers);
    }
    const auto read = [](void* cls, uint64_t, char* buffer, size_t max) -> ssize_t {
        HttpStream& s = *static_cast<HttpStream*>(cls);
        while (s.offset >= s.pending.size()) {
            if (s.ended)
                return MHD_CONTENT_READER_END_OF_STREAM;
            s.pending.clear();
            s.offset = 0;
            s.ended = !s.fill(s.pending);
        }
        const size_t n = std::min(max, size_t(s.pending.size() - s.offset));
        std::memcpy(buffer, s.pending.constData() + s.offset, n);
        s.offset += qsizetype(n);
        return ssize_t(n);
    };
    using Reader = ssize_t (*)(void*, uint64_t, char*, size_t);
    using Free = void (*)(void*);
    return Queue(connection, MHD_HTTP_OK,
                 MHD_create_response_from_callback(
                     MHD_SIZE_UNKNOWN, 16 * 1024, static_cast<Reader>(read), stream.release(),
                     static_cast<Free>([](void* cls) { delete static_cast<HttpStream*>(cls); })),
                 type, headers);
}
