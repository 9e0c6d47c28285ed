#include "simulator/Kdr31Simulator.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t StartMarker = 0x2A;
constexpr std::uint8_t EndMarker = 0x23;
const Bytes Acknowledgement = {0x2A, 0x55, 0x23};
// What the boot loader answers to a command it does not accept.
const Bytes Refusal = {0x2A, 0x4E, 0x23};

constexpr size_t BootBlockBytes = 128;
constexpr size_t BootBlockPayload = 4 + BootBlockBytes + 2;
constexpr size_t BootFinishPayload = 12;

bool CrcMatches(const Bytes& payload, size_t covered) {
    const std::uint16_t crc = Crc16X25(payload.data(), covered);
    return payload[covered] == (crc & 0xFF) && payload[covered + 1] == (crc >> 8);
}

void AppendFloatBigEndian(Bytes& out, float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, 4);
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(bits >> shift));
}

Bytes ShortReply(std::uint8_t code, const Bytes& data) {
    Bytes reply = {StartMarker, code, static_cast<std::uint8_t>(data.size())};
    reply.insert(reply.end(), data.begin(), data.end());
    reply.push_back(EndMarker);
    return reply;
}

Bytes LongReply(std::uint8_t code, const Bytes& data) {
    const size_t n = std::min<size_t>(data.size(), 0xFFFF);
    Bytes reply = {StartMarker, code, static_cast<std::uint8_t>(n >> 8),
                   static_cast<std::uint8_t>(n & 0xFF)};
    reply.insert(reply.end(), data.begin(), data.begin() + static_cast<long>(n));
    reply.push_back(EndMarker);
    return reply;
}

LineSettings ReadLine(int fd) {
    termios tio{};
    LineSettings line;
    // The master end reports the settings of the slave end, which is the tool's.
    if (tcgetattr(fd, &tio) != 0)
        return line;
    const speed_t speed = cfgetospeed(&tio);
    const std::pair<speed_t, int> speeds[] = {{B1200, 1200},   {B2400, 2400},    {B4800, 4800},
                                              {B9600, 9600},   {B19200, 19200},  {B38400, 38400},
                                              {B57600, 57600}, {B115200, 115200}};
    for (const auto& [code, baud] : speeds)
        if (speed == code)
            line.baud = baud;
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        line.dataBits = 5;
        break;
    case CS6:
        line.dataBits = 6;
        break;
    case CS7:
        line.dataBits = 7;
        break;
    default:
        line.dataBits = 8;
        break;
    }
    line.parity = !(tio.c_cflag & PARENB) ? 'N' : (tio.c_cflag & PARODD) ? 'O' : 'E';
    line.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    line.rtsCts = (tio.c_cflag & CRTSCTS) != 0;
    line.xonXoff = (tio.c_iflag & (IXON | IXOFF)) != 0;
    return line;
}

} // namespace

bool operator==(const LineSettings& a, const LineSettings& b) {
    return a.baud == b.baud && a.dataBits == b.dataBits && a.parity == b.parity &&
           a.stopBits == b.stopBits && a.rtsCts == b.rtsCts && a.xonXoff == b.xonXoff;
}

LineSettings DeviceLine() {
    return {115200, 8, 'N', 1, false, false};
}

std::uint16_t Crc16X25(const std::uint8_t* data, size_t length, std::uint16_t start) {
    // Table-free reflected CRC-CCITT, written independently of the tool's own CRC code so that
    // the two check each other.
    std::uint16_t crc = start;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408)
                            : static_cast<std::uint16_t>(crc >> 1);
    }
    return static_cast<std::uint16_t>(~crc);
}

std::uint16_t ImageCrc(const std::uint8_t* data, size_t length, size_t blockLength) {
    std::uint16_t start = 0xFFFF;
    std::uint16_t crc = 0;
    for (size_t at = 0; at + blockLength <= length; at += blockLength) {
        crc = Crc16X25(data + at, blockLength, start);
        start = static_cast<std::uint16_t>((crc << 8) | (crc >> 8));
    }
    return crc;
}

Kdr31Simulator::Kdr31Simulator() {
    drifting_ = {420.0f, 1523400.0f, 1834500.0f, 0.0f, 0.0f, 402300.0f, 187600.0f,
                 0.0f,   3456.789f,  0.0f,       2.0f, 0.0f, 0.0f};
}

Kdr31Simulator::~Kdr31Simulator() {
    stop_ = true;
    if (wakeWrite_ >= 0) {
        const char wake = 1;
        [[maybe_unused]] ssize_t ignored = write(wakeWrite_, &wake, 1);
    }
    if (thread_.joinable())
        thread_.join();
    for (int fd : {master_, wakeRead_, wakeWrite_})
        if (fd >= 0)
            close(fd);
}

bool Kdr31Simulator::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    // Close-on-exec: a program the test starts must not hold the device's end of the line open,
    // or HangUp would not reach the port that program opened.
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error_ = std::string("no pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[128] = {};
    if (ptsname_r(master_, name, sizeof name) != 0) {
        error_ = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    portPath_ = name;
    termios raw{};
    if (tcgetattr(master_, &raw) == 0) {
        cfmakeraw(&raw);
        cfsetspeed(&raw, B115200);
        tcsetattr(master_, TCSANOW, &raw);
    }
    int wake[2];
    if (pipe2(wake, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    fcntl(wakeRead_, F_SETFL, O_NONBLOCK);
    thread_ = std::thread(&Kdr31Simulator::Run, this);
    return true;
}

std::string Kdr31Simulator::PortPath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return portPath_;
}

std::string Kdr31Simulator::ErrorText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

void Kdr31Simulator::HangUp() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
    pending_.clear();
}

void Kdr31Simulator::SetVersion(std::array<std::uint8_t, 4> version) {
    std::lock_guard<std::mutex> lock(mutex_);
    version_ = version;
}

std::array<std::uint8_t, 4> Kdr31Simulator::Version() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return version_;
}

void Kdr31Simulator::SetSerialNumber(const std::string& serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    serial_ = serial;
}

void Kdr31Simulator::SetSettings(DeviceSettings settings) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_ = settings;
}

DeviceSettings Kdr31Simulator::Settings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
}

void Kdr31Simulator::SetFault(std::uint8_t command, Fault fault, int times) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[command] = {fault, times};
}

void Kdr31Simulator::SetLateDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    lateDelay_ = delay;
}

void Kdr31Simulator::QueueRawReply(std::uint8_t command, Bytes reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    rawReplies_[command].push_back(std::move(reply));
}

void Kdr31Simulator::Inject(Bytes bytes, std::chrono::milliseconds delay) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Send(std::move(bytes), delay);
    }
    if (wakeWrite_ >= 0) {
        const char wake = 1;
        [[maybe_unused]] ssize_t ignored = write(wakeWrite_, &wake, 1);
    }
}

void Kdr31Simulator::SetIdentifyDataLength(int bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    identifyDataLength_ = std::clamp(bytes, 0, 255);
}

void Kdr31Simulator::SetReadingsDataLength(int bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    readingsDataLength_ = std::clamp(bytes, 0, 255);
}

void Kdr31Simulator::SetReadings(std::array<float, 13> values) {
    std::lock_guard<std::mutex> lock(mutex_);
    fixedReadings_ = values;
}

std::array<float, 13> Kdr31Simulator::DriftingReadings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return drifting_;
}

void Kdr31Simulator::ContinueReadings(std::array<float, 13> values) {
    std::lock_guard<std::mutex> lock(mutex_);
    drifting_ = values;
}

void Kdr31Simulator::SetDebugLog(Bytes text) {
    std::lock_guard<std::mutex> lock(mutex_);
    debugText_ = std::move(text);
    debugStatus_.reset();
}

void Kdr31Simulator::SetDebugStatus(std::uint8_t status) {
    std::lock_guard<std::mutex> lock(mutex_);
    debugStatus_ = status;
    debugText_.reset();
}

void Kdr31Simulator::UseOwnDebugLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    debugStatus_.reset();
    debugText_.reset();
}

BootLoaderState Kdr31Simulator::BootLoader() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return boot_;
}

void Kdr31Simulator::RefuseBlock(int block, int times) {
    std::lock_guard<std::mutex> lock(mutex_);
    refuseBlock_ = block;
    refuseBlockTimes_ = times;
}

void Kdr31Simulator::RefuseFinish(int times) {
    std::lock_guard<std::mutex> lock(mutex_);
    refuseFinishTimes_ = times;
}

void Kdr31Simulator::GoSilentAfterBlocks(int blocks) {
    std::lock_guard<std::mutex> lock(mutex_);
    silentAfterBlocks_ = blocks;
}

void Kdr31Simulator::SetRebootTime(std::chrono::milliseconds time) {
    std::lock_guard<std::mutex> lock(mutex_);
    rebootTime_ = time;
}

std::optional<LineSettings> Kdr31Simulator::LineSeen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lineSeen_;
}

std::vector<Received> Kdr31Simulator::ReceivedFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::vector<Received> Kdr31Simulator::ReceivedFrames(std::uint8_t command) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Received> frames;
    for (const Received& r : received_)
        if (r.command == command)
            frames.push_back(r);
    return frames;
}

void Kdr31Simulator::ClearReceived() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
}

bool Kdr31Simulator::WaitForFrames(std::uint8_t command, size_t count,
                                   std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return receivedChanged_.wait_for(lock, timeout, [&] {
        return static_cast<size_t>(
                   std::count_if(received_.begin(), received_.end(),
                                 [&](const Received& r) { return r.command == command; })) >= count;
    });
}

size_t Kdr31Simulator::PayloadLength(std::uint8_t command) {
    switch (command) {
    case 66:
        return 4;
    case 208:
        return 134;
    case 210:
        return 12;
    default:
        return 0;
    }
}

void Kdr31Simulator::Run() {
    std::uint8_t buffer[4096];
    bool peerOpen = false;
    while (!stop_) {
        int master;
        int timeoutMs = 50;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            master = master_;
            if (!pending_.empty()) {
                const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                    pending_.front().due - Clock::now());
                timeoutMs = static_cast<int>(std::clamp<long long>(wait.count() + 1, 0, 50));
            }
        }
        pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {master, POLLIN, 0}};
        const int ready = poll(fds, master >= 0 ? 2 : 1, timeoutMs);
        const bool hungUp = ready > 0 && master >= 0 && !(fds[1].revents & POLLIN) &&
                            (fds[1].revents & (POLLHUP | POLLERR));
        if (master >= 0 && !hungUp)
            peerOpen = true;
        else if (hungUp && peerOpen) {
            peerOpen = false;
            ForgetExclusiveUse();
        }
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            while (read(wakeRead_, buffer, sizeof buffer) > 0) {
            }
        }
        if (ready > 0 && master >= 0 && (fds[1].revents & POLLIN)) {
            const ssize_t got = read(master, buffer, sizeof buffer);
            if (got > 0) {
                const LineSettings line = ReadLine(master);
                std::lock_guard<std::mutex> lock(mutex_);
                lineSeen_ = line;
                if (line == DeviceLine()) {
                    for (ssize_t i = 0; i < got; ++i)
                        OnByte(buffer[i]);
                } else {
                    rxState_ = RxState::WaitStart; // noise breaks any frame in progress
                }
            }
        } else if (ready > 0 && master >= 0 && (fds[1].revents & (POLLHUP | POLLERR))) {
            // Nobody has the port open: nothing can arrive until somebody opens it.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::lock_guard<std::mutex> lock(mutex_);
        FlushDue();
    }
}

void Kdr31Simulator::ForgetExclusiveUse() {
    // A real port forgets TIOCEXCL at its last close. A pseudo-terminal's end lives as long as
    // the master, so a program killed while it held the port exclusively would keep every
    // unprivileged program out until the simulator restarts. Clear it as a real port's last
    // close would; that takes CAP_SYS_ADMIN while the flag is set, so a simulator without it
    // leaves the port exclusive, as the kernel keeps it.
    std::string path;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        path = portPath_;
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    ioctl(fd, TIOCNXCL);
    close(fd);
}

void Kdr31Simulator::OnByte(std::uint8_t byte) {
    switch (rxState_) {
    case RxState::WaitStart:
        if (byte == StartMarker)
            rxState_ = RxState::WaitCommand;
        break;
    case RxState::WaitCommand:
        rxCommand_ = byte;
        rxPayload_.clear();
        rxState_ = PayloadLength(byte) > 0 ? RxState::Payload : RxState::WaitEnd;
        break;
    case RxState::Payload:
        rxPayload_.push_back(byte);
        if (rxPayload_.size() == PayloadLength(rxCommand_))
            rxState_ = RxState::WaitEnd;
        break;
    case RxState::WaitEnd:
        rxState_ = RxState::WaitStart;
        if (byte == EndMarker)
            OnFrame(rxCommand_, rxPayload_);
        else if (byte == StartMarker)
            rxState_ = RxState::WaitCommand;
        break;
    }
}

void Kdr31Simulator::OnFrame(std::uint8_t command, const Bytes& payload) {
    const auto now = Clock::now();
    received_.push_back({command, payload, now});
    receivedChanged_.notify_all();
    // A hung or rebooting device hears the frame but does nothing with it.
    if (hung_ || now < rebootUntil_)
        return;

    Bytes reply;
    if (!rawReplies_[command].empty()) {
        reply = std::move(rawReplies_[command].front());
        rawReplies_[command].pop_front();
        Answer(command, payload); // the device's state moves on all the same
        Send(std::move(reply), std::chrono::milliseconds(0));
        return;
    }
    reply = Answer(command, payload);
    FaultSetting& setting = faults_[command];
    const Fault fault = setting.fault;
    if (setting.times > 0 && --setting.times == 0)
        setting = {};

    std::chrono::milliseconds delay(0);
    switch (fault) {
    case Fault::None:
        break;
    case Fault::Silent:
        reply.clear();
        break;
    case Fault::Late:
        delay = lateDelay_;
        break;
    case Fault::StrayByte:
        reply.insert(reply.begin(), 0x0A);
        break;
    case Fault::WrongEnd:
        if (!reply.empty())
            reply.back() = '!';
        break;
    case Fault::LengthOverflow:
        if (reply.size() >= 4)
            reply[2] = 6;
        break;
    case Fault::Garbage:
        reply = {'*', 'X', '#'};
        break;
    case Fault::SplitLate: {
        const auto half = reply.begin() + static_cast<long>(reply.size() / 2);
        Send(Bytes(reply.begin(), half), std::chrono::milliseconds(0));
        reply.erase(reply.begin(), half);
        delay = lateDelay_;
        break;
    }
    }
    if (!reply.empty())
        Send(std::move(reply), delay);
}

Bytes Kdr31Simulator::Answer(std::uint8_t command, const Bytes& payload) {
    switch (command) {
    case 86:
        return ShortReply(87, IdentifyData());
    case 64:
        return ShortReply(65, ReadingsData());
    case 66:
        settings_ = {payload[0], payload[1], payload[2], payload[3]};
        return Acknowledgement;
    case 68:
        return LongReply(69, DebugLogData());
    case 208:
        return BootBlock(payload);
    case 210:
        return BootFinish(payload);
    default:
        return {};
    }
}

Bytes Kdr31Simulator::BootBlock(const Bytes& payload) {
    const size_t block = payload[1];
    if (refuseBlock_ == static_cast<int>(block) && refuseBlockTimes_ != 0) {
        if (refuseBlockTimes_ > 0)
            --refuseBlockTimes_;
        return Refusal;
    }
    if (payload.size() != BootBlockPayload || payload[0] != 0 || payload[2] != 0 ||
        payload[3] != BootBlockBytes || !CrcMatches(payload, BootBlockPayload - 2)) {
        ++boot_.blockCrcErrors;
        return Refusal;
    }
    // Block 0 opens a new upload: what an earlier, unfinished one left is forgotten.
    if (block == 0)
        bootBlocks_.fill(std::nullopt);
    bootBlocks_[block] = Bytes(payload.begin() + 4, payload.begin() + 4 + BootBlockBytes);
    ++boot_.blocksAccepted;
    if (silentAfterBlocks_ >= 0 && boot_.blocksAccepted >= silentAfterBlocks_)
        hung_ = true;
    return Acknowledgement;
}

Bytes Kdr31Simulator::BootFinish(const Bytes& payload) {
    const auto refuse = [this] {
        ++boot_.finishRefusals;
        return Refusal;
    };
    if (refuseFinishTimes_ != 0) {
        if (refuseFinishTimes_ > 0)
            --refuseFinishTimes_;
        return refuse();
    }
    if (payload.size() != BootFinishPayload || payload[0] != 0 || payload[2] != 0 ||
        payload[3] != 6 || !CrcMatches(payload, 10)) {
        ++boot_.finishCrcErrors;
        return refuse();
    }
    const size_t blocks = payload[1];
    Bytes image;
    boot_.missingBlocks = 0;
    for (size_t k = 0; k < blocks; ++k) {
        if (!bootBlocks_[k]) {
            ++boot_.missingBlocks;
            continue;
        }
        image.insert(image.end(), bootBlocks_[k]->begin(), bootBlocks_[k]->end());
    }
    if (blocks == 0 || boot_.missingBlocks > 0)
        return refuse();
    const std::uint16_t crc = ImageCrc(image.data(), image.size(), BootBlockBytes);
    if (payload[8] != (crc & 0xFF) || payload[9] != (crc >> 8)) {
        ++boot_.imageCrcErrors;
        return refuse();
    }

    boot_.flashed = true;
    boot_.flashedImage = std::move(image);
    std::copy(payload.begin() + 4, payload.begin() + 8, boot_.flashedVersion.begin());
    version_ = boot_.flashedVersion;
    bootBlocks_.fill(std::nullopt);
    // The acknowledgement goes out before the restart.
    rebootUntil_ = Clock::now() + rebootTime_;
    return Acknowledgement;
}

Bytes Kdr31Simulator::IdentifyData() const {
    Bytes data(version_.begin(), version_.end());
    data.push_back(settings_.interval);
    data.push_back(settings_.country);
    data.push_back(settings_.protocol);
    data.push_back(settings_.divider);
    std::string serial = serial_;
    serial.resize(8, ' ');
    data.insert(data.end(), serial.begin(), serial.end());
    data.resize(static_cast<size_t>(identifyDataLength_), 0);
    return data;
}

Bytes Kdr31Simulator::ReadingsData() {
    std::array<float, 13> values;
    if (fixedReadings_) {
        values = *fixedReadings_;
    } else {
        // A household: consumption wanders around a few hundred watts, the counters only grow.
        random_ = random_ * 1103515245u + 12345u;
        const float step = static_cast<float>((random_ >> 16) % 201) - 100.0f;
        float& power = drifting_[0];
        power = std::clamp(power + step, 80.0f, 4500.0f);
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        const bool lowTariff = local.tm_hour >= 23 || local.tm_hour < 7;
        drifting_[10] = lowTariff ? 1.0f : 2.0f;
        const float importWh = std::round(power * settings_.interval / 360.0f) / 10.0f;
        drifting_[lowTariff ? 2 : 1] += importWh;
        drifting_[3] = importWh;
        drifting_[8] += 0.001f;
        drifting_[9] = 0.001f;
        drifting_[11] += 1.0f;
        drifting_[12] += static_cast<float>((random_ >> 8) % 3);
        values = drifting_;
    }
    Bytes data;
    for (float v : values)
        AppendFloatBigEndian(data, v);
    data.resize(static_cast<size_t>(readingsDataLength_), 0);
    return data;
}

Bytes Kdr31Simulator::DebugLogData() {
    if (debugStatus_)
        return {*debugStatus_};
    if (debugText_)
        return *debugText_;
    return OwnDebugLog(Clock::now());
}

Bytes Kdr31Simulator::OwnDebugLog(Clock::time_point now) {
    constexpr size_t MaxReply = 5 * 256 + 255;
    // More lines than one reply holds; older ones are lost, as in the device's ring buffer.
    constexpr std::uint64_t MaxLines = 64;
    const double uptime = std::chrono::duration<double>(now - logStart_).count();
    const int period = settings_.protocol == 5 ? 1 : 10;
    const auto telegramsSoFar = static_cast<std::uint64_t>(uptime / period);
    std::vector<std::string> lines;
    char line[128];
    const std::uint64_t oldestKept = telegramsSoFar - std::min(telegramsSoFar, MaxLines);
    for (std::uint64_t t = std::max(telegramsLogged_, oldestKept); t < telegramsSoFar; ++t) {
        const double at = static_cast<double>((t + 1) * static_cast<std::uint64_t>(period));
        if (t % 53 == 52) {
            std::snprintf(line, sizeof line, "%9.3f P1 CRC error, telegram dropped\r\n", at);
        } else {
            std::snprintf(line, sizeof line,
                          "%9.3f P1 DSMR %u telegram %u bytes, CRC ok, tariff %u\r\n", at,
                          static_cast<unsigned>(settings_.protocol),
                          static_cast<unsigned>(700 + (t * 37) % 180),
                          static_cast<unsigned>(1 + (t / 600) % 2));
        }
        lines.emplace_back(line);
        if (t % 7 == 3) {
            std::snprintf(line, sizeof line, "%9.3f S0 input %u: count %llu, divider %u\r\n",
                          at + 0.25, static_cast<unsigned>(1 + t % 2),
                          static_cast<unsigned long long>(t / 7 + 1),
                          static_cast<unsigned>(settings_.divider));
            lines.emplace_back(line);
        }
    }
    telegramsLogged_ = std::max(telegramsLogged_, telegramsSoFar);
    if (lines.empty()) {
        std::snprintf(line, sizeof line, "%9.3f idle, %llu telegrams, interval %u s\r\n", uptime,
                      static_cast<unsigned long long>(telegramsSoFar),
                      static_cast<unsigned>(settings_.interval));
        lines.emplace_back(line);
    }
    // The newest lines that fit one reply.
    size_t size = 0;
    auto first = lines.end();
    while (first != lines.begin() && size + std::prev(first)->size() <= MaxReply)
        size += (--first)->size();
    Bytes text;
    text.reserve(size);
    for (auto it = first; it != lines.end(); ++it)
        text.insert(text.end(), it->begin(), it->end());
    return text;
}

void Kdr31Simulator::Send(Bytes bytes, std::chrono::milliseconds delay) {
    pending_.push_back({Clock::now() + delay, std::move(bytes)});
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Pending& a, const Pending& b) { return a.due < b.due; });
    FlushDue();
}

void Kdr31Simulator::FlushDue() {
    const auto now = Clock::now();
    while (!pending_.empty() && pending_.front().due <= now) {
        Bytes bytes = std::move(pending_.front().bytes);
        pending_.pop_front();
        size_t written = 0;
        int attempts = 0;
        while (master_ >= 0 && written < bytes.size() && attempts < 100) {
            const ssize_t n = write(master_, bytes.data() + written, bytes.size() - written);
            if (n > 0) {
                written += static_cast<size_t>(n);
            } else if (n < 0 && errno == EAGAIN) {
                ++attempts;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            } else {
                break; // nobody listening: the bytes are lost, as on a real line
            }
        }
    }
}

} // namespace sim
