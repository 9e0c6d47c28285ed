#include "history/ChartWindow.h"

#include "history/Decimate.h"
#include "history/HistoryExport.h"
#include "history/LiveCapacity.h"

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPushButton>
#include <QStackedBarSeries>
#include <QTabWidget>
#include <QTimeZone>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

constexpr qint64 HourMs = 3600 * 1000;
constexpr qint64 DayMs = 24 * HourMs;
// Zooming in further than this shows single readings only.
constexpr qint64 MinSpanMs = 60 * 1000;
constexpr qint64 MaxSpanMs = 400 * DayMs;

QList<QPointF> ToList(const std::vector<QPointF>& points) {
    return QList<QPointF>(points.begin(), points.end());
}

QString Kilowatts(double watts) {
    return QString::number(watts / 1000.0, 'f', 3) + QStringLiteral(" kW");
}

QString LocalText(qint64 ms, const char* format) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QLatin1String(format));
}

// A bar chart over categories: one QBarSet per entry; a gap in the readings gives no bar.
struct BarSet {
    QString name;
    std::vector<std::optional<double>> values;
    QColor colour;
};

// A level across the bars: the month's peak, the capacity tariff's floor and billed mean.
struct Level {
    double value;
    QString name;
    QColor colour;
    Qt::PenStyle style;
};

void FillBars(QChartView* view, const QString& title, const QStringList& categories,
              const std::vector<BarSet>& sets, const QString& unit, bool stacked,
              const std::vector<Level>& levels = {}) {
    QChart* chart = view->chart();
    chart->removeAllSeries();
    // A removed axis is the caller's to delete (the series are deleted by removeAllSeries): kept,
    // every redraw of a bar tab, one a reading, would leave its axes behind.
    for (QAbstractAxis* axis : chart->axes()) {
        chart->removeAxis(axis);
        delete axis;
    }
    chart->setTitle(title);
    QAbstractBarSeries* series = stacked ? static_cast<QAbstractBarSeries*>(new QStackedBarSeries)
                                         : static_cast<QAbstractBarSeries*>(new QBarSeries);
    double top = 0;
    for (const BarSet& s : sets) {
        auto* set = new QBarSet(s.name);
        set->setColor(s.colour);
        set->setBorderColor(s.colour);
        for (const auto& v : s.values) {
            set->append(v.value_or(0.0));
            top = std::max(top, v.value_or(0.0));
        }
        series->append(set);
    }
    chart->addSeries(series);
    auto* categoryAxis = new QBarCategoryAxis;
    categoryAxis->append(categories);
    auto* valueAxis = new QValueAxis;
    valueAxis->setTitleText(unit);
    chart->addAxis(categoryAxis, Qt::AlignBottom);
    chart->addAxis(valueAxis, Qt::AlignLeft);
    series->attachAxis(categoryAxis);
    series->attachAxis(valueAxis);
    for (const Level& line : levels) {
        auto* level = new QLineSeries;
        level->setName(line.name);
        level->append(-0.5, line.value);
        level->append(double(categories.size()) - 0.5, line.value);
        QPen pen(line.colour);
        pen.setWidth(2);
        pen.setStyle(line.style);
        level->setPen(pen);
        chart->addSeries(level);
        level->attachAxis(categoryAxis);
        level->attachAxis(valueAxis);
        top = std::max(top, line.value);
    }
    valueAxis->setRange(0, top > 0 ? top * 1.1 : 1.0);
    valueAxis->applyNiceNumbers();
    // Many narrow bars (the quarter-hours): the category labels would be cut to nothing, so
    // hours are counted on an axis of their own under the bars.
    if (categories.size() > 48) {
        categoryAxis->setLabelsVisible(false);
        categoryAxis->setGridLineVisible(false);
        auto* hours = new QValueAxis;
        hours->setRange(0, double(categories.size()) / 4);
        hours->setTickCount(int(categories.size()) / 8 + 1);
        hours->setLabelFormat(QStringLiteral("%d"));
        hours->setTitleText(QStringLiteral("hour"));
        chart->addAxis(hours, Qt::AlignBottom);
    }
}

QChartView* MakeView(QWidget* parent) {
    auto* view = new QChartView(new QChart, parent);
    view->setRenderHint(QPainter::Antialiasing, false);
    view->chart()->legend()->setAlignment(Qt::AlignTop);
    return view;
}

} // namespace

// The power chart with wheel zoom and drag pan; it tells the window the time range the user
// chose.
class PowerChartView : public QChartView {
public:
    PowerChartView(QChart* chart, QWidget* parent) : QChartView(chart, parent) {}
    std::function<void(qint64, qint64)> onRange;
    std::function<std::pair<qint64, qint64>()> range;

protected:
    void wheelEvent(QWheelEvent* event) override {
        const auto [from, to] = range();
        const QRectF plot = chart()->plotArea();
        const double at = std::clamp(
            (event->position().x() - plot.left()) / std::max(1.0, plot.width()), 0.0, 1.0);
        const double factor = std::pow(0.8, event->angleDelta().y() / 120.0);
        const double span =
            std::clamp(double(to - from) * factor, double(MinSpanMs), double(MaxSpanMs));
        const double pivot = double(from) + at * double(to - from);
        const auto newFrom = qint64(pivot - at * span);
        onRange(newFrom, newFrom + qint64(span));
        event->accept();
    }
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) {
            dragX_ = event->position().x();
            dragRange_ = range();
            dragging_ = true;
        }
        QChartView::mousePressEvent(event);
    }
    void mouseMoveEvent(QMouseEvent* event) override {
        if (dragging_) {
            const auto [from, to] = dragRange_;
            const double width = std::max(1.0, chart()->plotArea().width());
            const auto shift = qint64((event->position().x() - dragX_) / width * double(to - from));
            onRange(from - shift, to - shift);
        }
        QChartView::mouseMoveEvent(event);
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        dragging_ = false;
        QChartView::mouseReleaseEvent(event);
    }

private:
    bool dragging_ = false;
    double dragX_ = 0;
    std::pair<qint64, qint64> dragRange_;
};

// What the loader thread brings back: the period's readings with the live readings it was given,
// the view decimated, and the month's peak of the history when asked for.
struct ChartWindow::Loaded {
    quint64 generation = 0;
    quint64 liveTaken = 0; // live readings in `series`
    ChartSeries series;
    bool read = false;
    QString error;
    qint64 viewFrom = 0, viewTo = 0;
    int columns = 0;
    std::vector<QPointF> imports, exports, gas;
    bool withPeak = false;
    MonthPeak historyPeak;
    int peakMonth = 0;
    std::vector<CapacityMonth> months; // with the peak: the twelve months that end with it
};

// One thread for the window's history reads. It works on copies only, and tells the window by a
// queued call: the window thread never waits for it but when the window goes.
struct ChartWindow::Loader {
    struct Request {
        quint64 generation = 0;
        QString path;
        QString serial;
        qint64 from = 0, to = 0;
        std::vector<Reading> live;
        quint64 liveTaken = 0;
        qint64 viewFrom = 0, viewTo = 0;
        int columns = 1;
        bool withPeak = false;
        qint64 now = 0;
    };

    explicit Loader(ChartWindow* window) : thread([this, window] { Run(window); }) {}
    ~Loader() {
        {
            std::lock_guard lock(mutex);
            stop = true;
        }
        wanted = 0;
        wake.notify_one();
        thread.join();
    }
    // Replaces any request not yet started; one being read stops at its next reading.
    void Ask(Request request) {
        wanted = request.generation;
        {
            std::lock_guard lock(mutex);
            next = std::move(request);
        }
        wake.notify_one();
    }

    void Run(ChartWindow* window) {
        for (;;) {
            Request r;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return stop || next; });
                if (stop)
                    return;
                r = std::move(*next);
                next.reset();
            }
            const auto cancelled = [this, &r] { return wanted != r.generation; };
            auto loaded = std::make_shared<Loaded>();
            loaded->generation = r.generation;
            loaded->liveTaken = r.liveTaken;
            loaded->read =
                loaded->series.Load(r.path, r.from, r.to, r.serial, &loaded->error, cancelled);
            if (cancelled())
                continue;
            ChartSeries& s = loaded->series;
            for (const Reading& reading : r.live)
                s.Add(reading);
            r.live = {};
            if (r.withPeak) {
                // The month of the newest reading, as UpdatePeak takes it.
                const qint64 now = s.time.empty() ? r.now : std::max(r.now, s.time.back());
                const QDate today = QDateTime::fromMSecsSinceEpoch(now).date();
                QString error;
                const auto report =
                    MonthlyPeakReport(r.path, today.year(), today.month(), r.serial, now, &error);
                loaded->withPeak = true;
                loaded->historyPeak = report ? report->peak : MonthPeak();
                loaded->peakMonth = today.year() * 100 + today.month();
                if (report)
                    loaded->months = report->bill.months;
                else
                    for (const auto& [year, month] : BilledMonths(today.year(), today.month()))
                        loaded->months.push_back({year, month, std::nullopt});
            }
            loaded->viewFrom = r.viewFrom;
            loaded->viewTo = r.viewTo;
            loaded->columns = r.columns;
            loaded->imports = DecimateMinMax(s.time, s.importW, r.viewFrom, r.viewTo, r.columns);
            loaded->exports = DecimateMinMax(s.time, s.exportW, r.viewFrom, r.viewTo, r.columns);
            loaded->gas = DecimateMinMax(s.time, s.gasM3, r.viewFrom, r.viewTo, r.columns);
            if (cancelled())
                continue;
            QMetaObject::invokeMethod(
                window, [window, loaded] { window->FinishLoad(loaded); }, Qt::QueuedConnection);
        }
    }

    std::mutex mutex;
    std::condition_variable wake;
    std::optional<Request> next;
    bool stop = false;
    std::atomic<quint64> wanted{0};
    std::thread thread; // last: starts when the rest is ready
};

ChartWindow::ChartWindow(const QString& databasePath, QWidget* parent)
    : QWidget(parent, Qt::Window), path_(databasePath),
      now_([] { return QDateTime::currentMSecsSinceEpoch(); }) {
    setObjectName(QStringLiteral("frmChart"));
    setWindowTitle(QStringLiteral("KDR31 Visualisation - Chart"));
    resize(1100, 680);

    auto* layout = new QVBoxLayout(this);
    auto* presets = new QHBoxLayout;
    const std::pair<const char*, qint64> spans[] = {
        {"1 h", HourMs}, {"24 h", DayMs}, {"7 days", 7 * DayMs}, {"30 days", 30 * DayMs}};
    for (const auto& [text, span] : spans) {
        auto* button = new QPushButton(QLatin1String(text), this);
        button->setObjectName(QStringLiteral("cmdSpan") + QString(QLatin1String(text)).remove(' '));
        const qint64 s = span;
        connect(button, &QPushButton::clicked, this, [this, s] { ShowLast(s); });
        presets->addWidget(button);
    }
    peakLabel_ = new QLabel(this);
    peakLabel_->setObjectName(QStringLiteral("lblPeak"));
    // Beside the buttons, so that showing it moves no chart: a new chart size would lay out
    // every point again.
    loadingLabel_ = new QLabel(QStringLiteral("Loading\u2026"), this);
    loadingLabel_->setObjectName(QStringLiteral("lblLoading"));
    loadingLabel_->setVisible(false);
    presets->addSpacing(16);
    presets->addWidget(loadingLabel_);
    presets->addSpacing(16);
    presets->addWidget(peakLabel_, 1);
    layout->addLayout(presets);

    tabs_ = new QTabWidget(this);
    layout->addWidget(tabs_, 1);
    statusLabel_ = new QLabel(this);
    statusLabel_->setObjectName(QStringLiteral("lblHistoryStatus"));
    layout->addWidget(statusLabel_);

    // Power over time.
    power_ = new QChart;
    power_->legend()->setAlignment(Qt::AlignTop);
    importLine_ = new QLineSeries;
    importLine_->setName(QStringLiteral("Import power (W)"));
    importLine_->setColor(QColor(214, 90, 20));
    exportLine_ = new QLineSeries;
    exportLine_->setName(QStringLiteral("Export power (W)"));
    exportLine_->setColor(QColor(30, 140, 60));
    gasLine_ = new QLineSeries;
    gasLine_->setName(QStringLiteral("Gas (m\u00b3)"));
    gasLine_->setColor(QColor(40, 90, 200));
    for (QLineSeries* s : {importLine_, exportLine_, gasLine_})
        power_->addSeries(s);
    timeAxis_ = new QDateTimeAxis;
    powerAxis_ = new QValueAxis;
    powerAxis_->setTitleText(QStringLiteral("W"));
    gasAxis_ = new QValueAxis;
    gasAxis_->setTitleText(QStringLiteral("m\u00b3"));
    power_->addAxis(timeAxis_, Qt::AlignBottom);
    power_->addAxis(powerAxis_, Qt::AlignLeft);
    power_->addAxis(gasAxis_, Qt::AlignRight);
    for (QLineSeries* s : {importLine_, exportLine_, gasLine_})
        s->attachAxis(timeAxis_);
    importLine_->attachAxis(powerAxis_);
    exportLine_->attachAxis(powerAxis_);
    gasLine_->attachAxis(gasAxis_);
    powerView_ = new PowerChartView(power_, this);
    powerView_->setObjectName(QStringLiteral("chtPower"));
    powerView_->range = [this] { return std::make_pair(viewFrom_, viewTo_); };
    powerView_->onRange = [this](qint64 from, qint64 to) { SetView(from, to); };
    tabs_->addTab(powerView_, QStringLiteral("Power"));

    hoursView_ = MakeView(this);
    hoursView_->setObjectName(QStringLiteral("chtHours"));
    tabs_->addTab(hoursView_, QStringLiteral("Energy per hour"));
    auto* days = new QWidget(this);
    auto* daysLayout = new QVBoxLayout(days);
    daysLayout->setContentsMargins(0, 0, 0, 0);
    daysView_ = MakeView(days);
    daysView_->setObjectName(QStringLiteral("chtDays"));
    daysLayout->addWidget(daysView_);
    tabs_->addTab(days, QStringLiteral("Energy and gas per day"));
    // The day's quarter-hours, and below them the twelve months the capacity tariff bills.
    auto* quarters = new QWidget(this);
    auto* quartersLayout = new QVBoxLayout(quarters);
    quartersLayout->setContentsMargins(0, 0, 0, 0);
    quartersView_ = MakeView(quarters);
    quartersView_->setObjectName(QStringLiteral("chtQuarters"));
    monthsView_ = MakeView(quarters);
    monthsView_->setObjectName(QStringLiteral("chtMonths"));
    quartersLayout->addWidget(quartersView_, 3);
    quartersLayout->addWidget(monthsView_, 2);
    tabs_->addTab(quarters, QStringLiteral("Quarter-hours"));
    connect(tabs_, &QTabWidget::currentChanged, this, [this] { UpdateBars(); });

    // A drag or a wheel turn may reach outside the loaded period: load once it settles.
    loadTimer_ = new QTimer(this);
    loadTimer_->setSingleShot(true);
    loadTimer_->setInterval(250);
    connect(loadTimer_, &QTimer::timeout, this, [this] { LoadIfNeeded(); });

    span_ = DayMs;
    viewTo_ = now_();
    viewFrom_ = viewTo_ - span_;
}

// The loader goes first: it joins its thread, so no read outlives the window, and a result it
// posted dies with the window's posted events.
ChartWindow::~ChartWindow() {
    loader_.reset();
}

void ChartWindow::SetSerial(const QString& serial) {
    if (serial == serial_)
        return;
    serial_ = serial;
    live_.clear();
    CancelLoad(); // another device's readings
    if (isVisible())
        ShowLast(span_);
}

void ChartWindow::ShowLast(qint64 spanMs) {
    span_ = spanMs;
    const qint64 now = now_();
    following_ = true;
    viewTo_ = now;
    viewFrom_ = now - spanMs;
    // A day more than shown, so the first hour and day have their start.
    loadedFrom_ = DayStart(viewFrom_, QTimeZone::systemTimeZone()) - HourMs;
    loadedTo_ = now + 1;
    StartLoad(loadedFrom_, loadedTo_, true);
}

void ChartWindow::StartLoad(qint64 fromMs, qint64 toMs, bool withPeak) {
    if (!loader_)
        loader_ = std::make_unique<Loader>(this);
    Loader::Request r;
    r.generation = ++generation_;
    r.path = path_;
    r.serial = serial_;
    r.from = fromMs;
    r.to = toMs;
    r.live = live_;
    r.liveTaken = liveTaken_;
    r.viewFrom = viewFrom_;
    r.viewTo = viewTo_;
    r.columns = std::max(1, int(power_->plotArea().width()));
    r.withPeak = withPeak;
    r.now = now_();
    loader_->Ask(std::move(r));
    loading_ = true;
    loadingLabel_->setVisible(true);
}

void ChartWindow::CancelLoad() {
    if (!loading_)
        return;
    ++generation_;
    if (loader_)
        loader_->wanted = generation_;
    loading_ = false;
    loadingLabel_->setVisible(false);
}

void ChartWindow::FinishLoad(const std::shared_ptr<Loaded>& loaded) {
    if (loaded->generation != generation_)
        return; // a newer request is on its way
    loading_ = false;
    series_ = std::move(loaded->series);
    // The readings that arrived while the loader read.
    const size_t missed = size_t(std::min<quint64>(liveTaken_ - loaded->liveTaken, live_.size()));
    for (size_t i = live_.size() - missed; i < live_.size(); ++i)
        series_.Add(live_[i]);
    loadingLabel_->setVisible(false);
    if (!loaded->read)
        SetHistoryStatus(QStringLiteral("History cannot be read: ") + loaded->error);
    if (loaded->withPeak) {
        historyPeak_ = loaded->historyPeak;
        historyPeakMonth_ = loaded->peakMonth;
        months_ = std::move(loaded->months);
    }
    const int columns = std::max(1, int(power_->plotArea().width()));
    if (missed == 0 && loaded->viewFrom == viewFrom_ && loaded->viewTo == viewTo_ &&
        loaded->columns == columns)
        Plot(std::move(loaded->imports), std::move(loaded->exports), std::move(loaded->gas));
    else
        Redraw();
    // The peak and the bars scan the month's readings too: after a timer, not a posted call, so
    // that the window paints and takes its other events in between.
    const bool withPeak = loaded->withPeak;
    QTimer::singleShot(1, this, [this, withPeak, generation = generation_] {
        if (generation != generation_)
            return;
        if (withPeak)
            UpdatePeak(false);
        UpdateBars();
    });
}

void ChartWindow::SetSeries(ChartSeries series) {
    series_ = std::move(series);
    if (!series_.time.empty()) {
        loadedFrom_ = series_.time.front();
        loadedTo_ = series_.time.back() + 1;
    }
}

void ChartWindow::SetView(qint64 fromMs, qint64 toMs) {
    viewFrom_ = fromMs;
    viewTo_ = toMs;
    span_ = toMs - fromMs;
    const qint64 newest = series_.time.empty() ? now_() : series_.time.back();
    following_ = toMs >= newest;
    Redraw();
    loadTimer_->start();
}

void ChartWindow::LoadIfNeeded() {
    if (viewFrom_ >= loadedFrom_ && viewTo_ <= loadedTo_) {
        UpdateBars();
        return;
    }
    loadedFrom_ = std::min(loadedFrom_, viewFrom_ - span_ / 2);
    loadedTo_ = std::max(loadedTo_, std::min(viewTo_ + span_ / 2, now_() + 1));
    StartLoad(loadedFrom_, loadedTo_, false);
}

void ChartWindow::AddReading(const Reading& reading) {
    if (reading.serial != serial_)
        SetSerial(reading.serial);
    // Live readings survive a reload from the history even when recording is off.
    constexpr size_t LiveLimit = 20'000;
    if (live_.size() >= LiveLimit)
        live_.erase(live_.begin(), live_.begin() + LiveLimit / 2);
    live_.push_back(reading);
    // The figures worked out for the reading are some 200 bytes of their own, kept alive by each
    // reading held here: the chart reads the readings only.
    live_.back().capacity.reset();
    ++liveTaken_;
    series_.Add(reading);
    loadedTo_ = std::max(loadedTo_, reading.row.time + 1);
    if (!following_)
        return;
    viewTo_ = std::max(viewTo_, reading.row.time);
    viewFrom_ = viewTo_ - span_;
    if (!isVisible())
        return;
    UpdatePeak(false);
    Redraw();
    if (tabs_->currentIndex() != 0)
        UpdateBars();
}

void ChartWindow::SetHistoryStatus(const QString& text) {
    historyStatus_ = text;
    statusLabel_->setText(text);
    statusLabel_->setVisible(!text.isEmpty());
}

void ChartWindow::Redraw() {
    const int columns = std::max(1, int(power_->plotArea().width()));
    const auto& s = series_;
    Plot(DecimateMinMax(s.time, s.importW, viewFrom_, viewTo_, columns),
         DecimateMinMax(s.time, s.exportW, viewFrom_, viewTo_, columns),
         DecimateMinMax(s.time, s.gasM3, viewFrom_, viewTo_, columns));
}

void ChartWindow::Plot(std::vector<QPointF> imports, std::vector<QPointF> exports,
                       std::vector<QPointF> gas) {
    // Value ranges from what is in view.
    double top = 0, gasLow = 0, gasHigh = 0;
    bool gasSeen = false;
    const auto inView = [this](const QPointF& p) {
        return p.x() >= double(viewFrom_) && p.x() < double(viewTo_);
    };
    for (const auto* line : {&imports, &exports})
        for (const QPointF& p : *line)
            if (inView(p))
                top = std::max(top, p.y());
    for (const QPointF& p : gas) {
        if (!inView(p))
            continue;
        gasLow = gasSeen ? std::min(gasLow, p.y()) : p.y();
        gasHigh = gasSeen ? std::max(gasHigh, p.y()) : p.y();
        gasSeen = true;
    }
    // Every change of an axis lays out the points its lines hold: the lines are emptied first,
    // so that the new points are laid out once, not once per axis change (a month's points
    // took 20 ms of the window thread that way).
    for (QLineSeries* line : {importLine_, exportLine_, gasLine_})
        line->clear();
    timeAxis_->setRange(QDateTime::fromMSecsSinceEpoch(viewFrom_),
                        QDateTime::fromMSecsSinceEpoch(viewTo_));
    timeAxis_->setFormat(span_ <= DayMs ? QStringLiteral("HH:mm") : QStringLiteral("dd-MM HH:mm"));
    powerAxis_->setRange(0, top > 0 ? top * 1.1 : 1000);
    powerAxis_->applyNiceNumbers();
    if (gasSeen) {
        gasAxis_->setRange(gasLow - 0.05, std::max(gasHigh, gasLow + 0.1) + 0.05);
        gasAxis_->applyNiceNumbers();
    }
    importLine_->replace(ToList(imports));
    exportLine_->replace(ToList(exports));
    gasLine_->replace(ToList(gas));
}

int ChartWindow::PlottedPoints() const {
    return int(importLine_->count() + exportLine_->count() + gasLine_->count());
}

void ChartWindow::UpdatePeak(bool fromHistory) {
    const QTimeZone zone = QTimeZone::systemTimeZone();
    const qint64 now = series_.time.empty() ? now_() : std::max(now_(), series_.time.back());
    const QDate today = QDateTime::fromMSecsSinceEpoch(now).date();
    QString text;
    QString error;
    // The month's peak of the history, read when the window loads a period or a new month
    // begins, and of the readings held (recording may be off).
    const int month = today.year() * 100 + today.month();
    if (fromHistory || historyPeakMonth_ != month) {
        const auto report =
            MonthlyPeakReport(path_, today.year(), today.month(), serial_, now, &error);
        historyPeak_ = report ? report->peak : MonthPeak();
        historyPeakMonth_ = month;
    }
    MonthPeak peak = PeakOfMonth(series_.importWh, today.year(), today.month(), zone);
    if (historyPeak_.found && (!peak.found || historyPeak_.peak.averageW > peak.peak.averageW))
        peak = historyPeak_;
    monthPeak_ = peak;
    monthOfPeak_ = today.year() * 100 + today.month();
    if (peak.found)
        text = QStringLiteral("Month's peak: %1 on %2 at %3")
                   .arg(Kilowatts(peak.peak.averageW), LocalText(peak.peak.start, "dd-MM"),
                        LocalText(peak.peak.start, "HH:mm"));
    else
        text = QStringLiteral("Month's peak: none yet");
    if (const auto running = RunningQuarterAverage(series_.importWh, now, zone))
        text += QStringLiteral("     This quarter-hour (since %1): %2 so far")
                    .arg(LocalText(QuarterStart(now, zone), "HH:mm"), Kilowatts(*running));
    peakLabel_->setText(text);
}

QString ChartWindow::PeakText() const {
    return peakLabel_->text();
}

void ChartWindow::UpdateBars() {
    const QTimeZone zone = QTimeZone::systemTimeZone();
    const int tab = tabs_->currentIndex();
    if (tab == 1) {
        // The 24 hours up to the end of the view.
        const qint64 to = HourStart(viewTo_ - 1, zone) + HourMs;
        const auto bars = EnergyBars(series_, to - DayMs, to, Calendar::Hour, zone);
        QStringList categories;
        BarSet imports{QStringLiteral("Import (kWh)"), {}, QColor(214, 90, 20)};
        BarSet exports{QStringLiteral("Export (kWh)"), {}, QColor(30, 140, 60)};
        for (const EnergyBar& bar : bars) {
            if (bar.start >= to)
                break;
            categories << LocalText(bar.start, "HH");
            imports.values.push_back(bar.importWh ? std::optional(*bar.importWh / 1000)
                                                  : std::nullopt);
            exports.values.push_back(bar.exportWh ? std::optional(*bar.exportWh / 1000)
                                                  : std::nullopt);
        }
        FillBars(hoursView_,
                 QStringLiteral("Energy per hour, to %1").arg(LocalText(to, "dd-MM HH:mm")),
                 categories, {imports, exports}, QStringLiteral("kWh"), false);
    } else if (tab == 2) {
        const qint64 from = DayStart(viewFrom_, zone);
        const auto bars = EnergyBars(series_, from, viewTo_, Calendar::Day, zone);
        QStringList categories;
        BarSet imports{QStringLiteral("Import (kWh)"), {}, QColor(214, 90, 20)};
        BarSet exports{QStringLiteral("Export (kWh)"), {}, QColor(30, 140, 60)};
        BarSet gas{QStringLiteral("Gas (m\u00b3)"), {}, QColor(40, 90, 200)};
        for (const EnergyBar& bar : bars) {
            if (bar.start >= viewTo_)
                break;
            categories << LocalText(bar.start, "dd-MM");
            imports.values.push_back(bar.importWh ? std::optional(*bar.importWh / 1000)
                                                  : std::nullopt);
            exports.values.push_back(bar.exportWh ? std::optional(*bar.exportWh / 1000)
                                                  : std::nullopt);
            gas.values.push_back(bar.gasM3);
        }
        FillBars(daysView_, QStringLiteral("Energy (kWh) and gas (m\u00b3) per day"), categories,
                 {imports, exports, gas}, QStringLiteral("kWh, m\u00b3"), false);
    } else if (tab == 3) {
        // The quarter-hours of the day at the end of the view.
        const qint64 day = DayStart(viewTo_ - 1, zone);
        const qint64 dayEnd = DayStart(day + DayMs + 2 * HourMs, zone);
        const qint64 now = series_.time.empty() ? now_() : series_.time.back();
        const auto quarters = QuarterHours(series_.importWh, day, dayEnd, zone);
        QStringList categories;
        BarSet done{QStringLiteral("Average import (kW)"), {}, QColor(214, 90, 20)};
        BarSet running{QStringLiteral("This quarter-hour so far (kW)"), {}, QColor(240, 170, 60)};
        const auto current = RunningQuarterAverage(series_.importWh, now, zone);
        for (const QuarterHour& q : quarters) {
            categories << LocalText(q.start, "HH:mm");
            done.values.push_back(q.complete ? std::optional(q.averageW / 1000) : std::nullopt);
            const bool isNow = now >= q.start && now < q.end;
            running.values.push_back(isNow && current ? std::optional(*current / 1000)
                                                      : std::nullopt);
        }
        const QDate date = QDateTime::fromMSecsSinceEpoch(day).date();
        // The month's peak of the history (UpdatePeak) when the day is in the current month;
        // otherwise from the readings held.
        const MonthPeak peak = monthOfPeak_ == date.year() * 100 + date.month()
                                   ? monthPeak_
                                   : PeakOfMonth(series_.importWh, date.year(), date.month(), zone);
        std::optional<double> level;
        QString title = QStringLiteral("Quarter-hours of %1").arg(LocalText(day, "dd-MM-yyyy"));
        if (peak.found) {
            level = peak.peak.averageW / 1000;
            title +=
                QStringLiteral(" - month's peak %1 on %2")
                    .arg(Kilowatts(peak.peak.averageW), LocalText(peak.peak.start, "dd-MM HH:mm"));
        }
        std::vector<Level> levels;
        if (level)
            levels.push_back(
                {*level, QStringLiteral("Month's peak (kW)"), QColor(200, 30, 30), Qt::DashLine});
        FillBars(quartersView_, title, categories, {done, running}, QStringLiteral("kW"), true,
                 levels);
        UpdateMonths();
    }
}

void ChartWindow::UpdateMonths() {
    // The twelve months of the history, the month in progress at its peak so far as this window
    // knows it (the history's or the readings held, the higher).
    std::vector<CapacityMonth> months = months_;
    if (!months.empty() && monthPeak_.found &&
        monthOfPeak_ == months.back().year * 100 + months.back().month &&
        (!months.back().peakW || monthPeak_.peak.averageW > *months.back().peakW))
        months.back().peakW = monthPeak_.peak.averageW;
    const CapacityBill bill = BillOf(months);
    QStringList categories;
    BarSet counted{QStringLiteral("Counted peak (kW)"), {}, QColor(214, 90, 20)};
    for (const CapacityMonth& m : bill.months) {
        categories << MonthText(m.year, m.month);
        const std::optional<double> w = m.CountedW();
        counted.values.push_back(w ? std::optional(*w / 1000) : std::nullopt);
    }
    std::vector<Level> levels{{CapacityFloorW / 1000, QStringLiteral("Floor (2.5 kW)"),
                               QColor(90, 90, 90), Qt::DashLine}};
    QString title = QStringLiteral("Capacity tariff, 12 months: ");
    if (bill.billedPeakW) {
        levels.push_back({*bill.billedPeakW / 1000, QStringLiteral("Billed peak (kW)"),
                          QColor(25, 113, 194), Qt::SolidLine});
        title += QStringLiteral("billed peak %1, the mean of %2 of them")
                     .arg(Kilowatts(*bill.billedPeakW))
                     .arg(bill.monthsCounted);
    } else {
        title += QStringLiteral("none with a complete quarter-hour yet");
    }
    FillBars(monthsView_, title, categories, {counted}, QStringLiteral("kW"), false, levels);
    monthsBill_ = bill;
}
