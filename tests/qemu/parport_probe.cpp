// Runs as init's child in a virtual PC with two emulated parallel ports
// (0x378 and 0x278) and no parallel-port driver loaded yet. It drives the
// ports through the panel's backends while it loads, reloads and renumbers the
// kernel's drivers and lets other programs hold the port, and prints one
// "PROBE ..." line per observation for run-qemu-test.sh to judge. The bytes
// on the ports are read past the drivers, through /dev/port.
#include "LinuxBackends.h"
#include "PortText.h"
#include "PpdevPort.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void Say(const std::string& line)
{
    std::printf("PROBE %s\n", line.c_str());
    std::fflush(stdout);
}

std::string Text(const PortStatus& status)
{
    static const char* const reaches[] = {"Real", "Unusable", "Absent", "Refused"};
    return std::string(reaches[int(status.reach)]) + "|" + status.device + "|" + status.reason + "|" + status.nextStep
        + (status.busy ? "|busy" : "");
}

// The byte on an I/O port, past every driver.
std::string Raw(std::int32_t port)
{
    const int fd = open("/dev/port", O_RDONLY | O_CLOEXEC);
    unsigned char value = 0;
    const bool read = fd >= 0 && pread(fd, &value, 1, port) == 1;
    if (fd >= 0)
        close(fd);
    return read ? HexByte(value) : "unreadable";
}

// Puts a byte on an I/O port past every driver, as another program might have.
void RawPut(std::int32_t port, unsigned char value)
{
    const int fd = open("/dev/port", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        (void)!pwrite(fd, &value, 1, port);
        close(fd);
    }
}

std::string Shell(const std::string& command)
{
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            output += buffer;
        pclose(pipe);
    }
    while (!output.empty() && (output.back() == '\n' || output.back() == ' '))
        output.pop_back();
    return output;
}

int LogLines()
{
    return std::atoi(Shell("dmesg | wc -l").c_str());
}

std::string Write(PortIo& io, std::int32_t port, std::uint8_t value)
{
    try {
        io.PortOut(port, value);
        return "wrote";
    } catch (const PortError& error) {
        return std::string("refused: ") + error.what();
    }
}

// One tick of the panel's timer: the change the probe has just made (a
// driver loaded, a holder gone) is complete when its command returns.
std::string Tick(PortIo& io)
{
    const PortStatus status = io.Refresh();
    return status.reach == PortReach::Real ? "real " + status.device : "still " + Text(status);
}

// Another program on /dev/parport0: claims it (exclusively if asked), then
// obeys its pipe: 'r' releases the claim (the file stays open), 'x' exits.
struct Holder
{
    explicit Holder(bool exclusive)
    {
        int ready[2] = {-1, -1};
        int orders[2] = {-1, -1};
        if (pipe(ready) != 0 || pipe(orders) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            // A claim that would wait forever (the panel's left behind) fails instead.
            alarm(5);
            const int fd = open("/dev/parport0", O_RDWR);
            char claimed = fd >= 0 && (!exclusive || ioctl(fd, PPEXCL) == 0) && ioctl(fd, PPCLAIM) == 0 ? 'y' : 'n';
            alarm(0);
            (void)!write(ready[1], &claimed, 1);
            char order = 0;
            while (read(orders[0], &order, 1) == 1 && order != 'x') {
                if (order == 'r')
                    ioctl(fd, PPRELEASE);
                (void)!write(ready[1], &order, 1);
            }
            _exit(0);
        }
        close(ready[1]);  // so that a holder killed by its alarm is seen
        close(orders[0]);
        command = orders[1];
        done = ready[0];
        char claimed = 'n';
        (void)!read(done, &claimed, 1);
        Say(std::string(exclusive ? "exclusive" : "shared") + "-holder claimed " + claimed);
    }
    void Release()
    {
        char order = 'r';
        (void)!write(command, &order, 1);
        (void)!read(done, &order, 1);
    }
    void Exit()
    {
        char order = 'x';
        (void)!write(command, &order, 1);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    ~Holder()
    {
        if (pid > 0)
            Exit();
    }
    pid_t pid = -1;
    int command = -1;
    int done = -1;
};

const char* const kInsmod = "insmod /modules/";

} // namespace

int main()
{
    PortOptions rawOption;
    rawOption.rawIo = true;
    PortLayer plain(MakeSystemBackends({}));
    PortLayer raw(MakeSystemBackends(rawOption));  // a root panel started with --raw-io

    // A. No driver yet.
    Say("nodrivers plain 888 " + Text(plain.Open(888)));
    Say("nodrivers raw 888 " + Text(raw.Open(888)));
    std::string wrote = Write(raw, 888, 0x11);
    Say("nodrivers raw-write " + wrote + " 0x378=" + Raw(0x378));
    for (std::int32_t foreign : {1016, 1000, 3324, 1540}) {
        const std::string said = Text(raw.Open(foreign));
        Say("nodrivers raw " + std::to_string(foreign) + " " + said.substr(0, 8) + " " + Write(raw, foreign, 0).substr(0, 7));
    }
    raw.Open(888);

    // B. parport_pc comes, ppdev not yet: the port is the driver's now.
    Shell(std::string(kInsmod) + "parport.ko && " + kInsmod + "parport_pc.ko io=0x378,0x278");
    Say("parport_pc table " + Shell("cat /proc/sys/dev/parport/parport*/base-addr | tr '\\t\\n' ' '"));
    Say("parport_pc raw 888 " + Text(raw.Refresh()));
    Say("parport_pc plain 888 " + Text(plain.Refresh()));
    // (loading parport_pc wrote the register itself)
    std::string before = Raw(0x378);
    wrote = Write(raw, 888, 0x22);
    Say("parport_pc raw-write " + wrote.substr(0, 7) + " unchanged=" + (Raw(0x378) == before ? "y" : "n"));

    // C. ppdev comes: the panel drives the port without a restart. Another
    // program left the port reading (data direction reverse) and its control
    // lines set: the claim must turn both back.
    RawPut(0x37A, 0x2E);  // the strobe stays: QEMU would print a byte
    Shell(std::string(kInsmod) + "ppdev.ko");
    Say("ppdev raw 888 " + Tick(raw));
    {
        Say("second-panel 888 " + Text(plain.Refresh()));  // a second panel on the same port
    }
    before = Raw(0x378);
    wrote = Write(plain, 888, 0x33);
    Say("second-panel write " + wrote.substr(0, 7) + " unchanged=" + (Raw(0x378) == before ? "y" : "n"));
    const std::uint8_t control = raw.PortIn(890);
    const std::string past = Raw(0x37A);
    const unsigned lines = std::stoul(past.substr(2), nullptr, 16) & 0x2F;  // direction (bit 5) and the four lines
    Say("control-after-claim ppdev=" + HexByte(control) + " direction=" + (lines & 0x20 ? "reverse" : "forward")
        + " lines=" + HexByte(static_cast<std::uint8_t>(lines & 0x0F)));
    for (std::uint8_t value : {0x00, 0x01, 0x02, 0xF1}) {
        raw.PortOut(888, value);
        const std::uint8_t data = raw.PortIn(888);
        Say("data wrote=" + HexByte(value) + " ppdev=" + HexByte(data) + " raw=" + Raw(0x378));
    }

    // D. The second port, then an address with no port: its claim goes.
    PortLayer other(MakeSystemBackends({}));
    Say("other 632 " + Text(other.Open(632)));
    wrote = Write(other, 632, 0xA6);
    Say("other write " + wrote + " 0x278=" + Raw(0x278) + " 0x378=" + Raw(0x378));
    Say("other 956 " + Text(other.Open(956)).substr(0, 21));

    // E. The printer driver on the second port prints while the panel sits at the first.
    Shell(std::string(kInsmod) + "lp.ko parport=1");
    Say("print-one exit=" + Shell("timeout 10 sh -c 'echo PRINT-ONE >/dev/lp0'; echo $?"));

    // F. The first panel lets go: the second one takes the port at a tick.
    raw.Close();
    Say("second-panel " + Tick(plain));
    plain.Close();

    // G. Another program holds the port (shared claim).
    {
        Holder holder(false);
        PpdevPort ppdev;
        Say("shared-held " + Text(ppdev.Open(888)));
        before = Raw(0x378);
        wrote = Write(ppdev, 888, 0x3C);
        Say("shared-held write " + wrote.substr(0, 7) + " unchanged=" + (Raw(0x378) == before ? "y" : "n"));
        const int lines = LogLines();
        const int tried = ppdev.ClaimsTried();
        for (int tick = 0; tick < 10; ++tick)
            ppdev.Refresh();
        Say("shared-held ticks claims=" + std::to_string(ppdev.ClaimsTried() - tried) + " log-lines="
            + std::to_string(LogLines() - lines));
        holder.Release();
        Say("shared-freed " + Tick(ppdev));
        wrote = Write(ppdev, 888, 0x3C);
        Say("shared-freed write " + wrote + " 0x378=" + Raw(0x378));
    }

    // H. Exclusively; then it exits and the drivers are reloaded with the
    // ports renumbered (0x278 first) before the next tick.
    PpdevPort ppdev;
    {
        Holder holder(true);
        Say("exclusive-held " + Text(ppdev.Open(888)));
        before = Raw(0x378);
        wrote = Write(ppdev, 888, 0x44);
        Say("exclusive-held write " + wrote.substr(0, 7) + " unchanged=" + (Raw(0x378) == before ? "y" : "n"));
        const int lines = LogLines();
        const int tried = ppdev.ClaimsTried();
        for (int tick = 0; tick < 10; ++tick)
            ppdev.Refresh();
        Say("exclusive-held ticks claims=" + std::to_string(ppdev.ClaimsTried() - tried) + " log-lines="
            + std::to_string(LogLines() - lines));
    }
    Say("renumber " + Shell(std::string("rmmod lp && rmmod ppdev && rmmod parport_pc && ") + kInsmod
                            + "parport_pc.ko io=0x278,0x378 && " + kInsmod + "ppdev.ko && " + kInsmod
                            + "lp.ko parport=0 && echo ok"));
    Say("renumbered table " + Shell("for p in /proc/sys/dev/parport/parport*; do echo ${p##*/}=$(cut -f1 $p/base-addr); done | tr '\\n' ' '"));
    Say("exclusive-freed " + Tick(ppdev));
    wrote = Write(ppdev, 888, 0x81);
    Say("renumbered write " + wrote + " 0x378=" + Raw(0x378));

    // I. The printer driver, now on parport0 (0x278), prints while the panel holds parport1.
    Say("print-two exit=" + Shell("timeout 10 sh -c 'echo PRINT-TWO >/dev/lp0'; echo $?"));
    Say("after-print 0x378=" + Raw(0x378));
    ppdev.Close();
    Say("done");
    return 0;
}
