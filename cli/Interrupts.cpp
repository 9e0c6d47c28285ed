#include "cli/Interrupts.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int wakeWriteFd = -1;

extern "C" void OnSignal(int signalNumber) {
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    if (wakeWriteFd >= 0) [[maybe_unused]]
        const ssize_t written = write(wakeWriteFd, &byte, 1);
    errno = savedErrno;
}

void Catch(int signalNumber, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signalNumber, &action, nullptr);
}

} // namespace

Interrupts::Interrupts(QObject* parent) : QObject(parent) {
    if (pipe(pipe_) != 0)
        return;
    for (const int fd : pipe_) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    wakeWriteFd = pipe_[1];
    notifier_ = new QSocketNotifier(pipe_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { Deliver(); });
    Catch(SIGINT, OnSignal);
    Catch(SIGTERM, OnSignal);
    // A reader that goes away (kdr31-cli poll | head) shows as a failed write, which each
    // command handles, not as a death in the middle of a reading.
    Catch(SIGPIPE, SIG_IGN);
}

Interrupts::~Interrupts() {
    Catch(SIGINT, SIG_DFL);
    Catch(SIGTERM, SIG_DFL);
    wakeWriteFd = -1;
    for (const int fd : pipe_)
        if (fd >= 0)
            close(fd);
}

void Interrupts::Deliver() {
    unsigned char byte = 0;
    while (read(pipe_[0], &byte, 1) == 1) {
        ++count_;
        emit Interrupted(byte);
    }
}
