#pragma once
// Everything an upgrade test needs: a firmware server on 127.0.0.1 serving an upgrade list and a
// HEX file, a simulated KDR31 on COM1:, the real window connected to it, and a recorder that
// samples the progress window while the upgrade runs.

#include "support/FtpServer.h"
#include "support/SimulatedPorts.h"
#include "support/WindowFixture.h"

#include "app/ModMain.h"
#include "device_link/Clock.h"
#include "firmware/UpgradeSteps.h"
#include "firmware/frmProgress.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <array>
#include <curl/curl.h>
#include <functional>

// An upgrade list of `size` bytes naming `version` at bytes 40 to 43.
inline QByteArray UpgradeList(const FirmwareVersion& version, int size = UpgradeListMinBytes) {
    QByteArray list(size, '\x5A');
    for (int i = 0; i < 4 && UpgradeListVersionOffset + i < size; ++i)
        list[UpgradeListVersionOffset + i] = char(version[size_t(i)]);
    return list;
}

// Image bytes that differ from block to block and include every byte value.
inline QByteArray TestImage(int size, int seed = 1) {
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 31 + i / 251 + seed * 17) & 0xFF);
    return image;
}

// The image as an Intel HEX file: 16-byte data records from address `base`, then the end record.
inline QByteArray HexFileOf(const QByteArray& image, int base = 0) {
    QByteArray text;
    for (int offset = 0; offset < image.size(); offset += 16) {
        const QByteArray data = image.mid(offset, 16);
        const int address = base + offset;
        QByteArray record;
        record.append(char(data.size()));
        record.append(char((address >> 8) & 0xFF));
        record.append(char(address & 0xFF));
        record.append('\0');
        record.append(data);
        int sum = 0;
        for (const char b : record)
            sum -= static_cast<unsigned char>(b);
        record.append(char(sum & 0xFF));
        text += ':' + record.toHex().toUpper() + "\r\n";
    }
    return text + ":00000001FF\r\n";
}

inline const FirmwareVersion DeviceVersion{1, 2, 3, 4};

// The controls that must not be used while an upgrade runs.
inline QList<QWidget*> DisturbingControls(frmKDR31& w) {
    return {w.cmdCloseCom, w.cmdOpenCom, w.cmdScanCom, w.cmbComPort,
            w.cmdUpgrade,  w.cmdDebug,   w.fraSettings};
}
inline const FirmwareVersion ListVersion{1, 2, 4, 0};

// Samples the progress window every millisecond; the samples are taken whenever the upgrade lets
// the event loop run (in every wait and right after every command is written).
struct ProgressRecorder {
    struct Sample {
        double at = 0; // Timer()
        QString label;
        int bar = 0;
    };

    frmKDR31& w;
    QTimer timer;
    QList<Sample> samples;      // each run of equal (label, bar) samples once
    QList<Sample> barChanges;   // every value the bar took, when it took it, even in between
    QStringList labels;         // each run of equal labels once
    QString caption;            // the window's caption as last seen
    bool controlsLocked = true; // every sample found the disturbing controls disabled
    bool pollRan = false;       // timScan was seen running during the upgrade
    // Runs at every sample with the label then shown.
    std::function<void(const QString&)> onSample;
    QPointer<frmProgress> watched; // the progress window whose bar is followed

    explicit ProgressRecorder(frmKDR31& window) : w(window) {
        timer.setInterval(1);
        QObject::connect(&timer, &QTimer::timeout, [this] { Take(); });
        timer.start();
    }

    void Take() {
        frmProgress* progress = w.Progress();
        if (progress == nullptr || !progress->isVisible())
            return;
        if (watched != progress) {
            watched = progress;
            QObject::connect(progress->pgb1, &QProgressBar::valueChanged, progress,
                             [this, progress](int value) {
                                 barChanges.append({Timer(), progress->lblprogress->text(), value});
                             });
        }
        caption = progress->windowTitle();
        const QString label = progress->lblprogress->text();
        const int bar = progress->pgb1->value();
        if (samples.isEmpty() || samples.last().label != label || samples.last().bar != bar)
            samples.append({Timer(), label, bar});
        if (labels.isEmpty() || labels.last() != label)
            labels << label;
        for (QWidget* control : DisturbingControls(w))
            controlsLocked = controlsLocked && !control->isEnabled();
        pollRan = pollRan || w.timScan->isActive();
        if (onSample)
            onSample(label);
    }

    // The first time a label was seen; negative when never.
    double FirstSeen(const QString& label) const {
        for (const Sample& sample : samples)
            if (sample.label == label)
                return sample.at;
        return -1;
    }
};

// A server with the list and the HEX file, a device on COM1: and the window connected to it.
struct UpgradeRig {
    SimulatedDevice sim{1};
    FtpServer server;
    WindowUnderTest t;
    frmKDR31& w = t.w;

    explicit UpgradeRig(FtpServer::Options options = {}) : server(options) {}

    // Returns false (and says why in `error`) when a part could not be started.
    bool Start(const QByteArray& list, const QByteArray& hexFile, QString* error = nullptr) {
        const auto fail = [error](const QString& why) {
            if (error != nullptr)
                *error = why;
            return false;
        };
        if (!server.IsRunning())
            return fail(server.Error());
        if (!list.isNull() && !server.AddFile(QStringLiteral("TAMO_UPGlist.bin"), list))
            return fail(QStringLiteral("cannot serve the list"));
        if (!hexFile.isNull() && !server.AddFile(QStringLiteral("KDR31v2.hex"), hexFile))
            return fail(QStringLiteral("cannot serve the HEX file"));
        server.UseAsFirmwareServer();
        if (!sim.Start())
            return fail(QString::fromStdString(sim.device.ErrorText()));
        sim.device.SetVersion(DeviceVersion);
        sim.device.SetRebootTime(std::chrono::milliseconds(1500));
        t.Connect(1);
        if (!w.timScan->isActive())
            return fail(QStringLiteral("the window did not connect: ") + w.windowTitle());
        ModMain::CancelRequested = 0;
        return true;
    }

    // Frames of one command the device received since the connection.
    size_t Frames(std::uint8_t command) const { return sim.device.ReceivedFrames(command).size(); }
};

// Every control the upgrade disables is enabled again.
inline bool ControlsReleased(frmKDR31& w) {
    for (QWidget* control : DisturbingControls(w))
        if (!control->isEnabled())
            return false;
    return true;
}

// Block numbers of the block commands the device received, in order.
inline QList<int> BlockNumbers(const UpgradeRig& rig) {
    QList<int> numbers;
    for (const sim::Received& frame : rig.sim.device.ReceivedFrames(208))
        numbers << frame.payload.at(1);
    return numbers;
}

// Once per test program: libcurl, and temp.tmp in a directory of the run's own.
inline bool PrepareUpgradeTests(const QTemporaryDir& cache) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path()));
    return cache.isValid();
}

// No progress window is left anywhere.
inline bool NoProgressWindow(frmKDR31& w) {
    if (w.Progress() != nullptr)
        return false;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == QLatin1String("frmProgress"))
            return false;
    return true;
}
