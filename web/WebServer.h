#pragma once

#include "ConnectionPolicy.h"
#include "Identity.h"
#include "Listener.h"
#include "Metrics.h"
#include "WebDocuments.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class Connection;
class TlsCredentials;
class HttpSession;
class SwitchCore;
class WebSocketSession;
struct HttpAnswer;
struct HttpRequest;

struct WebServerOptions
{
    // Maker, model, serial and version as *IDN? gives them.
    Identity identity;
    // Who may connect, keepalive and --idle-timeout; the cap on connections
    // is the web server's own (WebServer::kMaxConnections).
    ConnectionPolicy policy;
    // The VISA resource strings of the switch's other interfaces, "%1" for
    // the address as the client reached it: "TCPIP0::%1::5025::SOCKET".
    QStringList resources;
    // A request must be in whole, and its answer taken, this long after the
    // connection is ready for it.
    std::chrono::milliseconds deadline{10000};
    // The clients and queued errors of the switch's other servers, for
    // /metrics; the web server adds its own connections.
    std::function<std::vector<ServerLoad>()> servers;
    // Served over TLS (HTTPS) where set.
    std::shared_ptr<const TlsCredentials> tls;
    // The SHA-256 fingerprint of the certificate the switch offers, shown on
    // the page so that a user can compare it (empty: none).
    QString fingerprint;
    // With --tls-required, the doors that serve plain text all the same
    // ("the raw socket on …"), for the page to say (empty: none).
    QString plain;
    // The host name it was told to listen on (--http NAME:PORT), served as
    // the machine's own names are (empty: none).
    QString name;
};

// The switch in a browser, on the switch core: a page that shows the
// schematic, the path, the port's status, the lock and the last operations
// and switches through the core like every other client; it follows every
// change live over a WebSocket, at most once a frame. Also the LXI
// identification document, a small HTTP API for scripts and the metrics
// for Prometheus. Nothing changes
// the switch but a same-origin POST addressed to this machine by name or
// address.
class WebServer : public DoorListener
{
    Q_OBJECT

public:
    using Options = WebServerOptions;

    // The page follows the switch at most this often, however fast clients switch it.
    static constexpr std::chrono::milliseconds kFrame{16};
    static constexpr int kOperationsShown = 20;
    // A browser opens several connections for one page.
    static constexpr int kMaxConnections = 32;
    static constexpr std::size_t kMaxHead = 16 * 1024;
    static constexpr std::size_t kMaxBody = 64 * 1024;
    static constexpr std::size_t kMaxMessage = 4 * 1024;

    explicit WebServer(SwitchCore& core, Options options = {}, QObject* parent = nullptr);
    ~WebServer() override;

    int Connections() const;
    // Pages that follow the switch now.
    int Viewers() const;
    // Bytes held for all connections: requests, answers and messages not
    // taken whole yet.
    std::size_t Buffered() const;

    QString Protocol() const override { return Scheme(); }
    // Last: a page is for people; programs take the other ways in.
    int Preference() const override { return 5; }
    // The pages that follow the switch (ClientsChanged when one starts or stops).
    int Clients() const override { return Viewers(); }
    std::optional<ServerLoad> Load() const override;
    Words Started() const override;
    // "http://bench-pc:8080/" (https:// over TLS), named as clients name the host.
    QString Page() const override;
    // For DNS-SD: _http._tcp (_https._tcp over TLS) with path=/, and _lxi._tcp.
    std::vector<ServiceOffer> Offers() const override;

private:
    struct File
    {
        std::string mime;
        std::string body;
    };

    QString Scheme() const;
    void Serve(Connection* connection) override;
    void MakeRoom(const QHostAddress& peer, bool ownShare);
    void Handle(const HttpRequest& request, HttpSession& session);
    // Switches board `board` (0: the one the body names, else board 1).
    void Select(const HttpRequest& request, HttpSession& session, int board);
    void Follow(const HttpRequest& request, HttpSession& session);
    void Schedule();
    void Push();
    QJsonObject State() const;
    std::string StateText() const;
    std::string Metrics() const;

    SwitchCore& core_;
    Options options_;
    std::map<std::string, File, std::less<>> files_;  // by path
    std::vector<QPointer<HttpSession>> sessions_;
    std::vector<QPointer<WebSocketSession>> pages_;
    std::deque<QString> operations_;
    OperationCounts counts_;
    QTimer push_;
    QElapsedTimer lastPush_;
};
