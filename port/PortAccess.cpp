#include "PortAccess.h"
#include "PortIo.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <exception>

std::int16_t ReadPort(std::int32_t port, PortIo& io)
{
    return io.PortIn(port);
}

VerifiedWrite WriteVerified(std::int32_t port, std::int16_t value, const std::function<void()>& beforePause, PortIo& io)
{
    VerifiedWrite result;
    if (value < 0 || value > 0xFF) {
        result.error = "value " + std::to_string(value) + " is not a byte";
        return result;
    }
    const auto byte = static_cast<std::uint8_t>(value);
    for (std::int16_t attempt = 0; attempt < kWriteAttempts; ++attempt) {
        // A USB adapter takes about a millisecond an access: what came in
        // meanwhile is handled between two attempts, so that the window and
        // the server never wait for more than one attempt.
        if (attempt > 0 && attempt <= kAttemptsWithoutPause)
            DispatchPending();
        result.attempts = static_cast<std::int16_t>(attempt + 1);
        try {
            io.PortOut(port, byte);
            result.written = true;
        } catch (const std::exception& e) {
            result.error = e.what();
        }
        if (attempt >= kAttemptsWithoutPause) {
            if (beforePause)
                beforePause();
            Delay(static_cast<std::int16_t>(kRetryPause.count()));
        }
        bool readBack = false;
        try {
            result.lastRead = io.PortIn(port);
            readBack = result.readBack = true;
        } catch (const std::exception& e) {
            result.error = e.what();
        }
        // A read that failed proves nothing, even when the stale value matches.
        if (readBack && result.lastRead == value) {
            result.verified = true;
            break;
        }
    }
    return result;
}

void DispatchPending()
{
    QEventLoop loop;
    // Queued behind what is pending now, so it all runs first.
    QTimer::singleShot(0, &loop, &QEventLoop::quit);
    loop.exec();
}

void Delay(std::int16_t milliseconds)
{
    if (milliseconds <= 0)
        return;
    const std::chrono::nanoseconds interval = std::chrono::milliseconds(milliseconds);
    QElapsedTimer clock; // monotonic: wall-clock jumps neither shorten nor stretch the wait
    clock.start();
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    for (auto left = interval; left.count() > 0;
         left = interval - std::chrono::nanoseconds(clock.nsecsElapsed())) {
        // Round up: a timer may not fire before the remaining time is over.
        timer.start(std::chrono::ceil<std::chrono::milliseconds>(left));
        if (loop.exec() < 0)
            break; // the application is quitting: its loops no longer run

    }
}
