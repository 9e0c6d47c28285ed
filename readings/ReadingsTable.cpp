#include "readings/ReadingsTable.h"

#include <QDateTime>

ReadingsTable::ReadingsTable(const QLocale& locale)
    : locale_(locale), dateFormat_(locale.dateFormat(QLocale::ShortFormat)),
      timeFormat_(TimeFormatWithSeconds(locale)) {
    fieldOfColumn_.fill(-1);
    for (int i = 0; i < ReadingsFieldCount; ++i)
        fieldOfColumn_[static_cast<size_t>(ReadingsFields[static_cast<size_t>(i)].column)] = i;
}

void ReadingsTable::SetRows(int rows) {
    rows_.resize(static_cast<size_t>(std::max(0, rows - 1)));
    rows_.shrink_to_fit();
}

void ReadingsTable::SetCaption(int column, const QString& caption) {
    captions_.at(static_cast<size_t>(column)) = caption;
}

QString ReadingsTable::TextMatrix(int row, int column) const {
    if (column < 0 || column >= GridColumns || row < 0 || row >= Rows())
        return {};
    if (row == 0)
        return captions_[static_cast<size_t>(column)];
    const ReadingsRow& r = DataRow(row);
    if (r.state == ReadingsRow::Blank)
        return {};
    if (column == 0 || column == 1) {
        const QDateTime when = QDateTime::fromMSecsSinceEpoch(r.time);
        return column == 0 ? locale_.toString(when.date(), dateFormat_)
                           : locale_.toString(when.time(), timeFormat_);
    }
    if (r.state == ReadingsRow::Failed)
        return column == 3 ? QStringLiteral("???") : QString();
    const int field = fieldOfColumn_[static_cast<size_t>(column)];
    if (field < 0 || !(r.present & (1u << field)))
        return {};
    if (field == TariffField)
        return r.tariffLow ? QStringLiteral("Low") : QStringLiteral("High");
    return NumberText(r.fields[static_cast<size_t>(field)], locale_.decimalPoint().at(0)) +
           QString::fromUtf8(ReadingsFields[static_cast<size_t>(field)].unit);
}

Qt::Alignment ReadingsTable::CellAlignment(int row, int column) const {
    if (column < 0 || column >= GridColumns)
        return Qt::AlignLeft | Qt::AlignVCenter;
    if (row == 0 && !captions_[static_cast<size_t>(column)].isEmpty())
        return Qt::AlignCenter;
    if (row > 0 && column == ReadingsFields[TariffField].column)
        return Qt::AlignCenter;
    return Qt::AlignLeft | Qt::AlignVCenter;
}
