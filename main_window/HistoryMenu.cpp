#include "main_window/HistoryMenu.h"

#include "history/CapacitySeed.h"
#include "history/ChartWindow.h"
#include "history/HistoryExport.h"
#include "history/HistoryRecorder.h"
#include "history/HistoryStore.h"
#include "main_window/frmKDR31.h"
#include "readings/ReadingsGrid.h"

#include <QAction>
#include <QDateTime>
#include <QSaveFile>
#include <QSettings>
#include <QThread>

namespace {

const QString RecordKey = QStringLiteral("history/record");

QSettings Settings() {
    return QSettings(QStringLiteral("kdr31"), QStringLiteral("kdr31"));
}

SaveDialogRequest CsvRequest(const QString& title, const QString& name) {
    SaveDialogRequest request;
    request.title = title;
    request.filter = QStringLiteral("CSV files (*.csv)|*.csv");
    request.defaultExtension = QStringLiteral("csv");
    request.initialName = name;
    return request;
}

QString Stamp() {
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmm"));
}

} // namespace

HistoryMenu::HistoryMenu(frmKDR31& window, const QString& databasePath, RecorderOptions options)
    : QObject(&window), window_(window), path_(databasePath), options_(options) {
    ReadingsGrid* grid = window.grdInterfaces;
    exportReadings = new QAction(QStringLiteral("Export readings\u2026"), grid);
    exportReadings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    exportHistory = new QAction(QStringLiteral("Export history\u2026"), grid);
    chart = new QAction(QStringLiteral("Chart"), grid);
    chart->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_G));
    recordHistory = new QAction(QStringLiteral("Record history"), grid);
    recordHistory->setCheckable(true);
    for (QAction* action : {exportReadings, exportHistory, chart, recordHistory}) {
        // The shortcuts work wherever the focus is in the main window.
        action->setShortcutContext(Qt::WindowShortcut);
        grid->addAction(action);
    }
    grid->setContextMenuPolicy(Qt::ActionsContextMenu);

    connect(exportReadings, &QAction::triggered, this, &HistoryMenu::ExportReadings);
    connect(exportHistory, &QAction::triggered, this, &HistoryMenu::ExportHistory);
    connect(chart, &QAction::triggered, this, &HistoryMenu::ShowChart);
    connect(recordHistory, &QAction::toggled, this, [this](bool on) {
        Settings().setValue(RecordKey, on);
        SetRecording(on);
    });
    // The capacity figures take up from the history, read off the window thread.
    fanOut_.SetCapacitySeedRequest([this](quint64 request, const QString& serial, qint64 now) {
        ReadCapacitySeedFor(request, serial, now);
    });
    // The grid shows what the device sent; the history and the chart get it through the same
    // fan-out as the poller's sinks, judged for plausibility on the way, and the window's line
    // the capacity figures worked out for it.
    connect(&window, &frmKDR31::ReadingTaken, this, [this](const Reading& taken) {
        const Reading reading = fanOut_.Hand(taken.row, taken.serial);
        window_.ShowCapacity(reading.capacity.get());
        if (chart_ && !reading.implausible)
            chart_->AddReading(reading);
    });
    recordHistory->setChecked(Settings().value(RecordKey, true).toBool());
}

HistoryMenu::~HistoryMenu() {
    // A seed still being read is waited for (its database reads end on their own), so its
    // result is never handed to a menu that is gone.
    for (QThread* reader : seedReaders_) {
        reader->wait();
        delete reader;
    }
}

void HistoryMenu::ReadCapacitySeedFor(quint64 request, const QString& serial, qint64 now) {
    seedReaders_.remove_if([](QThread* reader) {
        if (!reader->isFinished())
            return false;
        delete reader;
        return true;
    });
    QThread* reader = QThread::create([this, request, serial, now, path = path_] {
        const std::optional<CapacitySeed> seed = ReadCapacitySeed(path, serial, now);
        QMetaObject::invokeMethod(
            this,
            [this, request, seed] {
                if (!fanOut_.SeedCapacity(request, seed))
                    return;
                if (seed)
                    window_.ShowCapacity(fanOut_.Capacity().get());
                emit CapacitySeeded();
            },
            Qt::QueuedConnection);
    });
    seedReaders_.push_back(reader);
    reader->start(QThread::LowPriority);
}

void HistoryMenu::SetRecording(bool on) {
    if (on == (recorder_ != nullptr))
        return;
    if (!on) {
        fanOut_.Remove(sink_.get());
        sink_.reset();
        delete recorder_; // writes what is queued
        recorder_ = nullptr;
        ShowProblem(QString());
        return;
    }
    recorder_ = new HistoryRecorder(path_, options_, this);
    sink_ = std::make_unique<HistorySink>(*recorder_);
    fanOut_.Add(sink_.get());
    connect(recorder_, &HistoryRecorder::ProblemStarted, this, &HistoryMenu::ShowProblem);
    connect(recorder_, &HistoryRecorder::ProblemEnded, this, [this] { ShowProblem(QString()); });
}

void HistoryMenu::ShowProblem(const QString& text) {
    const QString notice =
        text.isEmpty() ? QString()
                       : QStringLiteral("History not recorded: %1. The readings go on; recording "
                                        "resumes when the database can be written.")
                             .arg(text);
    window_.grdInterfaces->SetNotice(notice);
    if (chart_)
        chart_->SetHistoryStatus(notice);
}

void HistoryMenu::ExportReadings() {
    const std::optional<QString> path = window_.dialogs().ShowSave(
        CsvRequest(QStringLiteral("Export readings"), QStringLiteral("readings-") + Stamp()));
    if (!path)
        return;
    QSaveFile file(*path);
    if (file.open(QIODevice::WriteOnly)) {
        WriteCsvHeader(file);
        const ReadingsTable& table = window_.grdInterfaces->Table();
        for (int row = 1; row < table.Rows(); ++row) {
            const ReadingsRow& data = table.DataRow(row);
            if (data.state != ReadingsRow::Blank)
                WriteCsvRecord(file, {data, window_.SerialNumber()});
        }
        if (file.commit())
            return;
    }
    window_.dialogs().MsgBox(QStringLiteral("Cannot write %1: %2").arg(*path, file.errorString()));
}

void HistoryMenu::ExportHistory() {
    // Readings still queued belong in the export (a moment's wait, and none while the
    // database cannot be written).
    if (recorder_ && recorder_->Problem().isEmpty())
        recorder_->WaitUntilWritten(500);
    HistoryStore store;
    PeriodRequest request;
    request.title = QStringLiteral("Export history");
    request.to = QDateTime::currentDateTime();
    request.from = request.to.addDays(-1);
    if (store.Open(path_, true))
        request.serials = store.Serials();
    store.Close();
    request.serial = window_.SerialNumber();
    const std::optional<PeriodChoice> period = window_.dialogs().ChoosePeriod(request);
    if (!period)
        return;
    const std::optional<QString> path = window_.dialogs().ShowSave(
        CsvRequest(QStringLiteral("Export history"), QStringLiteral("history-") + Stamp()));
    if (!path)
        return;
    QSaveFile file(*path);
    QString error;
    if (file.open(QIODevice::WriteOnly) &&
        ExportHistoryCsv(path_, period->from.toMSecsSinceEpoch(), period->to.toMSecsSinceEpoch(),
                         period->serial, file, &error) &&
        file.commit())
        return;
    file.cancelWriting();
    window_.dialogs().MsgBox(QStringLiteral("Cannot export the history to %1: %2")
                                 .arg(*path, error.isEmpty() ? file.errorString() : error));
}

void HistoryMenu::ShowChart() {
    if (!chart_) {
        chart_ = new ChartWindow(path_, &window_);
        chart_->SetSerial(window_.SerialNumber());
        chart_->SetHistoryStatus(window_.grdInterfaces->Notice());
    }
    if (recorder_ && recorder_->Problem().isEmpty())
        recorder_->WaitUntilWritten(500);
    chart_->show();
    chart_->raise();
    chart_->activateWindow();
    chart_->ShowLast(chart_->ViewTo() - chart_->ViewFrom());
}
