// Runs as init's child in a virtual PC: drives the emulated parallel port at
// 0x378 through the panel's backends and prints one "PROBE ..." line per
// observation for run-qemu-test.sh to judge.
#include "PpdevPort.h"
#include "RawPort.h"

#include <csignal>
#include <cstdio>
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

std::string Byte(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
    return text;
}

std::string WhyNot(PortBackend& backend, std::int32_t port)
{
    std::string why;
    return backend.Serves(port, why) ? "served" : why;
}

// Another program: claims the port and holds it until it is killed.
pid_t HoldPort()
{
    int ready[2] = {-1, -1};
    const pid_t child = pipe(ready) == 0 ? fork() : -1;
    char claimed = 'n';
    if (child == 0) {
        const int fd = open("/dev/parport0", O_RDWR);
        claimed = fd >= 0 && ioctl(fd, PPCLAIM) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &claimed, 1);
        pause();
        _exit(0);
    }
    (void)!read(ready[0], &claimed, 1);
    Say(std::string("holder-claimed ") + claimed);
    return child;
}

} // namespace

int main()
{
    {
        PortLayer layer(MakeSystemBackends());
        RawPort raw;  // the same registers, past the driver
        Say("describe 888 " + layer.Describe(888));
        Say("control-after-claim ppdev=" + Byte(layer.PortIn(890)) + " raw=" + Byte(raw.PortIn(890)));
        for (unsigned value : {0x00u, 0x01u, 0x02u, 0xF1u}) {
            layer.PortOut(888, static_cast<std::uint8_t>(value));
            Say("data wrote=" + Byte(value) + " ppdev=" + Byte(layer.PortIn(888)) + " raw=" + Byte(raw.PortIn(888)));
        }
        PpdevPort ppdev;
        Say("ppdev-serves 632 " + WhyNot(ppdev, 632));
        Say("describe 632 " + layer.Describe(632));
        Say("raw-serves 0x60 " + WhyNot(raw, 0x60));
        RawPort guarded("/dev/port", [&](std::int32_t port) { return ppdev.Owns(port); });
        Say("guarded-raw-serves 888 " + WhyNot(guarded, 888));
    }  // the layer releases the port here

    const pid_t holder = HoldPort();
    {
        PortLayer layer(MakeSystemBackends());
        Say("held-describe 888 " + layer.Describe(888));
        if (holder > 0)
            kill(holder, SIGKILL);  // its claim goes with it
        waitpid(holder, nullptr, 0);
        layer.PortIn(632);  // looking elsewhere lets the next access try again
        Say("freed-describe 888 " + layer.Describe(888));
    }
    Say("done");
    return 0;
}
