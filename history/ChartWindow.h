#pragma once
// The chart window: import and export power over time with the gas counter, following new
// readings live; energy per hour and per day; the quarter-hours of the day with the month's
// peak and the running average of the quarter-hour now, and the twelve months the capacity
// tariff bills, with its floor and the billed mean.
//
// The power chart holds every reading of the period in memory (ChartSeries) and hands the chart
// only the minimum and maximum per pixel column (DecimateMinMax), so a month of 5-second
// readings redraws as fast as an hour. The wheel zooms around the mouse, a drag pans; a view
// that reaches outside the loaded period loads it from the history.
//
// The history is read on a thread of the window's own, never on the window thread: a month of
// readings takes a second or more to read, and the window must keep painting and taking the
// poll's readings meanwhile. The newest request wins; readings that arrive during a read are
// added to what it brings.

#include "history/CapacityTariff.h"
#include "history/ChartSeries.h"

#include <QWidget>
#include <functional>
#include <memory>

class QChart;
class QDateTimeAxis;
class QLabel;
class QLineSeries;
class QTabWidget;
class QTimer;
class QValueAxis;
class PowerChartView;
class QChartView;

class ChartWindow : public QWidget {
    Q_OBJECT
public:
    explicit ChartWindow(const QString& databasePath, QWidget* parent = nullptr);
    ~ChartWindow() override;

    // Whose history to show (the connected device's serial).
    void SetSerial(const QString& serial);

    // Loads [now - span, now] from the history and follows new readings.
    void ShowLast(qint64 spanMs);
    // The power chart's time range; leaves following unless the range reaches the newest
    // reading.
    void SetView(qint64 fromMs, qint64 toMs);
    qint64 ViewFrom() const { return viewFrom_; }
    qint64 ViewTo() const { return viewTo_; }
    bool Following() const { return following_; }
    // A period is being read from the history; the chart shows what it held before until then.
    bool Loading() const { return loading_; }

    const ChartSeries& Series() const { return series_; }
    // For the benchmark and the screenshot: replaces what is held.
    void SetSeries(ChartSeries series);

    // Decimates the view range to the plot's width and hands the points to the chart.
    void Redraw();
    // Points the power chart holds now (after decimation).
    int PlottedPoints() const;
    QString PeakText() const;
    // The twelve months as the quarter-hour tab last showed them.
    const CapacityBill& MonthsShown() const { return monthsBill_; }
    QTabWidget* Tabs() const { return tabs_; }

    // The clock the window calls "now"; the screenshot sets it to the simulated day.
    void SetNow(std::function<qint64()> now) { now_ = std::move(now); }

public slots:
    void AddReading(const Reading& reading);
    // The recorder's state, shown in the window's status line.
    void SetHistoryStatus(const QString& text);

private:
    void UpdateBars();
    void UpdateMonths();
    void UpdatePeak(bool fromHistory);
    void LoadIfNeeded();
    void SetViewFromChart(qint64 fromMs, qint64 toMs);
    struct Loaded;
    struct Loader;
    // Reads [fromMs, toMs) (and the month's peak) on the loader thread for the view as it is now.
    void StartLoad(qint64 fromMs, qint64 toMs, bool withPeak);
    void FinishLoad(const std::shared_ptr<Loaded>& loaded);
    void CancelLoad();
    void Plot(std::vector<QPointF> imports, std::vector<QPointF> exports, std::vector<QPointF> gas);

    QString path_;
    QString serial_;
    ChartSeries series_;
    std::vector<Reading> live_; // readings since the window opened, kept across reloads
    quint64 liveTaken_ = 0;     // readings ever added to live_
    std::unique_ptr<Loader> loader_;
    quint64 generation_ = 0; // of the newest load asked for
    bool loading_ = false;
    qint64 loadedFrom_ = 0;
    qint64 loadedTo_ = 0;
    qint64 viewFrom_ = 0;
    qint64 viewTo_ = 0;
    qint64 span_ = 0;
    bool following_ = true;
    std::function<qint64()> now_;

    QTabWidget* tabs_ = nullptr;
    PowerChartView* powerView_ = nullptr;
    QChart* power_ = nullptr;
    QLineSeries* importLine_ = nullptr;
    QLineSeries* exportLine_ = nullptr;
    QLineSeries* gasLine_ = nullptr;
    QDateTimeAxis* timeAxis_ = nullptr;
    QValueAxis* powerAxis_ = nullptr;
    QValueAxis* gasAxis_ = nullptr;
    QChartView* hoursView_ = nullptr;
    QChartView* daysView_ = nullptr;
    QChartView* quartersView_ = nullptr;
    QChartView* monthsView_ = nullptr;
    QLabel* peakLabel_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QLabel* loadingLabel_ = nullptr;
    QTimer* loadTimer_ = nullptr;
    QString historyStatus_;
    MonthPeak monthPeak_;
    MonthPeak historyPeak_;
    int historyPeakMonth_ = 0;
    int monthOfPeak_ = 0;               // year * 100 + month of monthPeak_
    std::vector<CapacityMonth> months_; // of the history, read with the month's peak
    CapacityBill monthsBill_;
};
