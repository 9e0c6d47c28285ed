#include "device_link/ReplyParser.h"

QByteArray BuildFrame(std::uint8_t command, const QByteArray& payload) {
    QByteArray frame;
    frame.reserve(payload.size() + 3);
    frame.append(Frame::Start);
    frame.append(static_cast<char>(command));
    frame.append(payload);
    frame.append(Frame::End);
    return frame;
}

QByteArray SingleByte(std::uint8_t code) {
    return QByteArray(1, static_cast<char>(code));
}

namespace {

int ByteAt(const QByteArray& bytes, int position1) {
    return static_cast<std::uint8_t>(bytes.at(position1 - 1));
}

QByteArray Marker(std::uint8_t replyCode) {
    QByteArray marker(1, Frame::Start);
    marker.append(static_cast<char>(replyCode));
    return marker;
}

} // namespace

ReplyParser::ReplyParser(std::uint8_t command, QByteArray& rxBuffer)
    : command_(command), rx_(rxBuffer) {}

void ReplyParser::Begin(double now) {
    result_ = SingleByte(ReplyTimedOut);
    rx_.clear();
    deadline_ = now + TransactionSeconds;
    phase_ = Phase::Searching;
}

bool ReplyParser::Feed(const QByteArray& received, double now) {
    rx_.append(received);
    if (phase_ == Phase::Searching)
        return Search(now);
    CompleteBodyIfThere();
    return false;
}

void ReplyParser::Finish() {
    if (phase_ != Phase::Searching) {
        rx_.clear();
        phase_ = Phase::Searching;
    }
}

bool ReplyParser::Search(double now) {
    switch (command_) {
    case Command::Settings:
        // The settings reply never changes the result; a wrong answer is only reported.
        return rx_.size() >= 3 && !rx_.contains(Frame::Acknowledgement);
    case Command::UploadBlock:
    case Command::UploadFinish:
        // The buffer is kept, so an acknowledgement arriving later turns 255 into 0.
        if (rx_.size() >= 3)
            result_ = SingleByte(rx_.contains(Frame::Acknowledgement) ? ReplyOk : ReplyNotOk);
        return false;
    case Command::DebugLog: {
        if (rx_.size() < 6 || !rx_.contains(Marker(command_ + 1)))
            return false;
        const int high = ByteAt(rx_, 3);
        if (high > MaxLongLengthHigh) {
            result_ = SingleByte(ReplyLengthOverflow);
            return false;
        }
        n_ = high * 256 + ByteAt(rx_, 4);
        need_ = n_ + 5;
        deadline_ = now + LongReplySeconds;
        phase_ = Phase::LongBody;
        CompleteBodyIfThere();
        return false;
    }
    default:
        if (rx_.size() < 5 || !rx_.contains(Marker(static_cast<std::uint8_t>(command_ + 1))))
            return false;
        n_ = ByteAt(rx_, 3);
        need_ = n_ + 4;
        phase_ = Phase::ShortBody;
        CompleteBodyIfThere();
        return false;
    }
}

void ReplyParser::CompleteBodyIfThere() {
    if (rx_.size() < need_)
        return;
    if (ByteAt(rx_, need_) != static_cast<std::uint8_t>(Frame::End)) {
        result_ = SingleByte(ReplyWrongEnd);
    } else if (phase_ == Phase::LongBody) {
        result_ = SingleByte(ReplyOk) + rx_.mid(4, n_);
    } else {
        // A short reply's result is its n data bytes and the end marker. Bytes that came behind
        // the end marker in the same read belong to no reply and are never read as data.
        result_ = SingleByte(ReplyOk) + rx_.mid(3, n_ + 1);
    }
    rx_.clear();
    phase_ = Phase::Searching;
}
