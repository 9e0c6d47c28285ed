#pragma once
// Ctrl-C (SIGINT) and SIGTERM as events of the event loop. The signal handler only writes a byte
// to a pipe; a socket notifier on the pipe's other end emits Interrupted on the main thread,
// where it is safe to touch the program's state. The notifier is not user input, so it is heard
// inside a command transaction's wait as well as between transactions.

#include <QObject>

class QSocketNotifier;

class Interrupts : public QObject {
    Q_OBJECT
public:
    // Catches the signals from now on; one instance per program.
    explicit Interrupts(QObject* parent = nullptr);
    // Gives the signals back to their default handling.
    ~Interrupts() override;

    // The pipe's read end, readable while an interrupt is waiting to be delivered: a blocking
    // wait on input can wait on it too.
    int WakeFd() const { return pipe_[0]; }
    // Interrupts received so far.
    int Count() const { return count_; }

signals:
    void Interrupted(int signalNumber);

private:
    void Deliver();

    int pipe_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
    int count_ = 0;
};
