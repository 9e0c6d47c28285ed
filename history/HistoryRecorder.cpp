#include "history/HistoryRecorder.h"

#include "history/HistoryStore.h"

#include <QMetaObject>
#include <algorithm>
#include <optional>
#include <vector>

HistoryRecorder::HistoryRecorder(const QString& databasePath, RecorderOptions options,
                                 QObject* parent)
    : QObject(parent), path_(databasePath), options_(options) {
    worker_ = std::thread([this] { Run(); });
}

HistoryRecorder::~HistoryRecorder() {
    Stop();
}

namespace {

qint64 SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

void HistoryRecorder::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    qint64 none = 0;
    stopRequestedMs_.compare_exchange_strong(none, std::max<qint64>(1, SteadyMs()));
    wake_.notify_all();
    if (worker_.joinable())
        worker_.join();
}

void HistoryRecorder::Record(const Reading& reading) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ended_) {
            ++unwritten_; // too late: the writer has ended
            return;
        }
        if (queue_.size() >= size_t(options_.queueLimit)) {
            queue_.pop_front();
            ++dropped_;
        }
        queue_.push_back(reading);
    }
    wake_.notify_one();
}

bool HistoryRecorder::WaitUntilWritten(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [this] { return queue_.empty() && inFlight_ == 0 && !failing_; });
}

QString HistoryRecorder::Problem() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return problem_;
}

void HistoryRecorder::Run() {
    using Clock = std::chrono::steady_clock;
    HistoryStore store;
    store.SetRebuildProgress([this, told = -1](int percent) mutable {
        const qint64 stopAt = stopRequestedMs_;
        if (stopAt != 0)
            return SteadyMs() - stopAt < options_.stopWaitMs;
        if (percent != told) {
            told = percent;
            QMetaObject::invokeMethod(
                this, [this, percent] { emit Rebuilding(percent); }, Qt::QueuedConnection);
        }
        return true;
    });
    HistoryStore::Error lastError = HistoryStore::Error::None;
    std::optional<Clock::time_point> giveUpAt; // from the moment Stop() is seen
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (stop_ && !giveUpAt)
            giveUpAt = Clock::now() + std::chrono::milliseconds(options_.stopWaitMs);
        if (queue_.empty())
            break; // stopping with nothing left
        if (failing_) {
            // Wait out the retry interval; new readings only join the queue meanwhile. A write
            // that fails at once (read-only, no folder) must not be tried back to back.
            if (!stop_)
                wake_.wait_until(lock, Clock::now() + std::chrono::milliseconds(options_.retryMs),
                                 [this] { return stop_; });
            if (stop_) {
                if (!giveUpAt)
                    giveUpAt = Clock::now() + std::chrono::milliseconds(options_.stopWaitMs);
                // Another program's lock ends; a read-only file or a full disk does not end
                // while the program waits to exit.
                if (lastError != HistoryStore::Error::Locked || Clock::now() >= *giveUpAt)
                    break;
                const auto next =
                    Clock::now() + std::chrono::milliseconds(std::min(options_.retryMs, 200));
                wake_.wait_until(lock, std::min(next, *giveUpAt), [] { return false; });
            }
        }
        std::vector<Reading> batch;
        const size_t take = std::min(queue_.size(), size_t(options_.batchLimit));
        batch.reserve(take);
        for (size_t i = 0; i < take; ++i) {
            batch.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
        inFlight_ = batch.size();
        lock.unlock();

        // A connection that failed is closed and opened afresh: a file that was read-only or
        // damaged may have been replaced meanwhile.
        ++attempts_;
        const bool ok = (store.IsOpen() || store.Open(path_)) && store.Insert(batch);
        const QString problem = ok ? QString() : store.ErrorText();
        lastError = ok ? HistoryStore::Error::None : store.LastError();
        if (!ok)
            store.Close();

        lock.lock();
        inFlight_ = 0;
        // Once stopping, the owner's event loop may have ended: nothing more is posted to it,
        // Problem() and Unwritten() tell the rest.
        const bool post = !stop_;
        if (ok) {
            written_ += qint64(batch.size());
            if (failing_) {
                failing_ = false;
                problem_.clear();
                if (post)
                    QMetaObject::invokeMethod(
                        this, [this] { emit ProblemEnded(); }, Qt::QueuedConnection);
            }
        } else {
            // Back to the front of the queue, oldest first, within the limit.
            for (auto it = batch.rbegin(); it != batch.rend(); ++it) {
                if (queue_.size() >= size_t(options_.queueLimit)) {
                    dropped_ += qint64(batch.rend() - it);
                    break;
                }
                queue_.push_front(std::move(*it));
            }
            problem_ = problem;
            if (!failing_) {
                failing_ = true;
                if (post)
                    QMetaObject::invokeMethod(
                        this, [this, problem] { emit ProblemStarted(problem); },
                        Qt::QueuedConnection);
            }
        }
        if (queue_.empty() && inFlight_ == 0)
            idle_.notify_all();
    }
    unwritten_ += qint64(queue_.size());
    queue_.clear();
    ended_ = true;
    idle_.notify_all();
}
