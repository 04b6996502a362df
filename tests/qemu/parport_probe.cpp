// Runs inside a virtual PC as its init's child: drives the emulated parallel
// port at 0x378 through the panel's own backends and prints what it saw, one
// "PROBE ..." line per observation, for run-qemu-test.sh to judge.
#include "PpdevPort.h"
#include "RawPort.h"

#include <cstdio>
#include <string>

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr std::int32_t kBase = 888;
constexpr std::int32_t kStatus = kBase + 1;
constexpr std::int32_t kControl = kBase + 2;
constexpr std::int32_t kNoPort = 632;

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

template <typename Access>
std::string ErrorOf(Access access)
{
    try {
        access();
    } catch (const PortError& error) {
        return error.what();
    }
    return "none";
}

std::string WhyNot(PortBackend& backend, std::int32_t port)
{
    std::string why;
    return backend.Serves(port, why) ? "served" : why;
}

// Another program holding the port: claims it, tells the parent, and keeps it
// until the parent closes the pipe.
pid_t HoldPort(int& release)
{
    int ready[2];
    int hold[2];
    if (pipe(ready) != 0 || pipe(hold) != 0)
        return -1;
    const pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        close(hold[1]);
        const int fd = open("/dev/parport0", O_RDWR);
        const char claimed = fd >= 0 && ioctl(fd, PPCLAIM) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &claimed, 1);
        char ignored;
        (void)!read(hold[0], &ignored, 1);
        _exit(0);
    }
    close(ready[1]);
    close(hold[0]);
    char claimed = 'n';
    (void)!read(ready[0], &claimed, 1);
    close(ready[0]);
    Say(std::string("holder-claimed ") + claimed);
    release = hold[1];
    return child;
}

} // namespace

int main()
{
    {
        PortLayer layer(MakeSystemBackends());
        RawPort raw;  // the same register, bypassing the driver

        Say("describe " + std::to_string(kBase) + " " + layer.Describe(kBase));
        Say("control-after-claim ppdev=" + Byte(layer.PortIn(kControl)) + " raw=" + Byte(raw.PortIn(kControl)));
        for (unsigned value : {0x00u, 0x01u, 0x02u, 0xF1u}) {
            layer.PortOut(kBase, static_cast<std::uint8_t>(value));
            Say("data wrote=" + Byte(value) + " ppdev=" + Byte(layer.PortIn(kBase)) + " raw=" + Byte(raw.PortIn(kBase)));
        }
        raw.PortOut(kBase, 0x5A);
        Say("raw-write wrote=0x5A ppdev=" + Byte(layer.PortIn(kBase)));
        Say("status-read " + Byte(layer.PortIn(kStatus)));
        Say("status-write " + ErrorOf([&] { layer.PortOut(kStatus, 0); }));

        PpdevPort ppdev;
        Say("ppdev-serves " + std::to_string(kNoPort) + " " + WhyNot(ppdev, kNoPort));
        Say("describe " + std::to_string(kNoPort) + " " + layer.Describe(kNoPort));
        Say("raw-serves 0x60 " + WhyNot(raw, 0x60));
        Say("raw-in 0x60 " + ErrorOf([&] { raw.PortIn(0x60); }));
        Say("raw-serves 0x10000 " + WhyNot(raw, 0x10000));
        RawPort guarded("/dev/port", [&](std::int32_t port) { return ppdev.Owns(port); });
        Say("guarded-raw-serves " + std::to_string(kBase) + " " + WhyNot(guarded, kBase));
    }  // the layer releases the port here

    int release = -1;
    const pid_t holder = HoldPort(release);
    {
        PortLayer layer(MakeSystemBackends());
        Say("held-describe " + std::to_string(kBase) + " " + layer.Describe(kBase));
        close(release);
        waitpid(holder, nullptr, 0);
        layer.PortIn(kNoPort);  // looking elsewhere lets the next access try again
        Say("freed-describe " + std::to_string(kBase) + " " + layer.Describe(kBase));
    }
    Say("done");
    return 0;
}
