#include "device_link/CommandTransaction.h"

#include "device_link/Clock.h"
#include "device_link/ReplyParser.h"

#include <cmath>

namespace {

class TransactionGuard {
public:
    explicit TransactionGuard(MSComm& port) : port_(port) { port_.SetInTransaction(true); }
    ~TransactionGuard() { port_.SetInTransaction(false); }
    TransactionGuard(const TransactionGuard&) = delete;
    TransactionGuard& operator=(const TransactionGuard&) = delete;

private:
    MSComm& port_;
};

} // namespace

QByteArray RunTransaction(MSComm& port, std::uint8_t command, const QByteArray& payload,
                          QByteArray& rxBuffer, double& rxDeadline, const TransactionHooks& hooks) {
    if (port.InTransaction() || !port.PortOpen())
        return SingleByte(ReplyTimedOut);

    TransactionGuard guard(port);
    ReplyParser parser(command, rxBuffer);
    if (!port.Output(BuildFrame(command, payload)))
        return SingleByte(ReplyTimedOut);
    parser.Begin(Timer());
    rxDeadline = parser.Deadline();

    if (hooks.afterRequest)
        hooks.afterRequest();

    for (;;) {
        const double now = Timer();
        if (parser.Expired(now) || !port.PortOpen()) {
            parser.Finish();
            return parser.Result();
        }
        const QByteArray received = port.Input();
        const bool settingsError = parser.Feed(received, now);
        rxDeadline = parser.Deadline();
        // The box comes once per arrival of wrong bytes, not on every pass of the wait.
        if (settingsError && !received.isEmpty() && hooks.msgBox)
            hooks.msgBox(SettingsErrorText);
        if (received.isEmpty()) {
            const double remaining = parser.Deadline() - Timer();
            if (remaining > 0)
                port.WaitForInput(static_cast<int>(std::ceil(remaining * 1000.0)));
        }
    }
}
