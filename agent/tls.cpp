#include "agent/tls.h"
#include "agent/access.h"
#include "base/log.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <new>
#include <unordered_map>

struct TlsSession {
    SSL *ssl;
    BIO *in;  // the peer's bytes, for OpenSSL to read (owned by ssl)
    BIO *out; // OpenSSL's bytes for the peer (owned by ssl)
};

static SSL_CTX *context = nullptr; // nullptr: STARTTLS is not offered

// Handshakes per peer: the minute that began with the first one counted.
struct HandshakeCount {
    double since; // monotonic seconds
    int count;    // handshakes started since then
};
static std::unordered_map<uint32_t, HandshakeCount> handshakes; // at most ACCESS_TABLE_LIMIT

bool tls_handshake_allowed(uint32_t peer, double now)
{
    auto found = handshakes.find(peer);
    if (found == handshakes.end() || now < found->second.since ||
        now - found->second.since >= 60) {
        if (found == handshakes.end())
            access_table_make_room(&handshakes,
                                   [](const HandshakeCount &h) { return h.since; });
        handshakes[peer] = {now, 1};
        return true;
    }
    if (found->second.count >= TLS_HANDSHAKES_PER_MINUTE)
        return false;
    found->second.count++;
    return true;
}

// The oldest error OpenSSL queued (the cause; later ones are its
// consequences), and the queue emptied, so no other session sees it.
static std::string error_text()
{
    unsigned long e = ERR_get_error();
    const char *reason = e ? ERR_reason_error_string(e) : nullptr;
    std::string text = reason ? reason : "unknown error";
    ERR_clear_error();
    return text;
}

// A daemon has nobody to ask for a passphrase: an encrypted key fails to
// load instead of waiting for a terminal.
static int no_passphrase(char *, int, int, void *)
{
    return 0;
}

bool tls_configure(const std::string &certificate, const std::string &key)
{
    ERR_clear_error();
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        log_error("server: STARTTLS stays off: %s", error_text().c_str());
        return false;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION); // a peer's renegotiations cost us CPU
    SSL_CTX_set_default_passwd_cb(ctx, no_passphrase);
    std::string failed;
    if (SSL_CTX_use_certificate_chain_file(ctx, certificate.c_str()) != 1)
        failed = "certificate " + certificate + " does not load";
    else if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1)
        failed = "key " + key + " does not load";
    else if (SSL_CTX_check_private_key(ctx) != 1)
        failed = "key " + key + " is not the certificate's";
    if (!failed.empty()) {
        log_error("server: STARTTLS stays off: %s: %s", failed.c_str(), error_text().c_str());
        SSL_CTX_free(ctx);
        return false;
    }
    SSL_CTX_free(context);
    context = ctx;
    return true;
}

TlsSession *tls_session_new()
{
    if (!context)
        return nullptr;
    SSL *ssl = SSL_new(context);
    BIO *in = BIO_new(BIO_s_mem());
    BIO *out = BIO_new(BIO_s_mem());
    TlsSession *tls = ssl && in && out ? new (std::nothrow) TlsSession{ssl, in, out} : nullptr;
    if (!tls) {
        SSL_free(ssl);
        BIO_free(in);
        BIO_free(out);
        ERR_clear_error();
        return nullptr;
    }
    SSL_set_bio(ssl, in, out); // an empty `in` reads as "try again": SSL_ERROR_WANT_READ
    SSL_set_accept_state(ssl);
    return tls;
}

void tls_session_free(TlsSession *tls)
{
    if (!tls)
        return;
    SSL_free(tls->ssl); // and both BIOs
    delete tls;
}

void tls_input(TlsSession *tls, const unsigned char *data, int len)
{
    if (len > 0)
        BIO_write(tls->in, data, len);
}

int tls_handshake(TlsSession *tls)
{
    ERR_clear_error();
    int r = SSL_do_handshake(tls->ssl);
    if (r == 1)
        return 1;
    // The output is memory and always takes everything, so the only thing
    // to wait for is input (SSL_ERROR_WANT_WRITE does not occur).
    if (SSL_get_error(tls->ssl, r) == SSL_ERROR_WANT_READ)
        return 0;
    ERR_clear_error();
    return -1;
}

bool tls_read(TlsSession *tls, std::string *plain)
{
    char buf[4096];
    for (;;) {
        ERR_clear_error();
        int n = SSL_read(tls->ssl, buf, sizeof buf);
        if (n > 0) {
            plain->append(buf, static_cast<size_t>(n));
            continue;
        }
        if (SSL_get_error(tls->ssl, n) == SSL_ERROR_WANT_READ)
            return true;
        ERR_clear_error(); // close_notify, or a broken record
        return false;
    }
}

bool tls_write(TlsSession *tls, const std::string &plain)
{
    if (plain.empty())
        return true;
    ERR_clear_error();
    if (SSL_write(tls->ssl, plain.data(), static_cast<int>(plain.size())) > 0)
        return true;
    ERR_clear_error();
    return false;
}

void tls_end(TlsSession *tls)
{
    ERR_clear_error();
    SSL_shutdown(tls->ssl);
    ERR_clear_error();
}

void tls_output(TlsSession *tls, std::string *out)
{
    int pending = BIO_pending(tls->out);
    if (pending <= 0)
        return;
    size_t at = out->size();
    out->resize(at + static_cast<size_t>(pending));
    int n = BIO_read(tls->out, &(*out)[at], pending);
    out->resize(at + static_cast<size_t>(n > 0 ? n : 0));
}
