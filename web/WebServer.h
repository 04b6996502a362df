#pragma once

#include "ConnectionPolicy.h"
#include "Identity.h"
#include "NetAddress.h"
#include "WebDocuments.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTimer>

#include <chrono>
#include <deque>
#include <memory>
#include <vector>

class QHttpServer;
class QTcpServer;
class QHttpServerRequest;
class QHttpServerResponder;
class QWebSocket;
class SwitchCore;

struct WebServerOptions
{
    // Maker, model, serial and version as *IDN? gives them.
    Identity identity;
    ConnectionPolicy policy;
    // The VISA resource strings of the switch's other interfaces, "%1" for
    // the address as the client reached it: "TCPIP0::%1::5025::SOCKET".
    QStringList resources;
};

// A service for DNS-SD to announce the page by.
struct WebService
{
    QString type;  // "_http._tcp"
    quint16 port = 0;
    QList<QPair<QByteArray, QByteArray>> txt;
};

// The switch in a browser, on the switch core: a page that shows the
// schematic, the path, the port's status, the lock and the last operations
// and switches through the core like every other client; it follows every
// change live over a WebSocket, at most once a frame. Also the LXI
// identification document and a small HTTP API for scripts. Nothing changes
// the switch but a same-origin POST.
class WebServer : public QObject
{
    Q_OBJECT

public:
    using Options = WebServerOptions;

    // The page follows the switch at most this often, however fast clients switch it.
    static constexpr std::chrono::milliseconds kFrame{16};
    static constexpr int kOperationsShown = 20;
    static constexpr int kMaxPages = 32;  // pages following at once

    explicit WebServer(SwitchCore& core, Options options = {}, QObject* parent = nullptr);
    ~WebServer() override;

    bool Listen(const ListenAddress& address, QString* error = nullptr);
    // "http://127.0.0.1:8080/" once listening, else empty.
    QString Url() const;
    quint16 Port() const;
    // For DNS-SD: _http._tcp with path=/, and _lxi._tcp.
    QList<WebService> Services() const;

signals:
    // A peer was turned away: who, and why.
    void Refused(const QString& peer, const QString& why);
    void Listening(const QString& url);

private:
    struct Page;

    void Route();
    void Select(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    void Follow();
    void Schedule();
    void Push();
    QJsonObject State() const;
    bool Admit(const QHostAddress& peer, quint16 port);

    SwitchCore& core_;
    Options options_;
    std::unique_ptr<QHttpServer> http_;
    QTcpServer* tcp_ = nullptr;
    std::deque<QString> operations_;
    std::vector<std::unique_ptr<Page>> pages_;
    QTimer push_;
    QElapsedTimer lastPush_;
};
