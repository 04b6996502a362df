#pragma once

#include "PortIo.h"

#include <QLocalServer>
#include <QObject>

#include <optional>

class QLocalSocket;
class SwitchCore;

// The panel's or the server's side of handing over: while its core holds a
// port, it takes the command line's --select and --query on that port over
// a local socket (see HandOver.h) and runs them on the core, the command line
// named as their source, as the command line would run them itself: where
// nothing is known of the board it is read first. A command is dropped when
// its command line stops waiting, or is not started in kOwnerStartTime. It
// follows the core to each new port, listening for the port as chosen and,
// for one chosen by address, for its device too; and lets the names go while
// the port cannot be used (another process may hold it).
class PortOwner : public QObject
{
    Q_OBJECT

public:
    explicit PortOwner(SwitchCore& core, QObject* parent = nullptr);
    ~PortOwner() override;

private:
    void Follow();
    void Listen(QLocalServer& server, const PortName& port);
    void Take(QLocalServer& server);
    void Serve(QLocalSocket* socket);

    SwitchCore& core_;
    QLocalServer server_;  // the port as chosen
    QLocalServer device_;  // its device, where it was chosen by address
    std::optional<PortName> port_, alias_;  // what is listened for
    long group_ = -1;      // the users besides this one who may hand over
    bool warned_ = false;
};
