#pragma once
// Answers on one topic at a pace: at most one per interval, however fast the messages that ask
// for them come. One answer of each kind waits its turn (a newer one replaces the older of its
// kind), the oldest goes first, and none is lost: the waiting ones go at once when the poller
// stops.

#include <QByteArray>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>
#include <optional>
#include <vector>

class PacedAnswers {
public:
    // Publish sends one answer; Open says whether it can be sent now (an answer that cannot
    // waits on).
    PacedAnswers(int kinds, int intervalMilliseconds,
                 std::function<void(const QByteArray&)> publish, std::function<bool()> open);

    // Puts the answer in its kind's place and sends the oldest when the pace allows.
    void Put(int kind, QByteArray payload);
    // Every waiting answer, oldest first, now.
    void Flush();

private:
    void SendDue();
    std::optional<QByteArray> TakeOldest();

    struct Waiting {
        QByteArray payload; // made when the outcome was known, with that time
        qint64 order = 0;
    };
    std::vector<std::optional<Waiting>> waiting_;
    qint64 order_ = 0;
    const int interval_;
    QElapsedTimer last_; // since the last answer sent
    QTimer timer_;
    std::function<void(const QByteArray&)> publish_;
    std::function<bool()> open_;
};
