#pragma once
// Thinning a long series for a chart that is only so many pixels wide: per pixel column the
// lowest and the highest point, in time order. A line drawn through them covers exactly the
// pixels that the full series would, so no spike is lost, whatever the zoom.

#include <QPointF>
#include <vector>

// x sorted ascending (ms since the epoch), y the values (NaN: no value, skipped). The range
// [xFrom, xTo) is split into `columns` equal columns; each column that holds points gives its
// minimum and maximum (one point when they coincide). The last point before the range and the
// first after it are kept too, so the line runs on to the chart's edges.
std::vector<QPointF> DecimateMinMax(const std::vector<qint64>& x, const std::vector<float>& y,
                                    qint64 xFrom, qint64 xTo, int columns);
