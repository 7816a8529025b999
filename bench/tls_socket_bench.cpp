// Moves 256 MB through TLS over loopback and prints the medians of several rounds for two ways in
// the same run, both with TLS 1.3's TLS_AES_128_GCM_SHA256:
// - the asynchronous sockets: GCDAsyncSocket pairs after startTLS, 64 KiB writes, all-available reads;
// - SSL_write and SSL_read of OpenSSL on plain blocking sockets, one thread each.
// The certificate is made with the openssl program in a temporary folder.
#include "SocketTransferPump.h"
#include "push/CocoaAsyncSocket/GCDAsyncSocket.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSemaphore.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace platform;

namespace {

constexpr std::size_t kTotal = 256UL * 1024 * 1024;
constexpr std::size_t kChunk = 64 * 1024;
constexpr int kRounds = 5;

QString g_cert;
QString g_key;

// The transfer with TLS turned on at both ends before the first read and write.
class TlsPump final : public SocketTransferPump
{
public:
    TlsPump() : SocketTransferPump(kTotal) {}

protected:
    void willRead(GCDAsyncSocket &reader) override
    {
        QFile key(g_key), cert(g_cert);
        key.open(QIODevice::ReadOnly);
        cert.open(QIODevice::ReadOnly);
        reader.startTLS({{QString::fromLatin1(kCFStreamSSLIsServer), true},
                         {QString::fromLatin1(kCFStreamSSLCertificates), QVariantList{key.readAll() + cert.readAll()}}});
    }
    void willWrite(GCDAsyncSocket &writer) override
    {
        writer.startTLS({{QString::fromLatin1(kCFStreamSSLPeerName), QStringLiteral("localhost")},
                         {QString::fromLatin1(HMStreamSSLTrustedCAFile), g_cert}});
    }
};

void asyncTransfer()
{
    TlsPump().run();
}

void plainTransfer()
{
    SSL_CTX *serverCtx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(serverCtx, g_cert.toLocal8Bit().constData(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(serverCtx, g_key.toLocal8Bit().constData(), SSL_FILETYPE_PEM);
    SSL_CTX *clientCtx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(clientCtx, g_cert.toLocal8Bit().constData(), nullptr);
    SSL_CTX_set_verify(clientCtx, SSL_VERIFY_PEER, nullptr);
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr *>(&address), length);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    std::thread writer([&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(fd, reinterpret_cast<sockaddr *>(&address), length);
        SSL *ssl = SSL_new(clientCtx);
        SSL_set_fd(ssl, fd);
        SSL_set1_host(ssl, "localhost");
        SSL_connect(ssl);
        static const std::vector<char> chunk(kChunk, 'p');
        for (std::size_t written = 0; written < kTotal;) {
            const int count = SSL_write(ssl, chunk.data(), int(chunk.size()));
            if (count <= 0)
                break;
            written += std::size_t(count);
        }
        SSL_shutdown(ssl);
        SSL_free(ssl);
        ::close(fd);
    });
    const int reader = ::accept(listener, nullptr, nullptr);
    SSL *ssl = SSL_new(serverCtx);
    SSL_set_fd(ssl, reader);
    SSL_accept(ssl);
    std::vector<char> buffer(kChunk);
    for (std::size_t read = 0; read < kTotal;) {
        const int count = SSL_read(ssl, buffer.data(), int(buffer.size()));
        if (count <= 0)
            break;
        read += std::size_t(count);
    }
    writer.join();
    SSL_free(ssl);
    ::close(reader);
    ::close(listener);
    SSL_CTX_free(serverCtx);
    SSL_CTX_free(clientCtx);
}

double seconds(const std::function<void()> &transfer)
{
    const auto start = std::chrono::steady_clock::now();
    transfer();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main()
{
    QTemporaryDir dir;
    g_cert = dir.filePath(QStringLiteral("cert.pem"));
    g_key = dir.filePath(QStringLiteral("key.pem"));
    const int made = QProcess::execute(
        QStringLiteral("openssl"),
        {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
         QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:P-256"), QStringLiteral("-nodes"),
         QStringLiteral("-subj"), QStringLiteral("/CN=localhost"), QStringLiteral("-addext"),
         QStringLiteral("subjectAltName=DNS:localhost"), QStringLiteral("-days"), QStringLiteral("1"),
         QStringLiteral("-keyout"), g_key, QStringLiteral("-out"), g_cert});
    if (made != 0)
        return 1;
    std::vector<double> async;
    std::vector<double> plain;
    for (int round = 0; round < kRounds; ++round) {
        plain.push_back(seconds(plainTransfer));
        async.push_back(seconds(asyncTransfer));
    }
    const double mb = double(kTotal) / (1024.0 * 1024.0);
    std::printf("SSL_read/SSL_write blocking: median %.3f s (%.0f MB/s)\n", median(plain), mb / median(plain));
    std::printf("GCDAsyncSocket TLS:          median %.3f s (%.0f MB/s)\n", median(async), mb / median(async));
    std::printf("throughput ratio (async/plain): %.2f\n", median(plain) / median(async));
    return 0;
}
