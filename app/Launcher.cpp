// The program as it is started: what needs only Qt Core (help, --select,
// --query) is done here, so that scripts do not pay for loading the window
// libraries; the panel and the server are the work of the program beside it.
#include "OneShot.h"

#include <QByteArray>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

namespace {

// Where the panel program lies: beside this one in a build tree, else where
// the package installs it.
std::string PanelProgram()
{
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = length > 0 ? std::string(self, std::size_t(length)) : std::string();
    dir = dir.substr(0, dir.find_last_of('/') + 1);
    for (const std::string& candidate : {dir + "rfswitch-panel-ui", dir + RFSWITCH_UI_FROM_BIN "/rfswitch-panel-ui"})
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    return dir + RFSWITCH_UI_FROM_BIN "/rfswitch-panel-ui";
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (const auto done = RunWithoutWindow(ParseCommandLine(arguments), argc, argv))
        return *done;
    const std::string program = PanelProgram();
    execv(program.c_str(), argv);
    std::fprintf(stderr, "rfswitch-panel: cannot start %s: %s\n", program.c_str(), std::strerror(errno));
    return kExitNoBoard;
}
