#include "readings/ReadingsModel.h"

#include <QDateTime>

ReadingsModel::ReadingsModel(QObject* parent, const QLocale& locale)
    : QAbstractTableModel(parent), locale_(locale),
      dateFormat_(locale.dateFormat(QLocale::ShortFormat)),
      timeFormat_(TimeFormatWithSeconds(locale)) {
    fieldOfColumn_.fill(-1);
    for (int i = 0; i < ReadingsFieldCount; ++i)
        fieldOfColumn_[static_cast<size_t>(ReadingsFields[static_cast<size_t>(i)].column)] = i;
}

void ReadingsModel::SetRows(int rows) {
    const int wanted = std::max(0, rows - 1);
    const int have = static_cast<int>(rows_.size());
    if (wanted < have) {
        beginRemoveRows(QModelIndex(), wanted, have - 1);
        rows_.resize(static_cast<size_t>(wanted));
        endRemoveRows();
    } else if (wanted > have) {
        beginInsertRows(QModelIndex(), have, wanted - 1);
        rows_.resize(static_cast<size_t>(wanted));
        endInsertRows();
    }
}

void ReadingsModel::AppendRow(const ReadingsRow& row) {
    const int at = static_cast<int>(rows_.size());
    beginInsertRows(QModelIndex(), at, at);
    rows_.push_back(row);
    endInsertRows();
}

void ReadingsModel::SetCaption(int column, const QString& caption) {
    captions_.at(static_cast<size_t>(column)) = caption;
    emit headerDataChanged(Qt::Horizontal, column, column);
}

QString ReadingsModel::TextMatrix(int row, int column) const {
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

Qt::Alignment ReadingsModel::CellAlignment(int row, int column) const {
    if (row == 0 && !captions_[static_cast<size_t>(column)].isEmpty())
        return Qt::AlignCenter;
    if (row > 0 && column == ReadingsFields[TariffField].column)
        return Qt::AlignCenter;
    return Qt::AlignLeft | Qt::AlignVCenter;
}

int ReadingsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ReadingsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : GridColumns;
}

QVariant ReadingsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    if (role == Qt::DisplayRole)
        return TextMatrix(index.row() + 1, index.column());
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(CellAlignment(index.row() + 1, index.column()));
    return {};
}

QVariant ReadingsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= GridColumns)
        return QAbstractTableModel::headerData(section, orientation, role);
    if (role == Qt::DisplayRole)
        return captions_[static_cast<size_t>(section)];
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(CellAlignment(0, section));
    return {};
}
