#pragma once

// How VXI-11 clients learn the port of the core channel: they ask the port
// mapper on port 111. Where the system's rpcbind runs, the program is
// registered with it (and withdrawn at the end); where no port mapper
// answers and this program may bind port 111, it answers GETPORT itself,
// as instruments do.

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>

class QLocalSocket;
class RpcServer;

class PortMapper : public QObject
{
    Q_OBJECT

public:
    // rpcbind's socket for registrations from this machine.
    static constexpr const char* kRpcbindSocket = "/run/rpcbind.sock";

    explicit PortMapper(QObject* parent = nullptr);
    ~PortMapper() override;

    // Makes `program` `version` on TCP `port` of `host` known; Settled says how.
    void Start(const QHostAddress& host, std::uint32_t program, std::uint32_t version, quint16 port);
    // The line Settled gave, once it has.
    const QString& Line() const { return line_; }

signals:
    void Settled(const QString& line);

private:
    void Register(const QString& whyNotOwn);
    void ReadRegistration();
    void Settle(const QString& line);

    QHostAddress host_;
    std::uint32_t program_ = 0;
    std::uint32_t version_ = 0;
    quint16 port_ = 0;
    RpcServer* own_ = nullptr;
    QLocalSocket* rpcbind_ = nullptr;
    QByteArray replies_;
    QString whyNotOwn_;
    bool registered_ = false;
    QTimer timeout_;
    QString line_;
};
