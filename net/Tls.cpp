#include "Tls.h"

#include "KeyFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <functional>

namespace {

constexpr const char* kCertificateName = "tls-certificate.pem";
constexpr const char* kKeyName = "tls-key.pem";
constexpr long kValidDays = 3650;

QString OpenSslError(const QString& what)
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return what;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return what + QStringLiteral(": ") + QString::fromLatin1(text);
}

template <typename T, void (*Free)(T*)>
struct Owned
{
    T* p = nullptr;
    ~Owned() { Free(p); }
};

// A file either whole or not there; the key kept from other users from its
// first byte.
bool WritePem(const QString& path, bool ownerOnly, const std::function<int(FILE*)>& write, QString* error)
{
    std::string failure;
    if (keyfile::WriteWhole(QFile::encodeName(path).toStdString(), ownerOnly, [&](FILE* file) { return write(file) == 1; }, failure))
        return true;
    *error = QStringLiteral("%1: %2").arg(path, failure.empty() ? OpenSslError(QStringLiteral("cannot write")) : QString::fromLocal8Bit(failure));
    return false;
}

bool MakeSelfSigned(const QString& certificateFile, const QString& keyFile, const QString& host, QString* error)
{
    Owned<EVP_PKEY, EVP_PKEY_free> key{EVP_EC_gen("P-256")};
    Owned<X509, X509_free> certificate{X509_new()};
    Owned<BIGNUM, BN_free> serial{BN_new()};
    if (!key.p || !certificate.p || !serial.p) {
        *error = OpenSslError(QStringLiteral("cannot make a key"));
        return false;
    }
    X509* x = certificate.p;
    X509_set_version(x, 2);
    BN_rand(serial.p, 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
    BN_to_ASN1_INTEGER(serial.p, X509_get_serialNumber(x));
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_time_adj_ex(X509_getm_notAfter(x), kValidDays, 0, nullptr);
    X509_set_pubkey(x, key.p);
    const QByteArray name = host.toUtf8();
    X509_NAME* subject = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("rfswitch-panel"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(name.constData()), -1, -1, 0);
    X509_set_issuer_name(x, subject);
    // The names a client may use for this machine: its own, with .local for
    // DNS-SD, and loopback.
    const QByteArray names = "DNS:" + name + ",DNS:" + name + ".local,DNS:localhost,IP:127.0.0.1,IP:::1";
    const std::pair<int, const char*> extensions[] = {
        {NID_basic_constraints, "critical,CA:TRUE"},
        {NID_key_usage, "critical,digitalSignature,keyCertSign"},
        {NID_ext_key_usage, "serverAuth"},
        {NID_subject_key_identifier, "hash"},
        {NID_subject_alt_name, names.constData()},
    };
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, x, x, nullptr, nullptr, 0);
    for (const auto& [nid, value] : extensions) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
        if (!extension || !X509_add_ext(x, extension, -1)) {
            X509_EXTENSION_free(extension);
            *error = OpenSslError(QStringLiteral("cannot make the certificate"));
            return false;
        }
        X509_EXTENSION_free(extension);
    }
    if (!X509_sign(x, key.p, EVP_sha256())) {
        *error = OpenSslError(QStringLiteral("cannot sign the certificate"));
        return false;
    }
    return WritePem(keyFile, true, [&](FILE* f) { return PEM_write_PrivateKey(f, key.p, nullptr, nullptr, 0, nullptr, nullptr); }, error)
        && WritePem(certificateFile, false, [&](FILE* f) { return PEM_write_X509(f, x); }, error);
}

} // namespace

TlsCredentials::~TlsCredentials()
{
    SSL_CTX_free(context_);
}

std::shared_ptr<TlsCredentials> TlsCredentials::Load(const QString& certificateFile, const QString& keyFile, QString* error)
{
    std::shared_ptr<TlsCredentials> credentials(new TlsCredentials);
    credentials->context_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX* context = credentials->context_;
    if (!context) {
        *error = OpenSslError(QStringLiteral("TLS is not available"));
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    const QByteArray certificate = QFile::encodeName(certificateFile);
    const QByteArray key = QFile::encodeName(keyFile);
    if (SSL_CTX_use_certificate_chain_file(context, certificate.constData()) != 1) {
        *error = OpenSslError(certificateFile);
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(context, key.constData(), SSL_FILETYPE_PEM) != 1) {
        *error = OpenSslError(keyFile);
        return nullptr;
    }
    if (SSL_CTX_check_private_key(context) != 1) {
        *error = OpenSslError(QStringLiteral("%1 is not the key of %2").arg(keyFile, certificateFile));
        return nullptr;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    X509_digest(SSL_CTX_get0_certificate(context), EVP_sha256(), digest, &length);
    credentials->fingerprint_ = QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex(':').toUpper();
    credentials->certificateFile_ = certificateFile;
    return credentials;
}

std::shared_ptr<TlsCredentials> TlsCredentials::SelfSigned(const QString& folder, const QString& host, bool* made, QString* error)
{
    *made = false;
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("%1: cannot make the folder").arg(folder);
        return nullptr;
    }
    const QString certificateFile = QDir(folder).filePath(QString::fromLatin1(kCertificateName));
    const QString keyFile = QDir(folder).filePath(QString::fromLatin1(kKeyName));
    // Two programs started at once make one certificate, not a key of one
    // beside the certificate of the other.
    QLockFile lock(QDir(folder).filePath(QStringLiteral(".tls.lock")));
    lock.lock();
    if (!QFileInfo::exists(certificateFile) || !QFileInfo::exists(keyFile)) {
        if (!MakeSelfSigned(certificateFile, keyFile, host, error))
            return nullptr;
        *made = true;
    }
    return Load(certificateFile, keyFile, error);
}

QString TlsCredentials::KeyExposure(const QString& keyFile)
{
    return QString::fromStdString(keyfile::Exposure(QFile::encodeName(keyFile).toStdString()));
}

TlsLayer::TlsLayer(const TlsCredentials& credentials)
{
    ssl_ = SSL_new(credentials.Context());
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    if (!ssl_ || !in_ || !out_) {
        BIO_free(in_);
        BIO_free(out_);
        in_ = out_ = nullptr;
        failed_ = true;
        error_ = OpenSslError(QStringLiteral("TLS is not available"));
        return;
    }
    // A memory buffer with nothing in it wants more, rather than ending.
    BIO_set_mem_eof_return(in_, -1);
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_accept_state(ssl_);
}

TlsLayer::~TlsLayer()
{
    SSL_free(ssl_);
}

bool TlsLayer::Fail(int result)
{
    const int code = SSL_get_error(ssl_, result);
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE)
        return false;
    if (code == SSL_ERROR_ZERO_RETURN) {
        peerClosed_ = true;
        return false;
    }
    failed_ = true;
    error_ = OpenSslError(QStringLiteral("TLS failed"));
    return true;
}

bool TlsLayer::Receive(std::string_view cipher, std::string& plain)
{
    if (failed_)
        return false;
    if (peerClosed_) {
        // Past the peer's close_notify: plain text again.
        plain.append(cipher);
        return true;
    }
    if (!cipher.empty())
        BIO_write(in_, cipher.data(), static_cast<int>(cipher.size()));
    Pump(plain);
    return !failed_;
}

void TlsLayer::Pump(std::string& plain)
{
    if (!established_) {
        const int result = SSL_do_handshake(ssl_);
        if (result != 1) {
            Fail(result);
            return;
        }
        established_ = true;
        if (!pending_.empty())
            Send(std::exchange(pending_, {}));
    }
    char buffer[16 * 1024];
    while (!peerClosed_ && !failed_) {
        const int read = SSL_read(ssl_, buffer, sizeof buffer);
        if (read <= 0) {
            Fail(read);
            break;
        }
        plain.append(buffer, static_cast<std::size_t>(read));
    }
}

void TlsLayer::Send(std::string_view plain)
{
    if (failed_ || plain.empty())
        return;
    if (!established_) {
        pending_.append(plain);
        return;
    }
    while (!plain.empty()) {
        const int written = SSL_write(ssl_, plain.data(), static_cast<int>(plain.size()));
        if (written <= 0) {
            Fail(written);
            return;
        }
        plain.remove_prefix(static_cast<std::size_t>(written));
    }
}

void TlsLayer::Close()
{
    if (!failed_)
        SSL_shutdown(ssl_);
}

std::string TlsLayer::TakeOutput()
{
    std::string cipher;
    if (!out_)
        return cipher;
    const std::size_t pending = BIO_ctrl_pending(out_);
    cipher.resize(pending);
    if (pending > 0)
        BIO_read(out_, cipher.data(), static_cast<int>(pending));
    return cipher;
}

std::string TlsLayer::TakeRest()
{
    std::string rest;
    if (!in_)
        return rest;
    const std::size_t pending = BIO_ctrl_pending(in_);
    rest.resize(pending);
    if (pending > 0)
        BIO_read(in_, rest.data(), static_cast<int>(pending));
    return rest;
}
