// Runs as init's child, in /modules, in a virtual PC with two emulated parallel ports
// (0x378 and 0x278) and no parallel-port driver loaded yet. It drives the
// ports through the panel's backends while it loads, unloads and renumbers the
// kernel's drivers and lets other programs hold the port, and compares each
// observation with what the drivers and the hardware should show. The bytes
// on the ports are read past the drivers, through /dev/port. Exits with the
// number of mismatches.
#include "LinuxBackends.h"
#include "PortText.h"
#include "PpdevPort.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/klog.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int mismatches = 0;

void Expect(const std::string& what, const std::string& seen, const std::string& wanted)
{
    std::printf("PROBE %s: %s\n", what.c_str(), seen.c_str());
    if (seen != wanted) {
        std::printf("PROBE MISMATCH, wanted: %s\n", wanted.c_str());
        ++mismatches;
    }
    std::fflush(stdout);
}

std::string Text(const PortStatus& status)
{
    static const char* const reaches[] = {"Real", "Unusable", "Absent", "Refused", "Simulated"};
    return std::string(reaches[int(status.reach)]) + "|" + status.device + "|" + status.reason + "|" + status.nextStep
        + (status.busy ? "|busy" : "");
}

// The byte on an I/O port, past every driver.
std::string Raw(std::int32_t port)
{
    unsigned char value = 0;
    const int fd = open("/dev/port", O_RDONLY | O_CLOEXEC);
    const bool read = fd >= 0 && pread(fd, &value, 1, port) == 1;
    close(fd);
    return read ? HexByte(value) : "unreadable";
}

// What the backend answers to a write, and the byte on the port past the drivers.
std::string Write(PortIo& io, std::int32_t port, std::uint8_t value)
{
    const std::string before = Raw(port);
    try {
        io.PortOut(port, value);
    } catch (const PortError& error) {
        return std::string("refused: ") + error.what() + (Raw(port) == before ? ", unchanged" : ", changed");
    }
    return "wrote " + HexAddress(port) + "=" + Raw(port);
}

// A status, then what a write through the same backend does.
std::string AndWrite(const PortStatus& status, PortIo& io, std::int32_t port, std::uint8_t value)
{
    return Text(status) + " " + Write(io, port, value);
}

// Ten ticks of the panel's timer on a port that another program holds.
std::string Ticks(PpdevPort& ppdev)
{
    const auto logged = [] { return klogctl(9, nullptr, 0); };  // the kernel log's unread bytes: no one reads them here
    const int bytes = logged();
    const int tried = ppdev.ClaimsTried();
    for (int tick = 0; tick < 10; ++tick)
        ppdev.Refresh();
    return "claims=" + std::to_string(ppdev.ClaimsTried() - tried) + " log-bytes=" + std::to_string(logged() - bytes);
}

// Another program on /dev/parport0: claims it (exclusively if asked); each
// byte on its pipe makes it release the claim, keeping the file open, and the
// pipe's end makes it exit.
struct Holder
{
    explicit Holder(bool exclusive)
    {
        (void)!pipe(orders);
        (void)!pipe(answers);
        if ((pid = fork()) == 0) {
            close(orders[1]);
            alarm(5);  // a claim that would wait forever (the panel's left behind) fails instead
            const int fd = open("/dev/parport0", O_RDWR);
            char answer = fd >= 0 && (!exclusive || ioctl(fd, PPEXCL) == 0) && ioctl(fd, PPCLAIM) == 0 ? 'y' : 'n';
            alarm(0);
            while (write(answers[1], &answer, 1) == 1 && read(orders[0], &answer, 1) == 1)
                ioctl(fd, PPRELEASE);
            _exit(0);
        }
        close(orders[0]);
        close(answers[1]);  // so that a holder killed by its alarm is seen
        Expect(exclusive ? "exclusive holder claimed" : "shared holder claimed", Answer(), "y");
    }
    std::string Answer() const
    {
        char answer = 'n';
        (void)!read(answers[0], &answer, 1);
        return {answer};
    }
    void Release() const
    {
        (void)!write(orders[1], "r", 1);
        Answer();
    }
    ~Holder()
    {
        close(orders[1]);
        waitpid(pid, nullptr, 0);
    }
    int orders[2] = {-1, -1};
    int answers[2] = {-1, -1};
    pid_t pid = -1;
};

const std::string kNoPort = "Simulated|simulated port|no parallel port found|have the parallel-port drivers loaded (modprobe parport_pc ppdev)";
const std::string kHeld = "/dev/parport0: in use by another program (ppdev0)|held by another program: close it; the panel "
                          "takes the port as soon as it is free|busy",
                  kHeldWrite = "refused: /dev/parport0: in use by another program (ppdev0), unchanged";

} // namespace

int main()
{
    const PortOptions rawOption{true, {}};
    PortLayer plain(MakeSystemBackends({}));
    PortLayer raw(MakeSystemBackends(rawOption));  // a root panel started with --raw-io

    // A. No driver yet: the simulated port; raw I/O (asked for) reaches a
    // standard base, never another device's registers.
    Expect("no drivers, 888", Text(plain.Open(888)), kNoPort);
    for (std::int32_t base : {632, 956})
        Expect("no drivers, raw " + std::to_string(base), Text(raw.Open(base)), "Real|/dev/port||");
    for (const char* foreign : {"1016 (0x3F8)", "1000 (0x3E8)", "3324 (0xCFC)", "1540 (0x604)"})  // serial, PCI configuration, ACPI
        Expect("no drivers, raw " + std::string(foreign), Text(raw.Open(std::atoi(foreign))),
               "Refused|/dev/port|/dev/port: " + std::string(foreign) + " is not a parallel port: not a standard base address, and no "
               "PCI parallel port decodes it|type a parallel port's base address: 888 (0x378), 632 (0x278) or 956 (0x3BC)");
    Expect("no drivers, raw 888", AndWrite(raw.Open(888), raw, 888, 0x11), "Real|/dev/port|| wrote 0x378=0x11");
    Expect("no drivers, raw 888, read", HexByte(raw.PortIn(888)), "0x11");
    for (const char* outside : {"0x377", "0x37B"})  // only the three registers
        Expect("no drivers, raw " + std::string(outside), Write(raw, std::stoi(outside, nullptr, 16), 0x5A),
               "refused: /dev/port: " + std::string(outside) + " is not a register of the port at 888 (0x378), unchanged");

    // B. parport_pc comes, ppdev not yet: the ports and their ECP registers
    // are the driver's now, and raw I/O lets go of them.
    std::system("insmod parport.ko && insmod parport_pc.ko io=0x378,0x278");
    const std::string notLoaded = "Unusable|/dev/parport0|/dev/parport0: not found: the ppdev module is not loaded"
                                  "|have the ppdev module loaded (modprobe ppdev)";
    Expect("parport_pc, raw", Text(raw.Refresh()), notLoaded);
    Expect("parport_pc, 888", Text(plain.Refresh()), notLoaded);
    for (const auto& [at, span] : {std::pair{889, "0x379 to 0x37B"}, std::pair{1912, "0x778 to 0x77A"}})
        Expect("parport_pc, raw " + std::to_string(at), Text(PortLayer(MakeSystemBackends(rawOption)).Open(at)),
               "Refused|/dev/port|/dev/port: " + std::string(span) + " are registers of /dev/parport0 at 888 (0x378), which the "
               "parallel-port driver serves|type that port's base address to use it through its driver");
    Expect("parport_pc, 890", Text(PortLayer(MakeSystemBackends({})).Open(890)),
           "Simulated|simulated port|no parallel port at 890 (0x37A); /dev/parport0 is at 888 (0x378), /dev/parport1 is at 632 "
           "(0x278)|type the base address of the port the board is on");

    // C. ppdev comes: the panel drives the port without a restart, and a
    // second panel is told and drives nothing. Another program left the port
    // reading (data direction reverse) and its control lines set (the strobe
    // stays, or QEMU would print a byte): the kernel's claim puts its idle
    // state back (forward, INIT not asserted), and the panel writes nothing more.
    std::system("printf '\\056' | dd of=/dev/port bs=1 seek=890 2>/dev/null");
    std::system("insmod ppdev.ko");
    Expect("ppdev, raw", Text(raw.Refresh()), "Real|/dev/parport0||");
    Expect("second panel", Text(plain.Refresh()), "Unusable|/dev/parport0|" + kHeld);
    Expect("second panel, write", Write(plain, 888, 0x33), kHeldWrite);
    const unsigned past = std::stoul(Raw(0x37A).substr(2), nullptr, 16);
    // Only bits 0-3 exist in the control register; raw I/O may show the rest as 1.
    Expect("control after the claim", HexByte(raw.PortIn(890)) + (past & 0x20 ? " reverse " : " forward ") + HexByte(past & 0x0F),
           "0x0C forward 0x0C");
    for (std::uint8_t value : {0x00, 0x01, 0x02, 0xF1}) {
        raw.PortOut(888, value);
        Expect("data " + HexByte(value), HexByte(raw.PortIn(888)) + " " + Raw(0x378), HexByte(value) + " " + HexByte(value));
    }

    // D. The second port is its own; an address with no port lets go of it.
    PortLayer other(MakeSystemBackends({}));
    Expect("other 632", AndWrite(other.Open(632), other, 632, 0xA6) + " " + Raw(0x378), "Real|/dev/parport1|| wrote 0x278=0xA6 0xF1");
    Expect("other 956", Text(other.Open(956)).substr(0, 24), "Simulated|simulated port");

    // E. The printer driver prints on the port the panel left.
    std::system("insmod lp.ko parport=1");
    Expect("print one", std::to_string(std::system("timeout 10 sh -c 'echo PRINT-ONE >/dev/lp0'")), "0");

    // F. The first panel lets go: the second one takes the port at a tick.
    raw.Close();
    Expect("second panel, freed", Text(plain.Refresh()), "Real|/dev/parport0||");
    plain.Close();

    // The port by its device, as a USB adapter (no base address) is chosen:
    // its registers are 0 to 2, through the same driver; sysfs names the
    // hardware, and the list shows it held meanwhile.
    {
        PortLayer byDevice(MakeSystemBackends({}));
        std::string opened = Text(byDevice.OpenDevice("/dev/parport0"));
        opened += " [" + byDevice.Hardware() + "]";  // once it is open
        byDevice.PortOut(0, 0x5A);
        std::string beyond = "written";
        try {
            byDevice.PortOut(3, 0x77);  // I/O port 3 is the DMA controller's: never to be touched
        } catch (const PortError& error) {
            beyond = std::string("refused: ") + error.what();
        }
        Expect("by device", opened + " " + Raw(0x378) + " " + HexByte(byDevice.PortIn(0)) + " " + beyond,
               "Real|/dev/parport0|| [main board (parport_pc)] 0x5A 0x5A refused: 0x3 is not a register of /dev/parport0 at 0 (0x0)");
        const std::vector<std::string> list = ListSystemPorts();
        Expect("list", list.size() == 2 ? list[0] + "\n" + list[1] : std::to_string(list.size()) + " lines",
               "/dev/parport0: base 888 (0x378); main board (parport_pc); modes PCSPP,TRISTATE; held by ppdev0; usable once ppdev0 lets "
               "go of it: --port 888\n/dev/parport1: base 632 (0x278); main board (parport_pc); modes PCSPP,TRISTATE; free; usable: --port 632");
    }

    // G. Another program's shared claim: told at once, nothing written, no
    // claim retried (nor kernel log line) while it holds; driven once it lets go.
    {
        Holder holder(false);
        PpdevPort ppdev;
        Expect("shared", Text(ppdev.Open(888)), "Unusable|/dev/parport0|" + kHeld);
        Expect("shared, write", Write(ppdev, 888, 0x3C), kHeldWrite);
        Expect("shared, ticks", Ticks(ppdev), "claims=0 log-bytes=0");
        holder.Release();
        Expect("shared, freed", AndWrite(ppdev.Refresh(), ppdev, 888, 0x3C), "Real|/dev/parport0|| wrote 0x378=0x3C");
    }

    // H. Exclusively, the same; then the drivers go (a second panel, held
    // off too, sees it at its next tick), and come back with the ports
    // renumbered (0x278 first) before the next tick: 888 is followed to parport1.
    PpdevPort ppdev;
    {
        Holder holder(true);
        Expect("exclusive", Text(ppdev.Open(888)),
               "Unusable|/dev/parport0|/dev/parport0: in use by another program, which holds it exclusively|held exclusively by "
               "another program: close it; the panel takes the port as soon as it is free|busy");
        Expect("exclusive, write", Write(ppdev, 888, 0x44),
               "refused: /dev/parport0: in use by another program, which holds it exclusively, unchanged");
        Expect("exclusive, ticks", Ticks(ppdev), "claims=0 log-bytes=0");
        plain.Open(888);
    }
    std::system("rmmod lp && rmmod ppdev && rmmod parport_pc");
    Expect("drivers gone, second panel", Text(plain.Refresh()), kNoPort);
    std::system("insmod parport_pc.ko io=0x278,0x378 && insmod ppdev.ko && insmod lp.ko parport=0");
    Expect("renumbered", AndWrite(ppdev.Refresh(), ppdev, 888, 0x81), "Real|/dev/parport1|| wrote 0x378=0x81");

    // I. The printer driver, now on parport0 (0x278), prints while the panel holds parport1.
    Expect("print two", std::to_string(std::system("timeout 10 sh -c 'echo PRINT-TWO >/dev/lp0'")), "0");
    Expect("print two, 0x378", Raw(0x378), "0x81");
    ppdev.Close();
    Expect("closed, a tick", Text(ppdev.Refresh()), "Absent|||");
    return mismatches;
}
