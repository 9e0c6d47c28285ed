#pragma once
// A simulated KDR31 on a pseudo-terminal. It answers the identify, readings, settings and debug
// log commands and the boot loader's two upload commands as the device does, and can be told to
// misbehave. It runs on a thread of its own; the tool reaches it through the real serial port
// class by opening PortPath().
//
// Thread safety: every public method may be called from any thread.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sim {

using Bytes = std::vector<std::uint8_t>;

struct DeviceSettings {
    std::uint8_t interval = 10; // seconds between readings, 5-60
    std::uint8_t country = 1;   // 1 Netherlands, 2 Belgium
    std::uint8_t protocol = 5;  // DSMR major version 2, 4 or 5
    std::uint8_t divider = 1;   // pulse divider, 1-10
};

// How the simulator answers a command.
enum class Fault {
    None,           // answers as the device does
    Silent,         // answers nothing
    Late,           // answers after Options::lateDelay
    StrayByte,      // one extra byte before the reply
    WrongEnd,       // the end marker is replaced
    LengthOverflow, // long reply with a length high byte of 6
    Garbage,        // three bytes that are not the acknowledgement instead of it
    SplitLate,      // the first half of the reply at once, the rest after the late delay
};

// The line settings of the tool's end of the pseudo-terminal. A pseudo-terminal carries bytes
// whatever its settings, so the simulator reads them back to stand in for a real line, where
// another speed or framing turns every byte into noise. Linux keeps every pseudo-terminal at 8
// data bits without parity whatever is asked; speed, stop bits and flow control read back as
// the tool set them.
struct LineSettings {
    int baud = 0; // 0 for a speed outside the standard ones
    int dataBits = 0;
    char parity = 'N'; // 'N', 'E' or 'O'
    int stopBits = 0;
    bool rtsCts = false;  // hardware flow control
    bool xonXoff = false; // software flow control
};
bool operator==(const LineSettings& a, const LineSettings& b);
inline bool operator!=(const LineSettings& a, const LineSettings& b) {
    return !(a == b);
}
// The only line on which the device hears the tool: 115200 baud, 8 data bits, no parity,
// 1 stop bit, no flow control.
LineSettings DeviceLine();

// What the boot loader made of the upload commands (208 blocks, 210 finishing command).
struct BootLoaderState {
    int blocksAccepted = 0;  // block commands acknowledged
    int blockCrcErrors = 0;  // block commands refused because their CRC was wrong
    int finishRefusals = 0;  // finishing commands refused, for whatever reason
    int finishCrcErrors = 0; // finishing commands whose own CRC was wrong
    int imageCrcErrors = 0;  // finishing commands whose image CRC did not match the blocks
    int missingBlocks = 0;   // blocks the last refused finishing command counted but never came
    bool flashed = false;    // a finishing command was accepted
    Bytes flashedImage;      // the blocks of the accepted upload, in order
    std::array<std::uint8_t, 4> flashedVersion{};
};

// A frame the simulator received, with the time it was complete.
struct Received {
    std::uint8_t command = 0;
    Bytes payload;
    std::chrono::steady_clock::time_point at;
};

class Kdr31Simulator {
public:
    Kdr31Simulator();
    ~Kdr31Simulator();
    Kdr31Simulator(const Kdr31Simulator&) = delete;
    Kdr31Simulator& operator=(const Kdr31Simulator&) = delete;

    // Opens the pseudo-terminal and starts answering. False when no pseudo-terminal could be
    // had (ErrorText() says why).
    bool Start();
    // The device path the tool opens (/dev/pts/N).
    std::string PortPath() const;
    std::string ErrorText() const;

    // The device goes away: its end of the line is closed, as when a USB adapter is pulled out.
    void HangUp();

    // Identity and state reported by the identify command.
    void SetVersion(std::array<std::uint8_t, 4> version);
    std::array<std::uint8_t, 4> Version() const;
    void SetSerialNumber(const std::string& serial); // 8 characters are sent
    void SetSettings(DeviceSettings settings);
    DeviceSettings Settings() const;

    // Misbehaviour for one command; times < 0 means until changed.
    void SetFault(std::uint8_t command, Fault fault, int times = -1);
    void SetLateDelay(std::chrono::milliseconds delay);
    // The next replies to a command are exactly these bytes (one entry per request), instead
    // of what the device would send.
    void QueueRawReply(std::uint8_t command, Bytes reply);
    // Sends bytes on its own, after a delay, whatever the tool asks.
    void Inject(Bytes bytes, std::chrono::milliseconds delay);
    // Data bytes of the identify reply (normally 16) and of the readings reply (normally 52).
    void SetIdentifyDataLength(int bytes);
    void SetReadingsDataLength(int bytes);
    // Readings values override (13 floats in reply order); otherwise they drift plausibly.
    void SetReadings(std::array<float, 13> values);
    // The drifting values last served, and where a new simulator goes on from them: an adapter
    // pulled out and plugged in again still counts on from the meter's values.
    std::array<float, 13> DriftingReadings() const;
    void ContinueReadings(std::array<float, 13> values);

    // Debug log: from now on every reply carries this text, or a one-byte status code (1 "P1
    // busy", 2 "buffer overflow", 3 "P1 not connected"). Otherwise the device answers with the
    // lines it logged since the previous read: one per P1 telegram (every second under DSMR 5,
    // every ten seconds before it) and now and then one for a pulse input, the newest that fit
    // one reply (at most 1535 bytes); a status line when nothing new was logged.
    void SetDebugLog(Bytes text);
    void SetDebugStatus(std::uint8_t status);
    void UseOwnDebugLog();

    // Boot loader. Blocks are checked against their CRC and kept by block number (block 0
    // starts a new upload); the finishing command is accepted only when its own CRC and the
    // image CRC over all the blocks it counts are right. Then the device reboots: it answers
    // nothing for the reboot time, and afterwards identifies with the version the finishing
    // command carried. Anything it refuses is answered with three bytes that are not the
    // acknowledgement.
    BootLoaderState BootLoader() const;
    // Refuses block `block` the next `times` times it arrives (times < 0: always).
    void RefuseBlock(int block, int times = -1);
    // Refuses the next `times` finishing commands (times < 0: always).
    void RefuseFinish(int times = -1);
    // After `blocks` acknowledged blocks the device answers nothing any more, as if it hung.
    void GoSilentAfterBlocks(int blocks);
    // How long the device stays silent after accepting a finishing command (2 s unless set).
    void SetRebootTime(std::chrono::milliseconds time);

    // The line settings as they stood when bytes last came from the tool. Bytes that come on a
    // line set otherwise than DeviceLine() are noise to the device: it never sees a frame in
    // them.
    std::optional<LineSettings> LineSeen() const;

    // Everything received so far, and only the frames of one command.
    std::vector<Received> ReceivedFrames() const;
    std::vector<Received> ReceivedFrames(std::uint8_t command) const;
    void ClearReceived();
    // Waits until at least count frames of the command have arrived.
    bool WaitForFrames(std::uint8_t command, size_t count, std::chrono::milliseconds timeout);

private:
    struct Pending {
        std::chrono::steady_clock::time_point due;
        Bytes bytes;
    };

    void Run();
    void ForgetExclusiveUse();
    void OnByte(std::uint8_t byte);
    void OnFrame(std::uint8_t command, const Bytes& payload);
    Bytes Answer(std::uint8_t command, const Bytes& payload);
    Bytes IdentifyData() const;
    Bytes ReadingsData();
    Bytes DebugLogData();
    Bytes OwnDebugLog(std::chrono::steady_clock::time_point now);
    Bytes BootBlock(const Bytes& payload);
    Bytes BootFinish(const Bytes& payload);
    void Send(Bytes bytes, std::chrono::milliseconds delay);
    void FlushDue();
    static size_t PayloadLength(std::uint8_t command);

    mutable std::mutex mutex_;
    std::condition_variable receivedChanged_;
    int master_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::string portPath_;
    std::string error_;
    std::thread thread_;
    std::atomic<bool> stop_{false};

    // Frame assembly on the device side: "*", command, the command's payload, "#".
    enum class RxState { WaitStart, WaitCommand, Payload, WaitEnd } rxState_ = RxState::WaitStart;
    std::uint8_t rxCommand_ = 0;
    Bytes rxPayload_;

    std::array<std::uint8_t, 4> version_{1, 2, 3, 4};
    std::string serial_ = "KD310042";
    DeviceSettings settings_;
    struct FaultSetting {
        Fault fault = Fault::None;
        int times = -1;
    };
    std::array<FaultSetting, 256> faults_{};
    std::array<std::deque<Bytes>, 256> rawReplies_{};
    std::chrono::milliseconds lateDelay_{500};
    int identifyDataLength_ = 16;
    int readingsDataLength_ = 52;
    std::optional<std::array<float, 13>> fixedReadings_;
    std::array<float, 13> drifting_{};
    std::uint32_t random_ = 12345;
    std::optional<Bytes> debugText_;
    std::optional<std::uint8_t> debugStatus_;
    std::chrono::steady_clock::time_point logStart_ = std::chrono::steady_clock::now();
    std::uint64_t telegramsLogged_ = 0;
    std::vector<Received> received_;
    std::optional<LineSettings> lineSeen_;
    std::deque<Pending> pending_;

    std::array<std::optional<Bytes>, 256> bootBlocks_{};
    BootLoaderState boot_;
    int refuseBlock_ = -1;
    int refuseBlockTimes_ = 0;
    int refuseFinishTimes_ = 0;
    int silentAfterBlocks_ = -1;
    bool hung_ = false;
    std::chrono::milliseconds rebootTime_{2000};
    std::chrono::steady_clock::time_point rebootUntil_{};
};

// CRC-16/X-25 of bytes as the device's boot loader computes it.
std::uint16_t Crc16X25(const std::uint8_t* data, size_t length, std::uint16_t start = 0xFFFF);

// The boot loader's CRC of a whole image, taken in blocks of blockLength bytes: each block starts
// from the byte-swapped result of the one before (the first from 0xFFFF); the last block's
// result counts. Sent low byte first. length must be a multiple of blockLength.
std::uint16_t ImageCrc(const std::uint8_t* data, size_t length, size_t blockLength);

} // namespace sim
