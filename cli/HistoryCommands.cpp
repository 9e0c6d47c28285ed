// kdr31-cli export and peak: the history database read back, without a device.

#include "cli/Commands.h"
#include "cli/Console.h"
#include "history/HistoryExport.h"
#include "history/HistoryStore.h"

#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <cstdio>

namespace {

QString DatabaseOf(const CliRequest& request) {
    return request.database.isEmpty() ? HistoryStore::DefaultPath() : request.database;
}

// Reading a history that is not there is a common slip (no poll yet, another --db): say which
// file was looked for.
bool DatabaseExists(const QString& path) {
    if (QFileInfo::exists(path))
        return true;
    PrintError(QStringLiteral("there is no history database %1: record one with kdr31-cli poll, "
                              "or name it with --db PATH")
                   .arg(path));
    return false;
}

// A history of an older version gets its quarter-hour table now, once, when this user may write
// it; one that cannot be written is read as it is, its quarters computed from the readings.
void UpgradeHistory(const QString& path) {
    HistoryStore store;
    if (!store.Open(path, true) || store.HasQuarterTable())
        return; // a file that cannot be read says so in the read that follows
    int told = -1;
    store.SetRebuildProgress([&told](int percent) {
        PrintRebuildProgress(percent, told);
        return true;
    });
    store.Open(path);
}

} // namespace

void PrintRebuildProgress(int percent, int& told) {
    const int tenth = percent / 10;
    if (tenth <= told)
        return;
    told = tenth;
    PrintError(QStringLiteral("history: building the quarter-hour table of a history from an "
                              "older version (once): %1 %")
                   .arg(tenth * 10));
}

int RunExport(const CliRequest& request) {
    const QString path = DatabaseOf(request);
    if (!DatabaseExists(path))
        return ExitFailure;
    // A file is written beside its name and renamed over it only when the export succeeded:
    // a failed export leaves the previous file as it was and no half of a new one.
    QFile standardOutput;
    QSaveFile file(request.output);
    QFileDevice& out = request.output.isEmpty() ? static_cast<QFileDevice&>(standardOutput)
                                                : static_cast<QFileDevice&>(file);
    const bool opened = request.output.isEmpty() ? standardOutput.open(stdout, QIODevice::WriteOnly)
                                                 : file.open(QIODevice::WriteOnly);
    if (!opened) {
        PrintError(QStringLiteral("cannot write %1 (%2): choose another file")
                       .arg(request.output, out.errorString()));
        return ExitFailure;
    }
    QString error;
    bool ok = ExportHistoryCsv(path, request.fromMs, request.toMs, request.serial, out, &error);
    if (ok && !request.output.isEmpty() && !file.commit()) {
        ok = false;
        error = QStringLiteral("cannot write %1 (%2)").arg(request.output, file.errorString());
    }
    if (!ok) {
        PrintError(QStringLiteral("%1: check the database and the output, then retry").arg(error));
        return ExitFailure;
    }
    return ExitOk;
}

int RunPeak(const CliRequest& request) {
    const QString path = DatabaseOf(request);
    if (!DatabaseExists(path))
        return ExitFailure;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QDate today = QDate::currentDate();
    const int year = request.month > 0 ? request.year : today.year();
    const int month = request.month > 0 ? request.month : today.month();
    UpgradeHistory(path);
    QString error;
    const std::optional<PeakReport> report =
        MonthlyPeakReport(path, year, month, request.serial, now, &error, request.capacityPrice);
    if (!report) {
        PrintError(QStringLiteral("%1: check the database, then retry").arg(error));
        return ExitFailure;
    }
    if (request.json)
        return PrintLine(QString::fromUtf8(
                   QJsonDocument(PeakReportJson(*report)).toJson(QJsonDocument::Compact)))
                   ? ExitOk
                   : ExitFailure;
    return WriteOut(PeakReportText(*report).toUtf8()) ? ExitOk : ExitFailure;
}
