#include "Settling.h"

#include <algorithm>
#include <utility>

Settling::Settling(QObject* parent) : QObject(parent)
{
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &Settling::Check);
}

std::chrono::milliseconds Settling::SetTime(std::chrono::milliseconds time)
{
    return std::exchange(time_, std::clamp(time, std::chrono::milliseconds(0), kLongest));
}

void Settling::SetStartTime(std::chrono::milliseconds time)
{
    startTime_ = time_ = std::clamp(time, std::chrono::milliseconds(0), kLongest);
}

void Settling::Start()
{
    if (time_.count() <= 0)
        return;
    until_ = std::chrono::steady_clock::now() + time_;
    timer_.start(time_);
    if (!std::exchange(active_, true))
        emit Changed();
}

void Settling::WhenOver(std::function<void()> then)
{
    if (active_)
        waiting_.push_back(std::move(then));
    else
        then();
}

void Settling::Check()
{
    const auto left = until_ - std::chrono::steady_clock::now();
    if (left.count() > 0) {
        timer_.start(std::chrono::ceil<std::chrono::milliseconds>(left));
        return;
    }
    active_ = false;
    emit Changed();
    for (auto& then : std::exchange(waiting_, {}))
        then();
    emit Over();
}
