// Bytes from any local client into a connection of the local server: http-parser and its
// callbacks, the request and response objects and the static file handler, over a real
// loopback socket and a small tree with a package.
#include "fuzzsetup.h"

#include "httpserver/httpconnection.h"
#include "httpserver/httpserver.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QProcess>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

KAVO_FUZZ_SETUP

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        abort();
}

// index.html, a script, a folder, a file large enough to be streamed, and ui.zip.
QString makeTree()
{
    const QString root = fuzz::path(QStringLiteral("www"));
    writeFile(root + QStringLiteral("/index.html"), "<html><body>kavo</body></html>");
    writeFile(root + QStringLiteral("/js/app.js"), QByteArray("var a = 1;\n").repeated(100));
    writeFile(root + QStringLiteral("/big.bin"), QByteArray(1100 * 1024, 'b'));
    writeFile(root + QStringLiteral("/pkg-src/main.js"), "main();");
    writeFile(root + QStringLiteral("/pkg-src/css/a.css"), "a{}");
    QProcess zip;
    zip.setWorkingDirectory(root + QStringLiteral("/pkg-src"));
    zip.start(QStringLiteral("zip"),
              QStringList{QStringLiteral("-q"), QStringLiteral("-r"), root + QStringLiteral("/ui.zip"), QStringLiteral(".")});
    if (!zip.waitForFinished() || zip.exitCode() != 0)
        abort();
    return root;
}

HttpServer &server()
{
    static HttpServer *instance = [] {
        auto *s = new HttpServer(makeTree());
        if (!s->listen(QHostAddress::LocalHost, 0))
            abort();
        return s;
    }();
    return *instance;
}

// libFuzzer's timer signal interrupts a blocking connect() now and then (it sets no SA_RESTART),
// so the socket connects without blocking and the wait for it goes on through interruptions.
bool connectTo(int client, const sockaddr_in &address)
{
    if (::fcntl(client, F_SETFL, O_NONBLOCK) != 0)
        return false;
    if (::connect(client, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        return true;
    if (errno != EINPROGRESS && errno != EINTR) {
        perror("fuzz_httpconnection: connect");
        return false;
    }
    pollfd wait = {client, POLLOUT, 0};
    int ready;
    do
        ready = ::poll(&wait, 1, 5000);
    while (ready < 0 && errno == EINTR);
    int error = 0;
    socklen_t length = sizeof error;
    if (ready != 1 || ::getsockopt(client, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        fprintf(stderr, "fuzz_httpconnection: connect did not complete: %s\n", strerror(error));
        return false;
    }
    return true;
}

bool turn()
{
    return QAbstractEventDispatcher::instance()->processEvents(QEventLoop::AllEvents);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    HttpServer &http = server();
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // The client closes first, so each input leaves its port in TIME_WAIT for a minute: from one
    // source address a fast run uses up the ephemeral ports and connect() fails. Loopback takes
    // any 127.x address, so the inputs come from 254 of them in turn.
    static unsigned sources = 0;
    sockaddr_in source = {};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl(0x7f010000u | (1 + sources++ % 254));
    if (client < 0 || ::bind(client, reinterpret_cast<sockaddr *>(&source), sizeof source) != 0)
        abort();
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(http.serverPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!connectTo(client, address))
        abort();

    // Only the answer's first bytes are checked: keeping the whole of it (a few ranges of the
    // large file come to megabytes) costs reallocations that under AddressSanitizer outweigh
    // the server's own work.
    QByteArray answer;
    const int kept = 16;
    size_t sent = 0;
    int quiet = 0;
    // Feed the bytes and read every answer until neither side has anything left to do.
    for (int round = 0; round < 2000 && quiet < 3; ++round) {
        bool progress = turn();
        if (sent < size) {
            const ssize_t count = ::send(client, data + sent, size - sent, MSG_NOSIGNAL);
            if (count > 0) {
                sent += size_t(count);
                progress = true;
            }
        }
        char buffer[65536];
        for (;;) {
            const ssize_t count = ::recv(client, buffer, sizeof buffer, 0);
            if (count <= 0)
                break;
            if (answer.size() < kept)
                answer.append(buffer, std::min(int(count), kept - int(answer.size())));
            progress = true;
        }
        quiet = progress || sent < size ? 0 : quiet + 1;
    }
    ::close(client);
    // A connection goes within moments of its peer, long before any of its timeouts; the bound is
    // time, not turns, so a machine busy with other work does not pass for a lingering connection.
    QElapsedTimer waited;
    waited.start();
    while (!http.findChildren<HttpConnection *>().isEmpty() && waited.elapsed() < 3000) {
        if (!turn())
            ::usleep(500);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    if (!http.findChildren<HttpConnection *>().isEmpty())
        abort(); // a connection outlived its peer
    if (!answer.isEmpty() && !answer.startsWith("HTTP/1.1 "))
        abort();
    return 0;
}
