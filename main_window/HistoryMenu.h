#pragma once
// The readings history in the main window: the grid's context menu ("Export readings…" Ctrl+S,
// "Export history…", "Chart" Ctrl+G, "Record history"), the recorder that keeps every reading the
// poll takes, and the chart window. It hangs off the window's ReadingTaken signal, so the poll
// knows nothing of it. A database that cannot be written shows as a notice over the grid, never
// as a box: the poll goes on.
//
// The window's readings go through a readings fan-out as the poller's do, and the capacity
// tariff's figures it works out for each show on the window's line for them. They start from the
// history (the month's peak so far, the months before it, the quarter-hour running), read on a
// thread of its own, never on the window thread.

#include "history/HistoryRecorder.h"
#include "poller/HistorySink.h"
#include "poller/ReadingsFanOut.h"

#include <QObject>
#include <QString>
#include <list>
#include <memory>

class ChartWindow;
class QAction;
class QThread;
class frmKDR31;

class HistoryMenu : public QObject {
    Q_OBJECT
public:
    // The program passes HistoryStore::DefaultPath(); tests their own file. Recording starts
    // when the remembered setting says so (on the first run it does).
    HistoryMenu(frmKDR31& window, const QString& databasePath, RecorderOptions options = {});
    ~HistoryMenu() override;

    QAction* exportReadings = nullptr;
    QAction* exportHistory = nullptr;
    QAction* chart = nullptr;
    QAction* recordHistory = nullptr;

    HistoryRecorder* Recorder() const { return recorder_; }
    // The fan-out the window's readings go through.
    const ReadingsFanOut& FanOut() const { return fanOut_; }
    ChartWindow* Chart() const { return chart_; }

    void ExportReadings();
    void ExportHistory();
    void ShowChart();
    void SetRecording(bool on);

signals:
    // The capacity figures took up from the history (their seed came and was taken).
    void CapacitySeeded();

private:
    void ShowProblem(const QString& text);
    void ReadCapacitySeedFor(quint64 request, const QString& serial, qint64 now);

    frmKDR31& window_;
    const QString path_;
    const RecorderOptions options_;
    HistoryRecorder* recorder_ = nullptr;
    std::unique_ptr<HistorySink> sink_;
    ReadingsFanOut fanOut_;
    ChartWindow* chart_ = nullptr;
    std::list<QThread*> seedReaders_; // reading a seed, or done; waited for when the menu goes
};
