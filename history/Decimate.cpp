#include "history/Decimate.h"

#include <algorithm>
#include <cmath>

std::vector<QPointF> DecimateMinMax(const std::vector<qint64>& x, const std::vector<float>& y,
                                    qint64 xFrom, qint64 xTo, int columns) {
    std::vector<QPointF> out;
    const size_t n = std::min(x.size(), y.size());
    if (n == 0 || columns <= 0 || xTo <= xFrom)
        return out;
    const size_t first =
        size_t(std::lower_bound(x.begin(), x.begin() + long(n), xFrom) - x.begin());
    const size_t end = size_t(std::lower_bound(x.begin(), x.begin() + long(n), xTo) - x.begin());
    out.reserve(size_t(columns) * 2 + 2);

    // The nearest valued point outside the range on each side.
    for (size_t i = first; i-- > 0;) {
        if (!std::isnan(y[i])) {
            out.emplace_back(double(x[i]), double(y[i]));
            break;
        }
    }

    const double perMs = double(columns) / double(xTo - xFrom);
    auto columnOf = [&](qint64 t) { return long(double(t - xFrom) * perMs); };
    size_t i = first;
    while (i < end) {
        const long column = columnOf(x[i]);
        size_t lo = end, hi = end;
        for (; i < end && columnOf(x[i]) == column; ++i) {
            if (std::isnan(y[i]))
                continue;
            if (lo == end || y[i] < y[lo])
                lo = i;
            if (hi == end || y[i] > y[hi])
                hi = i;
        }
        if (lo == end)
            continue;
        const size_t a = std::min(lo, hi), b = std::max(lo, hi);
        out.emplace_back(double(x[a]), double(y[a]));
        if (b != a)
            out.emplace_back(double(x[b]), double(y[b]));
    }

    for (size_t j = end; j < n; ++j) {
        if (!std::isnan(y[j])) {
            out.emplace_back(double(x[j]), double(y[j]));
            break;
        }
    }
    return out;
}
