#pragma once

// TLS for the servers' connections, on OpenSSL with memory buffers, so that
// it runs inside a Connection on its own socket: from the first byte
// (HTTPS) or switched on and off in mid-stream (HiSLIP's StartTLS and
// EndTLS), with the same policy and bounded buffers as a plain connection.
// Qt's QSslSocket owns a socket of its own, closes on the peer's half-close
// and cannot go back to plain text, so it does not fit here.

#include <QHostAddress>
#include <QList>
#include <QString>

#include <memory>
#include <string>
#include <string_view>

struct ssl_ctx_st;
struct ssl_st;
struct bio_st;

// A server's certificate and private key, offered with TLS 1.2 and later only.
class TlsCredentials
{
public:
    // From PEM files (the certificate may be followed by its chain); nullptr
    // with the reason in `error`.
    static std::shared_ptr<TlsCredentials> Load(const QString& certificateFile, const QString& keyFile, QString* error);
    // The self-signed certificate kept in `folder`, a server's alone (no CA),
    // its key readable by its owner alone, naming `host`, host.local,
    // localhost, loopback and the `addresses` served on (an any-address
    // stands for every address of this machine's interfaces). Made there
    // where none is kept or the one kept no longer serves; `made` then says
    // why ("none was kept", "the one kept expired on 2026-01-02", …), and
    // is empty where the one kept is used.
    static std::shared_ptr<TlsCredentials> SelfSigned(const QString& folder, const QString& host, const QList<QHostAddress>& addresses,
                                                      QString* made, QString* error);
    ~TlsCredentials();

    // "AB:12:…": the certificate's SHA-256 fingerprint, for a user to compare.
    const QString& Fingerprint() const { return fingerprint_; }
    const QString& CertificateFile() const { return certificateFile_; }
    ssl_ctx_st* Context() const { return context_; }
    // Why the certificate cannot serve today, with what to do: "expired on
    // 2026-01-02 (notAfter); renew it", …; empty while it is valid.
    QString OutOfDate() const;

    // What a private key file's owner and mode let others do, if anything:
    // "readable by its group", … (empty when only its owner can read it).
    static QString KeyExposure(const QString& keyFile);

private:
    TlsCredentials() = default;
    ssl_ctx_st* context_ = nullptr;
    QString fingerprint_;
    QString certificateFile_;
};

// One connection's TLS as the server's side: ciphertext in, plaintext out,
// and the other way round.
class TlsLayer
{
public:
    explicit TlsLayer(const TlsCredentials& credentials);
    ~TlsLayer();
    TlsLayer(const TlsLayer&) = delete;
    TlsLayer& operator=(const TlsLayer&) = delete;

    // Takes ciphertext from the peer and appends what it decrypts to
    // `plain`; false once TLS has failed (Error() says why).
    bool Receive(std::string_view cipher, std::string& plain);
    // Encrypts `plain` for the peer (held until the handshake is done).
    void Send(std::string_view plain);
    // Sends close_notify: TLS ends once the peer's has come.
    void Close();
    // Ciphertext ready for the peer.
    std::string TakeOutput();
    // The peer has ended TLS (its close_notify came); what it sent after
    // that is plain text, taken by TakeRest.
    bool PeerClosed() const { return peerClosed_; }
    std::string TakeRest();
    bool Established() const { return established_; }
    const QString& Error() const { return error_; }

private:
    void Pump(std::string& plain);
    bool Fail(int result);

    ssl_st* ssl_ = nullptr;
    bio_st* in_ = nullptr;   // owned by ssl_
    bio_st* out_ = nullptr;  // owned by ssl_
    std::string pending_;    // plain text sent before the handshake ended
    bool established_ = false;
    bool peerClosed_ = false;
    bool failed_ = false;
    QString error_;
};
