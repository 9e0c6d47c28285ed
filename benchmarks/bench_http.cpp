// The poller's HTTP side under load, with a reading taken every 200 ms as a fast poll would:
// `latest` asked 200 times a second, /metrics scrapes, reading taken to event received by a
// client, and resident memory idle and while 1,000 connections and 200 slow clients hammer it.
// Prints one line per figure. Everything on 127.0.0.1.

#include "http/HttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// From 127.0.0.1, or another loopback address (all of 127/8 is this machine): the server gives
// each client address a share of its connections, so a crowd comes from many.
int Connect(quint16 port, quint32 from = INADDR_LOOPBACK) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl(from);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
        ::close(fd);
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// One GET on a keep-alive connection; the whole answer read by its Content-Length.
bool Get(int fd, const char* path) {
    const std::string request = std::string("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0)
        return false;
    std::string answer;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        answer.append(buffer, size_t(n));
        const size_t headerEnd = answer.find("\r\n\r\n");
        if (headerEnd == std::string::npos)
            continue;
        const size_t length = answer.find("Content-Length: ");
        if (length == std::string::npos)
            return false;
        if (answer.size() >= headerEnd + 4 + std::stoul(answer.substr(length + 16)))
            return true;
    }
}

struct Figures {
    double median, p95, max;
};

Figures Summary(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values[values.size() * 95 / 100], values.back()};
}

double ResidentMb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

Reading MadeUp(int number) {
    Reading reading;
    reading.serial = QStringLiteral("KDR00001");
    reading.row.time = QDateTime::currentMSecsSinceEpoch();
    reading.row.state = ReadingsRow::Received;
    reading.row.present = (1u << ReadingsFieldCount) - 1;
    reading.row.fields = {float(200 + number % 100),
                          float(1e6 + number),
                          5e5f,
                          1,
                          0,
                          4e4f,
                          3e4f,
                          0,
                          1234.5f,
                          0,
                          1,
                          float(number),
                          0};
    return reading;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    HttpOptions options;
    options.port = 0;
    HttpServer server(options);
    QString error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const quint16 port = server.Port();

    // The poll: a reading every 200 ms, its Take timed, its time kept for the event latency.
    std::mutex takenMutex;
    std::vector<Clock::time_point> taken;
    std::vector<double> takeUs;
    std::atomic<bool> polling{true};
    std::thread poll([&] {
        auto next = Clock::now();
        for (int n = 0; polling; ++n) {
            const Reading reading = MadeUp(n);
            const auto before = Clock::now();
            {
                std::lock_guard<std::mutex> lock(takenMutex);
                taken.push_back(before);
            }
            server.Take(reading);
            takeUs.push_back(Ms(Clock::now() - before) * 1000);
            next += std::chrono::milliseconds(200);
            std::this_thread::sleep_until(next);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double idleMb = ResidentMb();

    // Events: the pulse counter says which reading an event carries.
    std::vector<double> eventMs;
    std::thread events([&] {
        const int fd = Connect(port);
        const char request[] = "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        ::send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
        std::string buffer;
        char chunk[8192];
        while (eventMs.size() < 50) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                break;
            const auto now = Clock::now();
            buffer.append(chunk, size_t(n));
            size_t at;
            while ((at = buffer.find("\"extern1\":")) != std::string::npos) {
                const int number = std::stoi(buffer.substr(at + 10));
                buffer.erase(0, at + 10);
                std::lock_guard<std::mutex> lock(takenMutex);
                if (number > 0 && size_t(number) < taken.size())
                    eventMs.push_back(Ms(now - taken[size_t(number)]));
            }
        }
        ::close(fd);
    });

    // latest at 200 requests a second, on one keep-alive connection.
    std::vector<double> latestMs;
    {
        const int fd = Connect(port);
        auto next = Clock::now();
        for (int i = 0; i < 1000; ++i) {
            const auto before = Clock::now();
            if (!Get(fd, "/api/v1/readings/latest"))
                break;
            latestMs.push_back(Ms(Clock::now() - before));
            next += std::chrono::milliseconds(5);
            std::this_thread::sleep_until(next);
        }
        ::close(fd);
    }
    std::vector<double> metricsMs;
    {
        const int fd = Connect(port);
        for (int i = 0; i < 200; ++i) {
            const auto before = Clock::now();
            if (!Get(fd, "/metrics"))
                break;
            metricsMs.push_back(Ms(Clock::now() - before));
        }
        ::close(fd);
    }
    events.join();

    // Hostile: 200 slow clients (a byte now and then) and 1,000 connections at once, eight
    // from each of many addresses (127.0.1.x and 127.0.2.x), so they fill the server as a
    // crowd would.
    std::vector<int> slow;
    for (quint32 i = 0; i < 200; ++i)
        if (const int fd = Connect(port, 0x7f000100 + i / 8); fd >= 0) {
            ::send(fd, "G", 1, MSG_NOSIGNAL);
            slow.push_back(fd);
        }
    const char flooding[] = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::vector<int> flood;
    for (quint32 i = 0; i < 1000; ++i)
        if (const int fd = Connect(port, 0x7f000200 + i / 8); fd >= 0) {
            ::send(fd, flooding, sizeof flooding - 1, MSG_NOSIGNAL);
            flood.push_back(fd);
        }
    double loadMb = 0;
    for (int i = 0; i < 20; ++i) {
        loadMb = std::max(loadMb, ResidentMb());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (int fd : flood)
        ::close(fd);
    for (int fd : slow)
        ::close(fd);

    polling = false;
    poll.join();
    server.Stop();

    const Figures latest = Summary(latestMs);
    const Figures metrics = Summary(metricsMs);
    const Figures event = Summary(eventMs);
    const Figures take = Summary(takeUs);
    std::printf("latest at 200 requests/s (%zu): median %.3f ms, 95th percentile %.3f ms, max "
                "%.3f ms\n",
                latestMs.size(), latest.median, latest.p95, latest.max);
    std::printf("/metrics scrape (%zu): median %.3f ms, 95th percentile %.3f ms\n",
                metricsMs.size(), metrics.median, metrics.p95);
    std::printf("reading taken to event received (%zu): median %.3f ms, 95th percentile %.3f ms\n",
                eventMs.size(), event.median, event.p95);
    std::printf("the poll's Take (%zu): median %.1f us, max %.1f us\n", takeUs.size(), take.median,
                take.max);
    std::printf("resident memory: idle %.1f MB, under 1,000 connections + 200 slow clients %.1f "
                "MB (whole process, clients included)\n",
                idleMb, loadMb);
    return 0;
}
