#pragma once

#include <QLocalServer>
#include <QObject>

#include <cstdint>
#include <string>

class QLocalSocket;
class SwitchCore;

// The panel's or the server's side of handing over: while its core holds a
// port, it takes the command line's --select and --query on that port over
// a local socket (see HandOver.h) and runs them on the core, the command line
// named as their source. It follows the core to each new address, and lets
// the name go while the port cannot be used (another process may hold it).
class PortOwner : public QObject
{
    Q_OBJECT

public:
    explicit PortOwner(SwitchCore& core, QObject* parent = nullptr);
    ~PortOwner() override;

private:
    void Follow();
    void Listen(std::int32_t address);
    void Take();
    void Serve(QLocalSocket* socket);

    SwitchCore& core_;
    QLocalServer server_;
    std::int32_t address_ = 0;  // the address listened for, 0 for none
    long group_ = -1;           // the users besides this one who may hand over
    bool warned_ = false;
};
