// The pages over TLS: the server's certificate and key, and a connection
// that is either TLS or plain TCP, so that one server code serves both.
// A build without TLS (DIALSCOPE_WEB_TLS unset: the Windows program, which
// carries no OpenSSL) has plain TCP only, and serves this machine alone.
#pragma once

// Boost 1.74's Asio uses std::exchange without including <utility> in C++20.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#if DIALSCOPE_WEB_TLS
#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl.hpp>
#endif

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "web/tls_facts.h"

namespace dialscope::web {

#if DIALSCOPE_WEB_TLS
using TlsContext = boost::asio::ssl::context;
#else
struct TlsContext {};  // never made: LoadTls says TLS is not in this build
#endif

// The context that shows the certificate chain in certFile and proves it
// with the private key in keyFile (PEM files, as openssl makes them); null
// with *problem in plain words when either cannot be read or they do not
// belong together. *facts (may be null): what the certificate says.
std::unique_ptr<TlsContext> LoadTls(const std::string& certFile, const std::string& keyFile, std::string* problem,
                                    TlsFacts* facts = nullptr);

// One accepted connection, in TLS when the server has a context, else plain
// TCP. It reads and writes as a Beast stream does, with the timeouts of
// beast::tcp_stream below the TLS.
class Stream {
public:
    using Tcp = boost::beast::tcp_stream;
    using executor_type = Tcp::executor_type;

    Stream(boost::asio::ip::tcp::socket socket, TlsContext* tls);

    executor_type get_executor() { return tcp().get_executor(); }
    Tcp& tcp() {
#if DIALSCOPE_WEB_TLS
        if (tls_) return tls_->next_layer();
#endif
        return *plain_;
    }
    boost::asio::ip::tcp::socket& socket() { return tcp().socket(); }
    void expires_after(std::chrono::steady_clock::duration d) { tcp().expires_after(d); }
    void expires_never() { tcp().expires_never(); }
    void close() { tcp().close(); }

    template <class Buffers, class Handler>
    void async_read_some(const Buffers& buffers, Handler&& handler) {
#if DIALSCOPE_WEB_TLS
        if (tls_) return tls_->async_read_some(buffers, std::forward<Handler>(handler));
#endif
        plain_->async_read_some(buffers, std::forward<Handler>(handler));
    }
    template <class Buffers, class Handler>
    void async_write_some(const Buffers& buffers, Handler&& handler) {
#if DIALSCOPE_WEB_TLS
        if (tls_) return tls_->async_write_some(buffers, std::forward<Handler>(handler));
#endif
        plain_->async_write_some(buffers, std::forward<Handler>(handler));
    }

    // TLS: the handshake, the bytes read on the way kept in buffer; a
    // browser that speaks plain HTTP to this port is told in one line to
    // put https:// before the address, and closed (done(false)). Plain: done(true).
    // Within the deadline the caller set (expires_after) before.
    void Start(boost::beast::flat_buffer& buffer, std::function<void(bool)> done);
    // Nothing more will be sent: TLS says so (close_notify), then the
    // sending side of the socket closes. keep: whatever must live as long.
    void End(std::shared_ptr<void> keep);

private:
    std::unique_ptr<Tcp> plain_;
#if DIALSCOPE_WEB_TLS
    std::unique_ptr<boost::beast::ssl_stream<Tcp>> tls_;
#endif
};

}  // namespace dialscope::web
