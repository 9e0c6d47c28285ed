#include "history/HistoryRecorder.h"

#include "history/HistoryStore.h"

#include <QMetaObject>
#include <vector>

HistoryRecorder::HistoryRecorder(const QString& databasePath, RecorderOptions options,
                                 QObject* parent)
    : QObject(parent), path_(databasePath), options_(options) {
    worker_ = std::thread([this] { Run(); });
}

HistoryRecorder::~HistoryRecorder() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

void HistoryRecorder::Record(const Reading& reading) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
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
    HistoryStore store;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty())
            break; // stopping with nothing left
        if (failing_ && !stop_) {
            // Wait out the retry interval; new readings only join the queue meanwhile.
            const auto retryAt =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.retryMs);
            wake_.wait_until(lock, retryAt, [this] { return stop_; });
        }
        std::vector<Reading> batch;
        const size_t take = std::min(queue_.size(), size_t(options_.batchLimit));
        batch.reserve(take);
        for (size_t i = 0; i < take; ++i) {
            batch.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
        inFlight_ = batch.size();
        const bool stopping = stop_;
        lock.unlock();

        // A connection that failed is closed and opened afresh: a file that was read-only or
        // damaged may have been replaced meanwhile.
        const bool ok = (store.IsOpen() || store.Open(path_)) && store.Insert(batch);
        const QString problem = ok ? QString() : store.ErrorText();
        if (!ok)
            store.Close();

        lock.lock();
        inFlight_ = 0;
        if (ok) {
            written_ += qint64(batch.size());
            if (failing_) {
                failing_ = false;
                problem_.clear();
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
            if (!failing_) {
                failing_ = true;
                problem_ = problem;
                QMetaObject::invokeMethod(
                    this, [this, problem] { emit ProblemStarted(problem); }, Qt::QueuedConnection);
            }
            if (stopping)
                break; // the program ends; what could not be written is lost
        }
        if (queue_.empty() && inFlight_ == 0)
            idle_.notify_all();
    }
    idle_.notify_all();
}
