#include "web/tls.h"

#if DIALSCOPE_WEB_TLS
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace dialscope::web {

namespace net = boost::asio;
namespace beast = boost::beast;

#if DIALSCOPE_WEB_TLS
namespace ssl = net::ssl;

namespace {

// The file opened as the server would, so that its problem is said in the
// system's words before OpenSSL's.
bool Readable(const std::string& path, const std::string& what, std::string* problem) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *problem = "The TLS " + what + " " + path + " cannot be read: " + std::strerror(errno) + ".";
        return false;
    }
    std::fclose(f);
    return true;
}

std::string OpenSslWords() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (!code) return "";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return std::string(" (") + text + ")";
}

}  // namespace

std::unique_ptr<ssl::context> LoadTls(const std::string& certFile, const std::string& keyFile, std::string* problem) {
    if (!Readable(certFile, "certificate", problem) || !Readable(keyFile, "key", problem)) return nullptr;
    auto context = std::make_unique<ssl::context>(ssl::context::tls_server);
    SSL_CTX* ctx = context->native_handle();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                         ssl::context::single_dh_use);
    ERR_clear_error();
    if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1) {
        *problem = "The TLS certificate " + certFile + " holds no certificate in PEM form" + OpenSslWords() +
                   ". Give the certificate file (BEGIN CERTIFICATE), as the README shows how to make one.";
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        *problem = "The TLS key " + keyFile + " holds no private key in PEM form, or one with a pass phrase" +
                   OpenSslWords() + ". Give the key without a pass phrase (BEGIN PRIVATE KEY).";
        return nullptr;
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        *problem = "The TLS key " + keyFile + " does not belong to the certificate " + certFile + OpenSslWords() + ".";
        return nullptr;
    }
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

std::unique_ptr<TlsContext> LoadTls(const std::string&, const std::string&, std::string* problem) {
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
