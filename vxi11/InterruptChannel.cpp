#include "InterruptChannel.h"

#include "RpcServer.h"
#include "TcpIo.h"
#include "vxi11.h"

#include <QTcpSocket>

#include <utility>

InterruptChannel::InterruptChannel(const QHostAddress& host, quint16 port, std::chrono::seconds keepAlive, std::size_t maxUnsent,
                                   QObject* parent)
    : QObject(parent), socket_(new QTcpSocket(this)), host_(host), port_(port), keepAlive_(keepAlive), maxUnsent_(maxUnsent)
{
    connectTimeout_.setSingleShot(true);
    connect(&connectTimeout_, &QTimer::timeout, this, &InterruptChannel::Close);
    connect(socket_, &QTcpSocket::connected, this, [this] {
        connectTimeout_.stop();
        tcp::Prepare(socket_->socketDescriptor(), keepAlive_);
        if (const auto done = std::exchange(done_, {}))
            done(true);
    });
    connect(socket_, &QTcpSocket::errorOccurred, this, &InterruptChannel::Close);
    connect(socket_, &QTcpSocket::disconnected, this, &InterruptChannel::Close);
    // Replies to calls that wait for none: nothing to do with them.
    connect(socket_, &QTcpSocket::readyRead, this, [this] { socket_->readAll(); });
}

void InterruptChannel::Open(std::function<void(bool)> done)
{
    done_ = std::move(done);
    connectTimeout_.start(kConnectTimeout);
    socket_->connectToHost(host_, port_);
}

void InterruptChannel::Raise(const QByteArray& handle)
{
    if (ended_ || socket_->state() != QAbstractSocket::ConnectedState)
        return;
    // A client that has left this much untaken is not listening any more.
    if (std::size_t(socket_->bytesToWrite()) > maxUnsent_) {
        Close();
        return;
    }
    QByteArray bytes = handle;
    Device_SrqParms parameters{{static_cast<u_int>(bytes.size()), bytes.data()}};
    socket_->write(CallRecord(CallHeader(++xid_, DEVICE_INTR, DEVICE_INTR_VERSION, device_intr_srq),
                              AsXdrProc(xdr_Device_SrqParms), &parameters));
}

std::size_t InterruptChannel::Unsent() const
{
    return std::size_t(socket_->bytesToWrite());
}

void InterruptChannel::Close()
{
    if (std::exchange(ended_, true))
        return;
    connectTimeout_.stop();
    // What was raised before goes out ahead of the end, and the replies not
    // read yet (a little of them: no client holds this up) are taken first,
    // so that the end is a close and no reset.
    socket_->flush();
    char replies[4096];
    for (int i = 0; i < 16 && socket_->state() == QAbstractSocket::ConnectedState
                    && tcp::Receive(socket_->socketDescriptor(), replies, sizeof replies).status == tcp::Io::Status::Moved;
         ++i) {
    }
    socket_->abort();
    if (const auto done = std::exchange(done_, {}))
        done(false);
    emit Closed();
}
