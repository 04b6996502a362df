// Prints how the panel compares with its goals: start-up to first paint and
// peak memory against a window of the same size that shows one label (the
// least any window with text costs; a bare window and that label in each of
// the panel's fonts are shown too), the CPU that Delay(1000) burns, and how
// fast a click reaches the port and the screen.
//
// Start-up runs in fresh processes: the benchmark spawns itself with
// `--child panel|fonts|label|bare` and times, on the monotonic clock, from
// the spawn until the child writes "painted <ru_maxrss KiB>" on its stdout.

#include "Figures.h"
#include "PortAccess.h"
#include "PortIo.h"
#include "Fonts.h"
#include "SwitchForm.h"

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr int kStartUpRuns = 31; // start-up times on a shared machine scatter by a tenth
constexpr int kWarmUpClicks = 20; // even, so C1 is back at "0" before measuring
constexpr int kClicks = 1000;
constexpr int kBareWidth = 650, kBareHeight = 409; // the panel's fixed client size

long PeakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss; // KiB on Linux
}

// Calls `done` once a frame of `widget` is complete: at its next paint event
// (one for which `counts`, if given, holds) it queues the call, which runs
// after everything painted and flushed with that frame, children included.
class FrameWatch : public QObject
{
public:
    FrameWatch(QWidget& widget, std::function<void()> done, std::function<bool()> counts = {})
        : done_(std::move(done)), counts_(std::move(counts))
    {
        widget.installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && done_ && (!counts_ || counts_())) {
            watched->removeEventFilter(this);
            QMetaObject::invokeMethod(this, std::exchange(done_, {}), Qt::QueuedConnection);
        }
        return false;
    }

private:
    std::function<void()> done_;
    std::function<bool()> counts_;
};

// ---- the child: one start-up, then report and leave ----

int RunChild(int argc, char** argv, std::string_view kind)
{
    QApplication app(argc, argv);
    std::unique_ptr<QWidget> window;
    if (kind == "panel") {
        QApplication::setApplicationName(QStringLiteral("Switch")); // as the program itself starts
        // The panel's face for every widget from the start: no other face is loaded.
        QApplication::setFont(PanelFont(8.25));
        window = std::make_unique<SwitchForm>();
    } else {
        if (kind == "fonts")
            QApplication::setFont(PanelFont(8.25));
        window = std::make_unique<QWidget>();
        window->setFixedSize(kBareWidth, kBareHeight);
        if (kind == "label") // the floor: what showing any text at all costs
            new QLabel(QStringLiteral("Parallel Address:"), window.get());
        if (kind == "fonts") {
            // The floor's label once in each of the panel's four fonts: what
            // those alone cost before any other control.
            int top = 0;
            for (const QFont& font : {PanelFont(8.25), PanelFont(8.25, QFont::Bold), PanelFont(9.75), PanelFont(12, QFont::Bold)}) {
                auto* label = new QLabel(QStringLiteral("Parallel Address:"), window.get());
                label->setFont(font);
                label->move(0, top);
                top += 30;
            }
        }
    }
    FrameWatch frame(*window, [] {
        std::printf("painted %ld\n", PeakRssKiB());
        std::fflush(stdout);
        QCoreApplication::quit();
    });
    window->show();
    return app.exec();
}

// ---- the parent ----

struct StartUp
{
    double seconds = 0;
    long peakRssKiB = 0;
};

// Spawns this program as a child of `kind` and times it to its first frame.
// A quiet child's warnings go to /dev/null.
StartUp SpawnChild(const char* kind, bool quiet = true)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        std::exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    if (quiet)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    char exe[] = "/proc/self/exe", child[] = "--child";
    char* args[] = {exe, child, const_cast<char*>(kind), nullptr};

    const auto start = Clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, exe, &actions, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        std::fprintf(stderr, "cannot start a child: %s\n", std::strerror(spawned));
        std::exit(1);
    }
    std::string line;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n')
        line += c;
    const auto painted = Clock::now();
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);

    StartUp result{Seconds(painted - start).count(), 0};
    if (std::sscanf(line.c_str(), "painted %ld", &result.peakRssKiB) != 1) {
        std::fprintf(stderr, "the %s child did not report its first paint (\"%s\")\n", kind, line.c_str());
        std::exit(1);
    }
    return result;
}

// Passes every access to the layer the panel really uses, noting when the
// first write after Arm() happens.
class TimedPorts final : public PortIo
{
public:
    explicit TimedPorts(PortIo& real) : real_(real) {}

    void Arm() { armed_ = true; }
    Clock::time_point FirstWrite() const { return firstWrite_; }
    bool Wrote() const { return !armed_; }

    PortStatus Open(std::int32_t base) override { return real_.Open(base); }
    PortStatus Refresh() override { return real_.Refresh(); }
    void Close() override { real_.Close(); }
    std::uint8_t PortIn(std::int32_t port) override { return real_.PortIn(port); }
    void PortOut(std::int32_t port, std::uint8_t value) override
    {
        if (armed_) {
            firstWrite_ = Clock::now();
            armed_ = false;
        }
        real_.PortOut(port, value);
    }

private:
    PortIo& real_;
    bool armed_ = false;
    Clock::time_point firstWrite_;
};

// Sends the left button's press or release to the middle of `button`.
void Mouse(QPushButton& button, QEvent::Type type)
{
    const QPointF at = QRectF(button.rect()).center();
    const auto buttons = type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton;
    QMouseEvent event(type, at, button.mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(&button, &event);
}

// Runs the event loop until `done` or until a second has passed.
bool RunUntil(const std::function<bool()>& done)
{
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (!done() && Clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    return done();
}

struct ClickLatencies
{
    std::vector<double> toWrite, toRepaint; // seconds from the release
    std::vector<double> toReleased;         // seconds from the release to the button's released()
    int missed = 0;                         // clicks with no write or no repaint
};

// The control-bit buttons act on the release: they emit released() and
// clicked(), which runs the panel's handler, and repaint raised afterwards.
ClickLatencies MeasureClicks(QPushButton& c1, TimedPorts& ports, int clicks)
{
    ClickLatencies result;
    Clock::time_point releasedAt;
    QObject context;
    QObject::connect(&c1, &QPushButton::released, &context, [&] { releasedAt = Clock::now(); });
    for (int i = 0; i < clicks; ++i) {
        Mouse(c1, QEvent::MouseButtonPress);
        // The frame that counts is the one with the new caption.
        const QString caption = c1.text();
        bool repainted = false;
        Clock::time_point repaintedAt;
        FrameWatch frame(c1, [&] {
            repaintedAt = Clock::now();
            repainted = true;
        }, [&] { return c1.text() != caption; });
        ports.Arm();
        const auto release = Clock::now();
        Mouse(c1, QEvent::MouseButtonRelease);
        if (!RunUntil([&] { return repainted; }) || !ports.Wrote()) {
            ++result.missed;
            continue;
        }
        result.toWrite.push_back(Seconds(ports.FirstWrite() - release).count());
        result.toRepaint.push_back(Seconds(repaintedAt - release).count());
        result.toReleased.push_back(Seconds(releasedAt - release).count());
    }
    return result;
}


} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string_view(argv[1]) == "--child")
        return RunChild(argc, argv, argv[2]);

    // Start-up first, while this process is still small. One unmeasured run
    // of each kind warms the disk and font caches and shows any warnings; the
    // measured runs alternate between the kinds.
    enum Kind { Bare, Label, Fonts, Panel, Kinds };
    const char* const kinds[Kinds] = {"bare", "label", "fonts", "panel"};
    struct Samples
    {
        std::vector<double> seconds, mib;
    } samples[Kinds];
    for (const char* kind : kinds)
        SpawnChild(kind, false);
    for (int i = 0; i < kStartUpRuns; ++i) {
        for (int kind = 0; kind < Kinds; ++kind) {
            const StartUp run = SpawnChild(kinds[kind]);
            samples[kind].seconds.push_back(run.seconds);
            samples[kind].mib.push_back(run.peakRssKiB / 1024.0);
        }
    }

    QApplication app(argc, argv);
    TimedPorts timed(Ports()); // the real layer, timed
    SwitchCore core(timed);
    SwitchForm form(SwitchFormContext{SystemVersionQuery, ShowMessageBox, &core});
    bool shown = false;
    FrameWatch frame(form, [&] { shown = true; });
    form.show();
    if (!RunUntil([&] { return shown; })) {
        std::fprintf(stderr, "the panel was never painted\n");
        return 1;
    }

    // Delay(1000) with the panel open, as it runs during start-up and retries.
    const double cpuBefore = ProcessCpuSeconds();
    const auto wallBefore = Clock::now();
    Delay(1000);
    const double delayShare = (ProcessCpuSeconds() - cpuBefore) / Seconds(Clock::now() - wallBefore).count();

    auto* c1 = form.findChild<QPushButton*>(QStringLiteral("C1"));
    if (!c1) {
        std::fprintf(stderr, "the panel has no button C1\n");
        return 1;
    }
    const std::string port = core.Status().device + (core.Status().IsSimulated() ? " (" + core.Status().reason + ")" : "");
    MeasureClicks(*c1, timed, kWarmUpClicks);
    const ClickLatencies clicks = MeasureClicks(*c1, timed, kClicks);
    if (clicks.toWrite.empty()) {
        std::fprintf(stderr, "no click reached the port\n");
        return 1;
    }

    double startUp[Kinds], rss[Kinds];
    for (int kind = 0; kind < Kinds; ++kind) {
        startUp[kind] = Median(samples[kind].seconds) * 1e3;
        rss[kind] = Median(samples[kind].mib);
    }
    const double ratio = startUp[Panel] / startUp[Label];
    const double extraRss = rss[Panel] - rss[Label];
    const double writeMedian = Median(clicks.toWrite) * 1e6, writeP99 = Percentile(clicks.toWrite, 99) * 1e6;
    const double releasedMedian = Median(clicks.toReleased) * 1e6;
    const double paintMedian = Median(clicks.toRepaint) * 1e3, paintP99 = Percentile(clicks.toRepaint, 99) * 1e3;

    std::printf("rfswitch-panel benchmark\n");
    std::printf("  platform plugin: %s%s\n", qPrintable(QGuiApplication::platformName()),
                QGuiApplication::platformName() == QLatin1String("offscreen")
                    ? " (painting goes to an in-memory backing store, nothing reaches a screen)" : "");
    std::printf("  port %d: %s\n\n", form.PortAddress, port.c_str());

    std::printf("  %-44s %-22s %-12s %s\n", "Figure", "Measured", "Goal", "");
    Row("Start-up to first paint, bare", Format("%.1f ms", startUp[Bare]));
    Row("Start-up to first paint, one label", Format("%.1f ms", startUp[Label]));
    Row("Start-up to first paint, the panel's fonts", Format("%.1f ms", startUp[Fonts]));
    Row("Start-up to first paint, panel", Format("%.1f ms", startUp[Panel]));
    Row("Start-up ratio the panel's fonts / one label", Format("%.2fx", startUp[Fonts] / startUp[Label]));
    Row("Start-up ratio panel / one label", Format("%.2fx", ratio), "<= 1.20x", ratio <= 1.2);
    Row("Peak RSS, bare", Format("%.1f MiB", rss[Bare]));
    Row("Peak RSS, one label", Format("%.1f MiB", rss[Label]));
    Row("Peak RSS, the panel's fonts", Format("%.1f MiB", rss[Fonts]));
    Row("Peak RSS, panel", Format("%.1f MiB", rss[Panel]));
    Row("Peak RSS, panel - one label", Format("%+.2f MiB", extraRss), "<= +3 MiB", extraRss <= 3);
    Row("CPU share of Delay(1000)", Format("%.2f %%", delayShare * 100), "<= 2 %", delayShare <= 0.02);
    Row("Click -> port write, median", Format("%.1f us", writeMedian), "<= 50 us", writeMedian <= 50);
    Row("Click -> port write, p99", Format("%.1f us", writeP99));
    Row("  (of which up to released())", Format("%.1f us", releasedMedian));
    Row("Click -> repainted, median", Format("%.2f ms", paintMedian));
    Row("Click -> repainted, p99", Format("%.2f ms", paintP99), "<= 16 ms", paintP99 <= 16);

    std::printf("\n  Start-up: median of %d fresh processes of this executable per kind, from posix_spawn\n"
                "  (parent's monotonic clock) until the window's first frame is painted and flushed, the top\n"
                "  level's first paint event and all children. Bare: a plain %dx%d QWidget; one label: the\n"
                "  same with a QLabel, which adds the text and font machinery a bare window never loads,\n"
                "  the floor for any window that shows text; the panel's fonts: the same label once in\n"
                "  each of the four fonts the panel's layout uses (11 px, 11 px bold, 13 px, 16 px bold),\n"
                "  what those cost before any other control. Peak RSS: the child's ru_maxrss\n"
                "  then. Delay: process CPU time over monotonic wall time during one Delay(1000).\n"
                "  Clicks: %zu alternating clicks on C1 (press and release sent to it) after %d unmeasured,\n"
                "  timed from the release, on which the button acts before repainting itself raised\n"
                "  (median up to its released() signal shown), then emits clicked(). Write: first\n"
                "  PortOut on the real port layer. Repainted: C1's frame with the new caption painted and\n"
                "  flushed, running the event loop until then.\n",
                kStartUpRuns, kBareWidth, kBareHeight, clicks.toWrite.size(), kWarmUpClicks);
    if (clicks.missed)
        std::printf("  %d clicks wrote nothing or were not repainted within a second and are left out.\n", clicks.missed);
    return 0;
}
