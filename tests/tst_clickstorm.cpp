#include "Module1.h"
#include "Panel.h"

#include <QLineEdit>
#include <QTimer>

#include <algorithm>
#include <random>

// Ten thousand random user actions against a port that misbehaves at random.
// Replay a failure with the seed it prints: STORM_SEED=<seed> tst_clickstorm
namespace {

constexpr int kActions = 10000;
const QString kReadError = QStringLiteral("/dev/parport0: no such device");
const char* const kTexts[] = {"888", "632", "&H378", "0", "-5", "abc", "2147483648", "2147483646"};

enum class Mode { Behaves, Late, Slow, Stuck, ReadError };
enum class Action { C1, C2, Help, Enter, Tab };

} // namespace

class ClickStormTest : public QObject
{
    Q_OBJECT

private slots:
    void tenThousandActions();

private:
    int Random(int n) { return int(random() % std::uint64_t(n)); }
    Mode PickMode(bool takesAddress);
    void Do(Action action);
    void Watch(const PortAccess& access);
    void EndWriteCall();
    void Check(bool condition, const QString& what);

    std::unique_ptr<Panel> panel;
    SwitchForm* form = nullptr;
    QLineEdit* address = nullptr;

    std::mt19937_64 random;
    quint64 seed = 0;
    int step = 0;
    int violationCount = 0;
    QStringList violations;
    // The verified write under way as the port sees it: the same byte written
    // again and again until a read-back right after a write gives it.
    struct { std::int32_t port = 0; std::uint8_t value = 0; int attempts = 0; bool verified = false; } call;
    bool lastWasCallWrite = false;
    int failedWrites = 0;
    int nestedInside = 0;
    bool nestedOutside = false; // this step's nested action ran after it, not inside a wait
};

Mode ClickStormTest::PickMode(bool takesAddress)
{
    // Waiting modes are rare: each costs up to half a second per write. A failed
    // read costs a click nothing but an address entry all its paused retries.
    const int r = Random(1000);
    if (r < 4)
        return Mode::Slow;
    if (r < 7)
        return Mode::Stuck;
    if (r < (takesAddress ? 9 : 50))
        return Mode::ReadError;
    return r < 250 ? Mode::Late : Mode::Behaves;
}

void ClickStormTest::Do(Action action)
{
    switch (action) {
    case Action::C1: panel->Click(QStringLiteral("C1")); break;
    case Action::C2: panel->Click(QStringLiteral("C2")); break;
    case Action::Help: panel->Click(QStringLiteral("Command2")); break;
    case Action::Enter:
    case Action::Tab:
        address->setFocus();
        address->selectAll();
        QTest::keyClicks(address, QString::fromLatin1(kTexts[Random(10) < 7 ? Random(3) : Random(10) < 6 ? 3 + Random(3) : 6 + Random(2)]));
        QTest::keyClick(address, action == Action::Enter ? Qt::Key_Return : Qt::Key_Tab);
        break;
    }
}

void ClickStormTest::Watch(const PortAccess& access)
{
    const bool write = access.kind == PortAccess::Kind::Write;
    if (write) {
        Check((access.value & 3) != 3, QStringLiteral("wrote 0x%1 to port %2").arg(access.value, 0, 16).arg(access.port));
        if (call.attempts > 0 && !call.verified && call.attempts < kWriteAttempts && call.port == access.port && call.value == access.value) {
            ++call.attempts;
        } else {
            EndWriteCall();
            call = {access.port, access.value, 1, false};
        }
    } else if (lastWasCallWrite && access.port == call.port && access.value == call.value) {
        call.verified = true;
    }
    lastWasCallWrite = write;
}

// Called at the next access after a verified write or at the end of a step:
// by then the window has reacted to the write's outcome.
void ClickStormTest::EndWriteCall()
{
    if (call.attempts > 0 && !call.verified) {
        ++failedWrites;
        const QString shown = QStringLiteral("Port %1: wrote 0x%2").arg(call.port).arg(QString::number(call.value, 16).rightJustified(2, '0').toUpper());
        const QLabel* status = panel->Status();
        Check(status->text().startsWith(shown) && status->palette().color(QPalette::WindowText) == QColor(255, 0, 0)
                  && status->text().contains(QString::fromStdString(panel->port.readError)),
              QStringLiteral("write that did not verify not shown, status \"%1\"").arg(status->text()));
    }
    call = {};
    lastWasCallWrite = false;
}

void ClickStormTest::Check(bool condition, const QString& what)
{
    if (condition)
        return;
    if (violations.size() < 10)
        violations << QStringLiteral("action %1: %2").arg(step).arg(what);
    ++violationCount;
}

void ClickStormTest::tenThousandActions()
{
    // The offscreen platform cannot raise the help window and says so at every click.
    static QtMessageHandler previous = nullptr;
    previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (text != QLatin1String("This plugin does not support raise()"))
            previous(type, context, text);
    });
    seed = qEnvironmentVariableIsSet("STORM_SEED") ? qEnvironmentVariable("STORM_SEED").toULongLong() : 20240611;
    random.seed(seed);
    panel = std::make_unique<Panel>();
    QVERIFY(panel->Show());
    form = panel->form.get();
    address = panel->Find<QLineEdit>(QStringLiteral("ParallelText"));
    FakePort& port = panel->port;
    port.accesses.clear();
    port.onAccess = [this](const PortAccess& access) { Watch(access); };

    // Whether every access since the last address entry found the port
    // behaving, and whether the captions changed since then: an entry clears
    // the register but leaves a "1" standing until that button is clicked.
    bool behaved = true, settled = true;
    int readErrors = 0, compared = 0;
    for (step = 0; step < kActions; ++step) {
        const int pick = Random(100);
        const Action action = pick < 35 ? Action::C1 : pick < 70 ? Action::C2 : pick < 76 ? Action::Help
                            : pick < 88 ? Action::Enter : Action::Tab;
        if ((action == Action::Enter || action == Action::Tab) && !form->isActiveWindow()) // the help window took it
            QVERIFY(panel->Activate());
        const Mode mode = PickMode(action == Action::Enter || action == Action::Tab || address->hasFocus());
        port.readBackAfter = mode == Mode::Late ? 2 + Random(100) : mode == Mode::Slow ? 102 + Random(4) : 1;
        port.stuckRead = mode == Mode::Stuck ? std::optional<std::uint8_t>(Random(256)) : std::nullopt;
        port.readError = mode == Mode::ReadError ? kReadError.toStdString() : std::string();
        const QString before = panel->Captions();
        const qsizetype messagesBefore = panel->messages.size();

        nestedOutside = false;
        if (mode == Mode::Slow || mode == Mode::Stuck) {
            // Delivered from inside the retry wait when the action reaches one.
            const Action nested = Action(Random(4));
            QTimer::singleShot(0, form, [this, nested] {
                if (form->cursor().shape() == Qt::BusyCursor)
                    ++nestedInside;
                else
                    nestedOutside = true;
                Do(nested);
            });
        }
        Do(action);
        QCoreApplication::processEvents(); // an action scheduled for a wait that never came
        EndWriteCall();

        const QString captions = panel->Captions();
        const std::int32_t at = form->PortAddress;
        const bool entered = at >= 1 && at <= INT32_MAX - 2
            && std::ranges::any_of(port.accesses, [&](const PortAccess& a) { return a.port == at + 2; });
        if (entered) {
            behaved = mode == Mode::Behaves;
            settled = false;
        } else if (mode != Mode::Behaves && !port.accesses.empty()) {
            behaved = false;
        }
        settled |= captions != before;

        Check(form->isVisible() && !QCoreApplication::closingDown(), QStringLiteral("the window is gone"));
        Check(captions == "00" || captions == "10" || captions == "01", QStringLiteral("captions %1").arg(captions));
        if (at >= 1)
            Check((port.Latched(at) & 3) != 3, QStringLiteral("port %1 holds 0x%2").arg(at).arg(port.Latched(at), 0, 16));
        Check(panel->Lines() == LinesFor(captions), QStringLiteral("lines not drawn for %1").arg(captions));
        if (at >= 1 && behaved && (settled || captions == "00")) {
            ++compared;
            const QString bits = QString::number(port.Latched(at) & 1) + QString::number((port.Latched(at) >> 1) & 1);
            Check(bits == captions, QStringLiteral("captions %1, port %2 holds 0x%3").arg(captions).arg(at).arg(port.Latched(at), 0, 16));
        }

        // A click that had to read the register and could not says so and changes nothing.
        if ((action == Action::C1 || action == Action::C2) && !nestedOutside) {
            const int own = action == Action::C1 ? 0 : 1;
            const bool reads = before[own] == '1' || (before[own] == '0' && before[1 - own] == '0');
            if (reads && (mode == Mode::ReadError || at < 1)) {
                ++readErrors;
                const QString words = at < 1 ? QStringLiteral("no port at address") : kReadError;
                Check(std::any_of(panel->messages.begin() + messagesBefore, panel->messages.end(),
                                  [&](const QString& m) { return m.contains(words); }),
                      QStringLiteral("read error not shown: %1").arg(words));
                Check(captions == before, QStringLiteral("captions %1 after a failed read from %2").arg(captions, before));
            }
        }
        port.accesses.clear();
    }

    qInfo("click storm, seed %llu: %d actions, %d of them delivered inside a retry wait, "
          "%d failed verifications and %d read errors shown, captions compared with the port after %d, %d violations",
          seed, kActions, nestedInside, failedWrites, readErrors, compared, violationCount);
    QVERIFY2(violations.isEmpty(),
             qPrintable(QStringLiteral("replay with STORM_SEED=%1\n").arg(seed) + violations.join(QLatin1Char('\n'))));
    QVERIFY(nestedInside > 0);
    QVERIFY(failedWrites > 0);
    QVERIFY(readErrors > 0);
    port.onAccess = nullptr;
    qInstallMessageHandler(previous);
}

QTEST_MAIN(ClickStormTest)
#include "tst_clickstorm.moc"
