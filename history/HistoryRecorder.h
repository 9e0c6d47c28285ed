#pragma once
// Records readings into the history without ever holding up the poll: Record() only queues the
// reading; a worker thread of the recorder writes what is queued, in one transaction per batch.
//
// When the database cannot be opened or written (read-only, disk full, locked, damaged) the
// recorder says so once, with ProblemStarted, keeps the readings in its queue and tries again
// every retry interval; when a write succeeds again it writes the queued readings, says
// ProblemEnded, and goes on. The queue is bounded: past its limit the oldest reading is dropped
// (Dropped() counts them), so an outage of days costs a bounded amount of memory.
//
// Use from the command line (kdr31-cli poll):
//     --no-db      no recorder at all;
//     --db PATH    HistoryRecorder recorder(PATH);
//     otherwise    HistoryRecorder recorder(HistoryStore::DefaultPath());
//   then recorder.Record({row, serial}) for every reading, and connect ProblemStarted to a line on
//   standard error. The destructor writes what is still queued (one last try, which waits up to
//   two seconds for a locked database), so ending the program loses nothing that can be
//   written.

#include "readings/ReadingsFormat.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

struct RecorderOptions {
    int queueLimit = 100'000; // readings; about 6 MB, six days of 5-second readings
    int retryMs = 5'000;      // after a failed open or write
    int batchLimit = 5'000;   // readings per transaction
};

class HistoryRecorder : public QObject {
    Q_OBJECT
public:
    explicit HistoryRecorder(const QString& databasePath, RecorderOptions options = {},
                             QObject* parent = nullptr);
    ~HistoryRecorder() override;

    QString DatabasePath() const { return path_; }

    // Queues the reading; returns at once.
    void Record(const Reading& reading);

    // Waits until everything queued so far is written; false on timeout or while the database
    // cannot be written.
    bool WaitUntilWritten(int timeoutMs);

    qint64 Written() const { return written_; }
    qint64 Dropped() const { return dropped_; }
    // The problem being reported, or an empty text while recording works.
    QString Problem() const;

signals:
    // Emitted on the recorder's thread, once per outage, with a text for the user.
    void ProblemStarted(const QString& text);
    void ProblemEnded();

private:
    void Run();

    const QString path_;
    const RecorderOptions options_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Reading> queue_;
    size_t inFlight_ = 0;
    bool stop_ = false;
    bool failing_ = false;
    QString problem_;
    std::atomic<qint64> written_{0};
    std::atomic<qint64> dropped_{0};
    std::thread worker_;
};
