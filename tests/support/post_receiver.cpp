#include "support/post_receiver.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace kiln::test {
namespace {

// A server for a fresh EC key and a self-signed certificate naming "localhost"
// (CN and DNS name); null when OpenSSL could not make them.
std::unique_ptr<httplib::Server> SelfSignedServer() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    std::unique_ptr<httplib::Server> server;
    if (key && cert) {
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
        X509_set_pubkey(cert, key);
        X509_NAME* subject = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
        X509_set_issuer_name(cert, subject);
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
        X509_EXTENSION* extension =
            X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "DNS:localhost");
        if (extension && X509_add_ext(cert, extension, -1) == 1 &&
            X509_sign(cert, key, EVP_sha256()) > 0) {
            // The server's context keeps its own references.
            server = std::make_unique<httplib::SSLServer>(cert, key);
        }
        X509_EXTENSION_free(extension);
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    return server;
}

}  // namespace

std::string ArrivedRequest::Header(const std::string& name) const {
    auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
}

PostReceiver::PostReceiver(bool https)
    : server_(https ? SelfSignedServer() : std::make_unique<httplib::Server>()) {
    if (server_ && server_->is_valid()) {
        Listen();
    }
}

void PostReceiver::Listen() {
    auto record = [this](const httplib::Request& request, httplib::Response& response) {
        ArrivedRequest arrived{request.method,
                               request.target,
                               request.version,
                               {request.headers.begin(), request.headers.end()},
                               request.body};
        {
            std::lock_guard guard(lock_);
            requests_.push_back(std::move(arrived));
        }
        arrived_.notify_all();
        response.set_content("ok", "text/plain");
    };
    server_->Get(".*", record);
    server_->Post(".*", record);
    const int port = server_->bind_to_any_port("127.0.0.1");
    if (port <= 0) {
        return;
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // A stop before the accept loop runs would be lost and the join would hang.
    while (!server_->is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    port_ = port;
}

PostReceiver::~PostReceiver() {
    if (server_) {
        server_->stop();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::vector<ArrivedRequest> PostReceiver::Requests() const {
    std::lock_guard guard(lock_);
    return requests_;
}

bool PostReceiver::WaitForCount(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock guard(lock_);
    return arrived_.wait_for(guard, timeout, [&] { return requests_.size() >= count; });
}

}  // namespace kiln::test
