// The page and its files, compiled in (HttpServer::Start loads them).

#include "http/HttpRoutes.h"

MHD_Result ServePageFile(HttpShared& server, HttpRequest& request) {
    const auto file = server.files.find(request.path);
    if (file == server.files.end())
        return SendError(request.connection, MHD_HTTP_NOT_FOUND, QStringLiteral("no such page"));
    // Everything from the poller itself, and never inside another site's frame, where a page
    // of someone else's could lay its own buttons over the settings.
    return Send(request.connection, MHD_HTTP_OK, file->second.body, file->second.type,
                {{"Content-Security-Policy", "default-src 'self'; style-src 'self'; img-src "
                                             "'self' data:; frame-ancestors 'none'"}});
}
