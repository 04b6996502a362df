#pragma once

// Avahi's client library driven by Qt's event loop: its sockets watched by
// QSocketNotifier, its timeouts run by QTimer, all in the thread that owns
// the poll (no thread of Avahi's own).

#include <avahi-common/watch.h>

class AvahiQtPoll
{
public:
    AvahiQtPoll();
    AvahiQtPoll(const AvahiQtPoll&) = delete;
    AvahiQtPoll& operator=(const AvahiQtPoll&) = delete;

    const AvahiPoll* Poll() const { return &poll_; }

private:
    AvahiPoll poll_;
};
