#include "TurnShare.h"

#include <QCoreApplication>

#include <utility>

namespace {

std::uint64_t turn = 0;
bool ticking = false;

// The number of the turn now. The first asker in a turn posts the tick that
// ends it: posted events run once the sockets and timers that are ready now
// have been served, and what is posted meanwhile waits for the next pass.
std::uint64_t Now()
{
    if (!std::exchange(ticking, true)) {
        if (QCoreApplication* application = QCoreApplication::instance())
            QMetaObject::invokeMethod(application, [] {
                ++turn;
                ticking = false;
            }, Qt::QueuedConnection);
    }
    return turn;
}

} // namespace

bool TurnShare::Take()
{
    // Without an event loop there is nobody to share it with.
    if (units_ <= 0 || !QCoreApplication::instance())
        return true;
    const std::uint64_t now = Now();
    if (now != turn_) {
        turn_ = now;
        spent_ = 0;
    }
    return spent_++ < units_;
}

void TurnShare::Renew()
{
    turn_ = Now();
    spent_ = 0;
}
