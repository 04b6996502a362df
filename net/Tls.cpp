#include "Tls.h"

#include "KeyFile.h"
#include "NetAddress.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QNetworkInterface>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <string_view>

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

// "2026-01-02": the day of a certificate's date, in UTC.
QString Day(const ASN1_TIME* time)
{
    std::tm parts{};
    if (ASN1_TIME_to_tm(time, &parts) != 1)
        return QStringLiteral("an unreadable date");
    return QDate(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday).toString(Qt::ISODate);
}

// The day `x` expired on, or the day it becomes valid on where that is yet
// to come; empty while it is valid.
QString Expired(const X509* x)
{
    return X509_cmp_current_time(X509_get0_notAfter(x)) < 0 ? Day(X509_get0_notAfter(x)) : QString();
}

QString NotYetValid(const X509* x)
{
    return X509_cmp_current_time(X509_get0_notBefore(x)) > 0 ? Day(X509_get0_notBefore(x)) : QString();
}

// What a self-made certificate names: the host's names, then the addresses.
struct Names
{
    QStringList hosts;
    QStringList addresses;
};

Names Needed(const QString& host, const QList<QHostAddress>& served)
{
    Names names;
    if (!host.isEmpty())
        names.hosts << host << host + QStringLiteral(".local");
    names.hosts << QStringLiteral("localhost");
    names.hosts.removeDuplicates();
    QList<QHostAddress> addresses{QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)};
    for (const QHostAddress& where : served)
        addresses << (IsAnyAddress(where) ? QNetworkInterface::allAddresses() : QList<QHostAddress>{where});
    for (QHostAddress address : addresses) {
        address = Unmapped(address);
        // A link-local address's interface is no part of the address a client checks.
        address.setScopeId({});
        if (!address.isNull() && !names.addresses.contains(address.toString()))
            names.addresses << address.toString();
    }
    return names;
}

// The first of `names` that `x` does not name, as a client checks it;
// empty where it names them all.
QString Unnamed(X509* x, const Names& names)
{
    for (const QString& host : names.hosts) {
        const QByteArray name = host.toUtf8();
        if (X509_check_host(x, name.constData(), std::size_t(name.size()), X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_WILDCARDS, nullptr) != 1)
            return host;
    }
    for (const QString& address : names.addresses)
        if (X509_check_ip_asc(x, address.toLatin1().constData(), 0) != 1)
            return address;
    return {};
}

// Whether this program made `x` (an earlier version too), rather than a
// user who put a certificate of their own in the folder.
bool SelfMade(X509* x)
{
    X509_NAME* subject = X509_get_subject_name(x);
    char organization[64] = {};
    return X509_NAME_cmp(subject, X509_get_issuer_name(x)) == 0
        && X509_NAME_get_text_by_NID(subject, NID_organizationName, organization, sizeof organization) > 0
        && std::string_view(organization) == "rfswitch-panel";
}

// Why the certificate kept no longer serves as made now; empty where it
// does, and for one a user put there, which is theirs to keep.
QString Stale(const QString& certificateFile, const QString& keyFile, const Names& names)
{
    Owned<BIO, BIO_free_all> file{BIO_new_file(QFile::encodeName(certificateFile).constData(), "r")};
    Owned<X509, X509_free> certificate{file.p ? PEM_read_bio_X509(file.p, nullptr, nullptr, nullptr) : nullptr};
    if (!certificate.p)
        return OpenSslError(QStringLiteral("the one kept did not read"));
    X509* x = certificate.p;
    if (!SelfMade(x))
        return {};
    // An earlier version made one that could sign others.
    if (X509_check_ca(x) != 0)
        return QStringLiteral("the one kept was a CA's certificate");
    if (const QString day = Expired(x); !day.isEmpty())
        return QStringLiteral("the one kept expired on ") + day;
    if (const QString day = NotYetValid(x); !day.isEmpty())
        return QStringLiteral("the one kept was not valid before ") + day;
    if (const QString name = Unnamed(x, names); !name.isEmpty())
        return QStringLiteral("the one kept did not name ") + name;
    if (const QString exposure = TlsCredentials::KeyExposure(keyFile); !exposure.isEmpty())
        return QStringLiteral("the one kept had its key ") + exposure;
    return {};
}

bool MakeSelfSigned(const QString& certificateFile, const QString& keyFile, const QString& host, const Names& names, QString* error)
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
    // DNS-SD, loopback and every address it is served on.
    QStringList alternatives;
    for (const QString& dns : names.hosts)
        alternatives << QStringLiteral("DNS:") + dns;
    for (const QString& ip : names.addresses)
        alternatives << QStringLiteral("IP:") + ip;
    const QByteArray alternativeNames = alternatives.join(u',').toUtf8();
    // A server's certificate alone: it signs handshakes (ECDSA), never other certificates.
    const std::pair<int, const char*> extensions[] = {
        {NID_basic_constraints, "critical,CA:FALSE"},
        {NID_key_usage, "critical,digitalSignature"},
        {NID_ext_key_usage, "serverAuth"},
        {NID_subject_key_identifier, "hash"},
        {NID_subject_alt_name, alternativeNames.constData()},
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

std::shared_ptr<TlsCredentials> TlsCredentials::SelfSigned(const QString& folder, const QString& host, const QList<QHostAddress>& addresses,
                                                           QString* made, QString* error)
{
    made->clear();
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
    const Names names = Needed(host, addresses);
    QString why = !QFileInfo::exists(certificateFile) || !QFileInfo::exists(keyFile) ? QStringLiteral("none was kept")
                                                                                      : Stale(certificateFile, keyFile, names);
    if (why.isEmpty()) {
        if (auto kept = Load(certificateFile, keyFile, error))
            return kept;
        // A key from one start beside the certificate of another, say.
        why = QStringLiteral("the one kept did not load: ") + *error;
    }
    if (!MakeSelfSigned(certificateFile, keyFile, host, names, error))
        return nullptr;
    *made = why;
    return Load(certificateFile, keyFile, error);
}

QString TlsCredentials::OutOfDate() const
{
    const X509* x = SSL_CTX_get0_certificate(context_);
    if (const QString day = Expired(x); !day.isEmpty())
        return QStringLiteral("expired on %1 (notAfter); renew it").arg(day);
    if (const QString day = NotYetValid(x); !day.isEmpty())
        return QStringLiteral("is not valid before %1 (notBefore): renew it, or set this machine's clock").arg(day);
    return {};
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
