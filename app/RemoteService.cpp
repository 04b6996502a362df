#include "RemoteService.h"

#include "Console.h"
#include "Invocation.h"

#include <QCoreApplication>
#include <QDir>

#ifdef RFSWITCH_REMOTE_MODULE
#include <dlfcn.h>
#else
extern "C" RemoteService* rfswitch_start_remote(const Invocation&, SwitchSetup&, RemoteService::Failure*);
#endif

namespace {

class NothingServed final : public RemoteService
{
public:
    int Clients() const override { return -1; }
    QStringList Lines() const override { return {}; }
};

#ifdef RFSWITCH_REMOTE_MODULE
// The module beside the program, loaded once and kept: the servers' objects
// live as long as the program.
StartRemote LoadModule(QString* error)
{
    const QByteArray path = QFile::encodeName(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral(RFSWITCH_REMOTE_MODULE)));
    void* module = dlopen(path.constData(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        *error = QString::fromLocal8Bit(dlerror());
        return nullptr;
    }
    auto start = reinterpret_cast<StartRemote>(dlsym(module, RFSWITCH_REMOTE_ENTRY));
    if (!start)
        *error = QString::fromLocal8Bit(dlerror());
    return start;
}
#endif

} // namespace

std::unique_ptr<RemoteService> RemoteService::Start(const Invocation& invocation, SwitchSetup& setup, Failure* failure)
{
    if (invocation.listen.isEmpty() && invocation.http.isEmpty() && invocation.https.isEmpty())
        return std::make_unique<NothingServed>();
#ifdef RFSWITCH_REMOTE_MODULE
    QString error;
    const StartRemote start = LoadModule(&error);
    if (!start) {
        const QString words = QStringLiteral("the servers cannot be loaded: %1 (reinstall the package)").arg(error);
        Fail(kExitCannotServe, words);
        if (failure)
            *failure = {kExitCannotServe, words};
        return nullptr;
    }
#else
    const StartRemote start = rfswitch_start_remote;
#endif
    return std::unique_ptr<RemoteService>(start(invocation, setup, failure));
}
