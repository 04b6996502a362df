#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <vector>

// How long the switch needs after its drive changed before a signal through
// it is valid, and whether that time is passing now. Never over early,
// whatever the timer's rounding.
class Settling : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kLongest{60000};

    explicit Settling(QObject* parent = nullptr);

    std::chrono::milliseconds Time() const { return time_; }
    // Clamped to 0..kLongest; what it was.
    std::chrono::milliseconds SetTime(std::chrono::milliseconds time);
    // The time the program starts with, which a reset returns to; the time too.
    void SetStartTime(std::chrono::milliseconds time);
    std::chrono::milliseconds StartTime() const { return startTime_; }

    // The drive changed now: settling for Time(), where that is above 0.
    void Start();
    bool Active() const { return active_; }
    // Runs `then` once the settling is over: at once where it is.
    void WhenOver(std::function<void()> then);

signals:
    // It began or ended.
    void Changed();
    // It ended, and what waited for it has run.
    void Over();

private:
    void Check();

    std::chrono::milliseconds time_{0};
    std::chrono::milliseconds startTime_{0};
    bool active_ = false;
    std::chrono::steady_clock::time_point until_;
    QTimer timer_;
    std::vector<std::function<void()>> waiting_;
};
