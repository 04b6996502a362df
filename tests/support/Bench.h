#pragma once

#include "FakePort.h"
#include "RelayCycles.h"
#include "SwitchCore.h"

#include <memory>

// A core at 888 on a fake port whose data register holds `held`, counting
// relay cycles into `folder` where one is given; the trace starts afresh.
struct Bench
{
    explicit Bench(std::uint8_t held = 0, const PortStatus& status = kRealPort, const QString& folder = {})
    {
        port.latched[888] = held;
        port.status = status;
        if (!folder.isEmpty()) {
            cycles = std::make_unique<RelayCycles>(folder);
            core.SetCycles(cycles.get());
        }
        core.Attach(888, Source{});  // reads the bits off the register
        port.Take();
    }
    ~Bench() { core.SetCycles(nullptr); }

    // One step of a table's row: "rf1", "rf2" or "off" selected; "C1:00" a
    // click on C1 with C1=0 and C2=0 seen; "read"; "take" (the address
    // entered again); "outside:01" (another program sets the register).
    void Do(const QString& step, const Source& source)
    {
        if (step.startsWith(u'C'))
            core.Toggle(step[1] == u'1' ? 0 : 1, {step[3] == u'1', step[4] == u'1'}, source);
        else if (step.startsWith(QLatin1String("outside:")))
            port.latched[888] = std::uint8_t(step.mid(8).toInt(nullptr, 16));
        else if (step == QLatin1String("read"))
            core.Read(source);
        else if (step == QLatin1String("take"))
            core.TakeAddress(888, true, source);
        else
            core.Select(step == QLatin1String("rf1") ? RfPath::Rf1 : step == QLatin1String("rf2") ? RfPath::Rf2 : RfPath::Off, source);
    }

    // "10": C1 set, C2 clear, as the port read them back; "?" when nothing is known.
    QString State() const
    {
        const auto bits = core.State();
        return bits ? QStringLiteral("%1%2").arg(int(bits->c1)).arg(int(bits->c2)) : QStringLiteral("?");
    }
    // How often RF1 and RF2 have closed: "2 1".
    QString Counts() const { return QStringLiteral("%1 %2").arg(core.Cycles().rf1).arg(core.Cycles().rf2); }

    FakePort port;
    SwitchCore core{port};
    std::unique_ptr<RelayCycles> cycles;
};
