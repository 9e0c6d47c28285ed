#include "mqtt/PacedAnswers.h"

#include <algorithm>

PacedAnswers::PacedAnswers(int kinds, int intervalMilliseconds,
                           std::function<void(const QByteArray&)> publish,
                           std::function<bool()> open)
    : waiting_(size_t(std::max(kinds, 1))), interval_(intervalMilliseconds),
      publish_(std::move(publish)), open_(std::move(open)) {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, [this] { SendDue(); });
}

void PacedAnswers::Put(int kind, QByteArray payload) {
    waiting_.at(size_t(kind)) = Waiting{std::move(payload), order_++};
    SendDue();
}

void PacedAnswers::Flush() {
    timer_.stop();
    while (const std::optional<QByteArray> answer = TakeOldest())
        publish_(*answer);
}

void PacedAnswers::SendDue() {
    if (!open_())
        return;
    if (last_.isValid() && last_.elapsed() < interval_) {
        if (!timer_.isActive())
            timer_.start(int(interval_ - last_.elapsed()));
        return;
    }
    const std::optional<QByteArray> answer = TakeOldest();
    if (!answer)
        return;
    publish_(*answer);
    last_.start();
    for (const std::optional<Waiting>& waiting : waiting_)
        if (waiting)
            return timer_.start(interval_);
}

std::optional<QByteArray> PacedAnswers::TakeOldest() {
    std::optional<Waiting>* oldest = nullptr;
    for (std::optional<Waiting>& waiting : waiting_)
        if (waiting && (!oldest || waiting->order < (*oldest)->order))
            oldest = &waiting;
    if (!oldest)
        return std::nullopt;
    QByteArray payload = std::move((*oldest)->payload);
    oldest->reset();
    return payload;
}
