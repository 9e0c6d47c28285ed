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
//   standard error. At the end, recorder.Stop() writes what is still queued: a database locked
//   by another program is waited for (up to stopWaitMs), any other problem ends the last try at
//   once. Then Unwritten() readings could not be written, and Problem() says why:
//       recorder.Stop();
//       if (recorder.Unwritten() > 0)
//           ... "N readings could not be written to the history: " + recorder.Problem()
//   No signal is posted once Stop() has begun: the event loop may have ended already.
//
// The first open of a history made by an older version builds its quarter-hour table (seconds for
// a year of readings) on the writer thread, saying how far it got with Rebuilding; readings queue
// meanwhile. A Stop() during the build gives it stopWaitMs to finish, as a locked database; past
// that it is called off (done again at the next open) and the queued readings are unwritten.

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
    int stopWaitMs = 10'000;  // at Stop(), how long a locked database is waited for
};

class HistoryRecorder : public QObject {
    Q_OBJECT
public:
    explicit HistoryRecorder(const QString& databasePath, RecorderOptions options = {},
                             QObject* parent = nullptr);
    // Stops, as Stop() does.
    ~HistoryRecorder() override;

    // Writes what is queued and ends the writer; returns when it has ended. Readings recorded
    // after Stop() are not written.
    void Stop();

    QString DatabasePath() const { return path_; }

    // Queues the reading; returns at once.
    void Record(const Reading& reading);

    // Waits until everything queued so far is written; false on timeout or while the database
    // cannot be written.
    bool WaitUntilWritten(int timeoutMs);

    qint64 Written() const { return written_; }
    qint64 Dropped() const { return dropped_; }
    // After Stop(): the readings that were queued and could not be written.
    qint64 Unwritten() const { return unwritten_; }
    // Opens and writes tried so far, each a batch (what the retry interval paces).
    qint64 Attempts() const { return attempts_; }
    // The problem being reported, or an empty text while recording works.
    QString Problem() const;

signals:
    // Emitted on the recorder's thread, once per outage, with a text for the user.
    void ProblemStarted(const QString& text);
    void ProblemEnded();
    // Emitted on the recorder's thread while the quarter-hour table is built: 0 to 100.
    void Rebuilding(int percent);

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
    bool ended_ = false; // the writer has ended: what is recorded now is unwritten
    bool failing_ = false;
    QString problem_;
    std::atomic<qint64> written_{0};
    std::atomic<qint64> dropped_{0};
    std::atomic<qint64> unwritten_{0};
    std::atomic<qint64> attempts_{0};
    std::atomic<qint64> stopRequestedMs_{0}; // steady clock, ms; 0 until Stop()
    std::thread worker_;
};
