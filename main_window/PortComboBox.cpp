#include "main_window/PortComboBox.h"

#include "device_link/PortMap.h"

void PortComboBox::showPopup() {
    RefreshPortList(*this);
    QComboBox::showPopup();
}

void RefreshPortList(QComboBox& list) {
    PortMap::Refresh();
    for (int index = 0; index < list.count(); ++index)
        list.setItemData(index, PortToolTip(PortMap::Port(index + 1)), Qt::ToolTipRole);
}
