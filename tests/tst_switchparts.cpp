// The parts the switch core is made of, each on its own: the lock and its
// one refusal rule, the operation queue (order, turns taken from inside an
// operation, abandoned requests, the wait for settling) and the settling.
#include "OperationQueue.h"
#include "Settling.h"
#include "SwitchLock.h"
#include "Table.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// "A" and "B" are two network clients, "P" the panel.
Source Named(QChar name)
{
    if (name == u'P')
        return Source{Source::Kind::Panel, {}, false};
    return Source::Remote(name == u'A' ? "192.0.2.1:5025" : "192.0.2.2:5025");
}

} // namespace

class TestSwitchParts : public QObject
{
    Q_OBJECT

private slots:
    void lock_data()
    {
        // Steps "take A", "release B", …; what each answered (1 granted or
        // changed, 0 not), then who may not switch and why.
        AddColumns<QString, QString, QString, QString>("steps", "answers", "refused", "why");
        QTest::newRow("free, taken") << "take A" << "1" << "B P" << "locked by remote:192.0.2.1:5025";
        QTest::newRow("taken again by its holder") << "take A,take A" << "1 1" << "B P" << "locked by remote:192.0.2.1:5025";
        QTest::newRow("held, another is refused") << "take A,take B" << "1 0" << "B P" << "locked by remote:192.0.2.1:5025";
        QTest::newRow("released by another: still held") << "take A,release B" << "1 0" << "B P" << "locked by remote:192.0.2.1:5025";
        QTest::newRow("released by its holder") << "take A,release A" << "1 1" << "" << "";
        QTest::newRow("the panel holds it") << "take P,take A" << "1 0" << "A B" << "locked by panel";
        QTest::newRow("released, taken by another") << "take A,release A,take B" << "1 1 1" << "A P" << "locked by remote:192.0.2.2:5025";
    }

    void lock()
    {
        const auto [steps, answers, refused, why] = Fetch<QString, QString, QString, QString>("steps", "answers", "refused", "why");
        SwitchLock lock;
        QStringList said;
        for (const QString& step : steps.split(u',')) {
            const Source who = Named(step.back());
            said << QString::number(step.startsWith(u"take") ? lock.Take(who) : lock.Release(who));
        }
        QCOMPARE(said.join(u' '), answers);
        QStringList refusedNow;
        QString words;
        for (const QChar name : {u'A', u'B', u'P'})
            if (const auto refusal = lock.Refusal(Named(name))) {
                refusedNow << name;
                words = QString::fromStdString(refusal->detail);
                QCOMPARE(refusal->cause, Cause::Locked);
                QVERIFY(lock.HeldAgainst(Named(name)));
            }
        QCOMPARE(refusedNow.join(u' '), refused);
        QCOMPARE(words, why);
    }

    void queueRunsInTurn()
    {
        QStringList happened;
        bool settling = false;
        OperationQueue* self = nullptr;
        OperationQueue queue({.settling = [&settling] { return settling; },
                              .abandoned = [&happened](const OperationQueue::Pending& pending,
                                                       const std::string& why) { happened << QString::fromStdString(pending.request + " abandoned: " + why); },
                              .finished = [&happened](const OperationResult& result, const Source&) {
                                  happened << u"finished "_s + QLatin1String(OutcomeName(result.outcome));
                              },
                              .idle = [&happened] { happened << u"idle"_s; }});
        self = &queue;
        const auto operation = [&happened](const char* name) {
            return [&happened, name] {
                happened << QLatin1String(name);
                return OperationResult{};
            };
        };
        // One asked from inside another runs after it, and after what was asked before.
        queue.Add({Source{}, "first", [&] {
                       happened << u"first"_s;
                       self->Add({Source{}, "third", operation("third"), {}, true});
                       return OperationResult{};
                   }, {}, true});
        QCOMPARE(happened.join(u", "), u"first, finished verified, third, finished verified, idle"_s);

        // While settling, what may switch waits, and so does all after it.
        happened.clear();
        settling = true;
        queue.Add({Source{}, "switch", operation("switch"), {}, true});
        queue.Add({Source{}, "read", operation("read"), {}, false});
        QCOMPARE(queue.Waiting(), std::size_t(2));
        QCOMPARE(happened.join(u", "), QString());
        settling = false;
        queue.Resume();
        QCOMPARE(happened.join(u", "), u"switch, finished verified, read, finished verified, idle"_s);

        // An asker that has gone is not served; its done hears why.
        happened.clear();
        Source gone;
        {
            Lifetime lifetime;
            gone.alive = lifetime.Token();
        }
        OperationResult told;
        queue.Add({gone, "select-rf1", operation("select"), [&told](const OperationResult& result) { told = result; }, true});
        QCOMPARE(happened.join(u", "), u"select-rf1 abandoned: the client that asked has gone, finished abandoned, idle"_s);
        QCOMPARE(QString::fromStdString(told.detail), u"not carried out: the client that asked has gone"_s);
    }

    void settlingTime_data()
    {
        AddColumns<int, int>("asked", "taken");
        QTest::newRow("negative") << -5 << 0;
        QTest::newRow("none") << 0 << 0;
        QTest::newRow("within") << 250 << 250;
        QTest::newRow("longest") << 60000 << 60000;
        QTest::newRow("beyond") << 70000 << 60000;
    }

    void settlingTime()
    {
        const auto [asked, taken] = Fetch<int, int>("asked", "taken");
        Settling settling;
        settling.SetTime(std::chrono::milliseconds(asked));
        QCOMPARE(int(settling.Time().count()), taken);
        settling.SetStartTime(std::chrono::milliseconds(asked));
        QCOMPARE(int(settling.StartTime().count()), taken);
    }

    void settlingEndsNeverEarly()
    {
        Settling settling;
        QSignalSpy over(&settling, &Settling::Over);
        QStringList happened;
        settling.Start();  // no settle time: nothing to wait for
        QVERIFY(!settling.Active());
        settling.WhenOver([&happened] { happened << u"at once"_s; });

        settling.SetTime(40ms);
        QElapsedTimer clock;
        clock.start();
        settling.Start();
        QVERIFY(settling.Active());
        settling.WhenOver([&happened, &clock] { happened << (clock.elapsed() >= 40 ? u"after 40 ms"_s : u"early"_s); });
        QCOMPARE(happened.join(u", "), u"at once"_s);
        QVERIFY(over.wait(5000));
        QVERIFY(!settling.Active());
        QCOMPARE(happened.join(u", "), u"at once, after 40 ms"_s);
    }
};

QTEST_GUILESS_MAIN(TestSwitchParts)
#include "tst_switchparts.moc"
