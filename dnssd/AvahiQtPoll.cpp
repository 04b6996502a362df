#include "AvahiQtPoll.h"

#include <QSocketNotifier>
#include <QTimer>

#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <memory>

// The watch and timeout types are the poll's to define.
struct AvahiWatch
{
    int fd;
    AvahiWatchCallback callback;
    void* userdata;
    AvahiWatchEvent happened = static_cast<AvahiWatchEvent>(0);
    std::unique_ptr<QSocketNotifier> read;
    std::unique_ptr<QSocketNotifier> write;
};

struct AvahiTimeout
{
    AvahiTimeoutCallback callback;
    void* userdata;
    std::unique_ptr<QTimer> timer;
};

namespace {

// A notifier may be let go from inside its own signal: it goes once that
// has returned.
void Release(std::unique_ptr<QSocketNotifier>& notifier)
{
    notifier->setEnabled(false);
    notifier.release()->deleteLater();
}

void Fire(AvahiWatch* watch, AvahiWatchEvent event)
{
    watch->happened = event;
    // The callback may free the watch: nothing touches it after.
    watch->callback(watch, watch->fd, event, watch->userdata);
}

void WatchUpdate(AvahiWatch* watch, AvahiWatchEvent events)
{
    watch->read->setEnabled(events & AVAHI_WATCH_IN);
    watch->write->setEnabled(events & AVAHI_WATCH_OUT);
}

AvahiWatch* WatchNew(const AvahiPoll*, int fd, AvahiWatchEvent events, AvahiWatchCallback callback, void* userdata)
{
    auto* watch = new AvahiWatch{fd, callback, userdata, {}, {}, {}};
    watch->read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    watch->write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    QObject::connect(watch->read.get(), &QSocketNotifier::activated, [watch] { Fire(watch, AVAHI_WATCH_IN); });
    QObject::connect(watch->write.get(), &QSocketNotifier::activated, [watch] { Fire(watch, AVAHI_WATCH_OUT); });
    WatchUpdate(watch, events);
    return watch;
}

AvahiWatchEvent WatchGetEvents(AvahiWatch* watch)
{
    return watch->happened;
}

void WatchFree(AvahiWatch* watch)
{
    Release(watch->read);
    Release(watch->write);
    delete watch;
}

void TimeoutUpdate(AvahiTimeout* timeout, const timeval* when)
{
    timeout->timer->stop();
    if (!when)
        return;
    timeval now{};
    gettimeofday(&now, nullptr);
    const auto left = std::chrono::seconds(when->tv_sec - now.tv_sec) + std::chrono::microseconds(when->tv_usec - now.tv_usec);
    timeout->timer->start(std::max(std::chrono::ceil<std::chrono::milliseconds>(left), std::chrono::milliseconds(0)));
}

AvahiTimeout* TimeoutNew(const AvahiPoll*, const timeval* when, AvahiTimeoutCallback callback, void* userdata)
{
    auto* timeout = new AvahiTimeout{callback, userdata, std::make_unique<QTimer>()};
    timeout->timer->setSingleShot(true);
    QObject::connect(timeout->timer.get(), &QTimer::timeout, [timeout] { timeout->callback(timeout, timeout->userdata); });
    TimeoutUpdate(timeout, when);
    return timeout;
}

void TimeoutFree(AvahiTimeout* timeout)
{
    timeout->timer->stop();
    timeout->timer.release()->deleteLater();
    delete timeout;
}

} // namespace

AvahiQtPoll::AvahiQtPoll()
    : poll_{nullptr, WatchNew, WatchUpdate, WatchGetEvents, WatchFree, TimeoutNew, TimeoutUpdate, TimeoutFree}
{
}
