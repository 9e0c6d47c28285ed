// The readings grid as a log left running for weeks: appends 1,000,000 rows the way the poll
// does (append, make it the current row, keep the newest in view) to the real grid in a shown
// window, painting every 1,000 rows, and prints the memory it took and the cost of one append at
// the start and at the end.
//
//   kdr31_bench_readings_grid [rows]     (default 1000000)

#include "readings/ReadingsGrid.h"
#include "support/ProcessUsage.h"

#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

double Median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

double PaintMs(ReadingsGrid& grid) {
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 20; ++i)
        grid.viewport()->repaint();
    return clock.nsecsElapsed() / 1e6 / 20;
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rows = argc > 1 ? std::max(2000, std::atoi(argv[1])) : 1000000;

    ReadingsGrid grid;
    grid.resize(1199, 432);
    grid.SetCaptionHeight(27);
    grid.SetRowHeight(21);
    for (int c = 0; c < GridColumns; ++c)
        grid.SetColWidth(c, 60);
    grid.show();
    QApplication::processEvents();

    ReadingsRow row;
    row.state = ReadingsRow::Received;
    row.present = 0x1FFF;
    row.fields = {420.0f, 1523400.0f, 1834500.0f, 1.2f, 0.0f,  402300.0f, 187600.0f,
                  0.0f,   3456.789f,  0.001f,     2.0f, 17.0f, 4.0f};

    const long before = ResidentKiB();
    std::vector<double> micros;
    micros.reserve(static_cast<size_t>(rows));
    double paintAtStart = 0;
    QElapsedTimer total;
    total.start();
    QElapsedTimer clock;
    for (int i = 0; i < rows; ++i) {
        row.time = 1700000000000LL + i * 10000LL;
        row.fields[0] = 100.0f + static_cast<float>(i % 3000);
        clock.start();
        grid.AppendRow(row);
        const int newRow = grid.Rows() - 1;
        grid.SetRow(newRow);
        if (newRow >= 19)
            grid.SetTopRow(newRow - 18);
        micros.push_back(clock.nsecsElapsed() / 1e3);
        if (i % 1000 == 999)
            QApplication::processEvents();
        if (i == 999)
            paintAtStart = PaintMs(grid);
    }
    QApplication::processEvents();
    const double seconds = total.elapsed() / 1e3;
    const long after = ResidentKiB();
    const double paintAtEnd = PaintMs(grid);

    const std::vector<double> first(micros.begin(), micros.begin() + 1000);
    const std::vector<double> last(micros.end() - 1000, micros.end());
    std::printf("readings grid, %d rows appended in %.1f s\n", rows, seconds);
    std::printf("  %-44s %10.1f MB\n", "resident memory, whole process, at the end",
                after / 1024.0);
    std::printf("  %-44s %10.1f MB\n", "of which the rows (growth while appending)",
                (after - before) / 1024.0);
    std::printf("  %-44s %10.2f us\n", "append, median of the first 1,000", Median(first));
    std::printf("  %-44s %10.2f us\n", "append, median of the last 1,000", Median(last));
    std::printf("  %-44s %10.2f ms\n", "repaint of the view at 1,000 rows", paintAtStart);
    std::printf("  %-44s %10.2f ms\n", "repaint of the view at the end", paintAtEnd);
    return 0;
}
