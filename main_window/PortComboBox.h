#pragma once
// The port list: its entries stay "COM1:" to "COM32:", and each time it is opened it reads the
// machine's ports afresh, so an adapter plugged in after start-up is found, and tells in each
// entry's tooltip which device stands behind it.

#include <QComboBox>

class PortComboBox : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    void showPopup() override;
};

// Reads the machine's ports afresh and names each entry's device in its tooltip.
void RefreshPortList(QComboBox& list);
