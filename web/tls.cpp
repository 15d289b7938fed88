#include "web/tls.h"

#if DIALSCOPE_WEB_TLS
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace dialscope::web {

namespace net = boost::asio;
namespace beast = boost::beast;

std::string ExpiredWarning(const TlsFacts& facts, const std::string& file, int64_t now) {
    if (facts.notAfter > now) return "";
    const std::time_t end = static_cast<std::time_t>(facts.notAfter);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &end);
#else
    gmtime_r(&end, &utc);
#endif
    char day[16];
    std::strftime(day, sizeof day, "%Y-%m-%d", &utc);
    return "The TLS certificate " + file + " expired on " + day +
           ": browsers refuse it. Make a new one (the README shows how) and start serve again.";
}

#if DIALSCOPE_WEB_TLS
namespace ssl = net::ssl;

namespace {

// The file opened as the server would, so that its problem is said in the
// system's words before OpenSSL's.
bool Readable(const std::string& path, const std::string& what, std::string* problem) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        *problem = "The TLS " + what + " " + path + " is a folder: give the " + what + " file itself (a .pem file).";
        return false;
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *problem = "The TLS " + what + " " + path + " cannot be read: " + std::strerror(errno) + ".";
        return false;
    }
    std::fclose(f);
    return true;
}

// OpenSSL's reason in its own words ("no start line"), without the code
// that means nothing to the user.
std::string OpenSslWords() {
    unsigned long code = 0;
    // The first error is the cause; those after it say where it surfaced.
    for (unsigned long next; (next = ERR_get_error()) != 0;)
        if (!code) code = next;
    ERR_clear_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? std::string(" (") + reason + ")" : "";
}

// A key with a pass phrase is refused, never asked for on the terminal.
int NoPassPhrase(char*, int, int, void*) { return -1; }

TlsFacts Facts(X509* cert) {
    TlsFacts facts;
    std::tm end{};
    if (ASN1_TIME_to_tm(X509_get0_notAfter(cert), &end) == 1) facts.notAfter = timegm(&end);
    if (auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr))) {
        for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
            const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
            if (name->type == GEN_DNS) {
                const ASN1_IA5STRING* dns = name->d.dNSName;
                facts.names.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                                         static_cast<size_t>(ASN1_STRING_length(dns)));
            } else if (name->type == GEN_IPADD) {
                const ASN1_OCTET_STRING* ip = name->d.iPAddress;
                const int n = ASN1_STRING_length(ip);
                if (n != 4 && n != 16) continue;
                net::ip::address address;
                if (n == 4) {
                    net::ip::address_v4::bytes_type b;
                    std::memcpy(b.data(), ASN1_STRING_get0_data(ip), 4);
                    address = net::ip::address_v4(b);
                } else {
                    net::ip::address_v6::bytes_type b;
                    std::memcpy(b.data(), ASN1_STRING_get0_data(ip), 16);
                    address = net::ip::address_v6(b);
                }
                facts.names.push_back(address.to_string());
            }
        }
        GENERAL_NAMES_free(names);
    }
    if (facts.names.empty()) {
        char common[256];
        if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, common, sizeof common) > 0)
            facts.names.emplace_back(common);
    }
    X509_up_ref(cert);
    std::shared_ptr<X509> kept(cert, X509_free);
    facts.holds = [kept](std::string_view host) {
        const std::string h(host);
        return X509_check_ip_asc(kept.get(), h.c_str(), 0) == 1 ||
               X509_check_host(kept.get(), h.data(), h.size(), 0, nullptr) == 1;
    };
    return facts;
}

}  // namespace

std::unique_ptr<ssl::context> LoadTls(const std::string& certFile, const std::string& keyFile, std::string* problem,
                                      TlsFacts* facts) {
    if (!Readable(certFile, "certificate", problem) || !Readable(keyFile, "key", problem)) return nullptr;
    auto context = std::make_unique<ssl::context>(ssl::context::tls_server);
    SSL_CTX* ctx = context->native_handle();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                         ssl::context::single_dh_use);
    // Only suites that keep past traffic secret should the key leak later
    // (ECDHE), with an authenticated cipher (GCM, ChaCha20-Poly1305); TLS
    // 1.3 has no others. The server's order: the strongest the browser has.
    SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_RENEGOTIATION);
    if (SSL_CTX_set_cipher_list(ctx, "ECDHE+AESGCM:ECDHE+CHACHA20:!aNULL:!PSK") != 1 ||
        SSL_CTX_set_ciphersuites(ctx, "TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_128_GCM_SHA256") != 1) {
        *problem = "The TLS library offers none of the ciphers these pages use" + OpenSslWords() + ".";
        return nullptr;
    }
    SSL_CTX_set_default_passwd_cb(ctx, NoPassPhrase);
    ERR_clear_error();
    if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1) {
        *problem = "The TLS certificate " + certFile + " holds no certificate in PEM form" + OpenSslWords() +
                   ". Give the certificate file (BEGIN CERTIFICATE), as the README shows how to make one.";
        return nullptr;
    }
    // The key read apart from the certificate, so that a key of another
    // certificate is told from no key at all.
    EVP_PKEY* key = nullptr;
    if (BIO* in = BIO_new_file(keyFile.c_str(), "rb")) {
        key = PEM_read_bio_PrivateKey(in, nullptr, NoPassPhrase, nullptr);
        BIO_free(in);
    }
    if (!key) {
        *problem = "The TLS key " + keyFile + " holds no private key in PEM form, or one with a pass phrase" +
                   OpenSslWords() + ". Give the key without a pass phrase (BEGIN PRIVATE KEY).";
        return nullptr;
    }
    X509* cert = SSL_CTX_get0_certificate(ctx);
    const bool fits = X509_check_private_key(cert, key) == 1;
    ERR_clear_error();
    if (!fits) {
        EVP_PKEY_free(key);
        *problem = "The TLS key " + keyFile + " does not fit the certificate " + certFile +
                   ": it is the key of another certificate. Give the key made with this certificate.";
        return nullptr;
    }
    const bool used = SSL_CTX_use_PrivateKey(ctx, key) == 1;
    EVP_PKEY_free(key);
    if (!used) {
        *problem = "The TLS key " + keyFile + " cannot be used" + OpenSslWords() + ".";
        return nullptr;
    }
    if (facts) *facts = Facts(cert);
    return context;
}

Stream::Stream(net::ip::tcp::socket socket, TlsContext* tls) {
    if (tls) tls_ = std::make_unique<beast::ssl_stream<Tcp>>(std::move(socket), *tls);
    else plain_ = std::make_unique<Tcp>(std::move(socket));
}

void Stream::Start(beast::flat_buffer& buffer, std::function<void(bool)> done) {
    if (!tls_) return net::post(get_executor(), [done = std::move(done)] { done(true); });
    beast::async_detect_ssl(tcp(), buffer, [this, &buffer, done = std::move(done)](beast::error_code ec, bool tls) mutable {
        if (ec) return done(false);
        if (!tls) {
            static const std::string kPlain =
                "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 71\r\n"
                "Connection: close\r\n\r\nThese pages are served over TLS only: put https:// before the address.\n";
            return net::async_write(tcp(), net::buffer(kPlain), [this, done = std::move(done)](beast::error_code, size_t) {
                beast::error_code ignored;
                socket().shutdown(net::ip::tcp::socket::shutdown_both, ignored);
                done(false);
            });
        }
        tls_->async_handshake(ssl::stream_base::server, buffer.data(),
                              [&buffer, done = std::move(done)](beast::error_code ec, size_t used) {
                                  buffer.consume(used);
                                  done(!ec);
                              });
    });
}

void Stream::End(std::shared_ptr<void> keep) {
    auto shut = [this] {
        beast::error_code ignored;
        socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
    };
    if (!tls_) return shut();
    tcp().expires_after(std::chrono::seconds(5));
    tls_->async_shutdown([shut, keep = std::move(keep)](beast::error_code) { shut(); });
}

#else  // no TLS in this build

std::unique_ptr<TlsContext> LoadTls(const std::string&, const std::string&, std::string* problem, TlsFacts*) {
    *problem = "This program was built without TLS, so its pages are for this machine only: leave out "
               "--tls-cert and --tls-key and listen on 127.0.0.1.";
    return nullptr;
}

Stream::Stream(net::ip::tcp::socket socket, TlsContext*) : plain_(std::make_unique<Tcp>(std::move(socket))) {}

void Stream::Start(beast::flat_buffer&, std::function<void(bool)> done) {
    net::post(get_executor(), [done = std::move(done)] { done(true); });
}

void Stream::End(std::shared_ptr<void>) {
    beast::error_code ignored;
    socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
}

#endif

}  // namespace dialscope::web
