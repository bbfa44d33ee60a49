#include "fakequeryservice.h"

#include "storage/charset.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

// Requests larger than this are not HTTP requests we mean to parse.
constexpr qsizetype kMaxRequestHead = 64 * 1024;
constexpr int kEndlessChunk = 64 * 1024;
const char* const kServedProperty = "fakeServed";

FakeQueryService::FakeQueryService(QObject* parent)
    : QObject(parent), m_server(new QTcpServer(this)) {
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server->nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

bool FakeQueryService::start(quint16 port) {
    stop();
    return m_server->listen(QHostAddress::LocalHost, port);
}

void FakeQueryService::stop() {
    m_server->close();
    for (QTcpSocket* socket : findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly)) {
        socket->disconnect(this);
        socket->abort();
        delete socket;
    }
}

QByteArray FakeQueryService::envelope(const QString& payload) {
    return ToGbk(QStringLiteral("<html><head><title>query</title></head><body>\r\n<!-- start -->") +
                 payload + QStringLiteral("<!-- end -->\r\n</body></html>"));
}

int FakeQueryService::openConnections() const {
    int open = 0;
    for (const QTcpSocket* socket : findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly))
        open += socket->state() == QAbstractSocket::ConnectedState;
    return open;
}

QString FakeQueryService::targetOf(const QString& requestTarget) {
    for (const QLatin1String marker : {QLatin1String("&sUrl="), QLatin1String("?sUrl=")}) {
        const qsizetype at = requestTarget.indexOf(marker);
        if (at >= 0)
            return requestTarget.mid(at + marker.size());
    }
    return QString();
}

QString FakeQueryService::pageOf(const QString& requestTarget) {
    const QString path = requestTarget.left(requestTarget.indexOf(QLatin1Char('?')));
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

void FakeQueryService::onReadyRead(QTcpSocket* socket) {
    if (socket->property(kServedProperty).toBool()) {
        socket->readAll(); // one request per connection; anything after it is ignored
        return;
    }
    const QByteArray head = socket->peek(kMaxRequestHead);
    const qsizetype headEnd = head.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        if (head.size() >= kMaxRequestHead)
            socket->abort();
        return;
    }
    socket->read(headEnd + 4);
    socket->setProperty(kServedProperty, true);
    const QString target = QString::fromUtf8(head.left(head.indexOf("\r\n")).split(' ').value(1));
    m_requests.append(target);
    const int delayMs = m_pages.value(pageOf(target)).delayMs;
    if (delayMs == 0)
        return serve(socket, target);
    // The socket as context: a connection closed meanwhile cancels the timer.
    QTimer::singleShot(delayMs, socket, [this, socket, target] { serve(socket, target); });
}

void FakeQueryService::serve(QTcpSocket* socket, const QString& target) {
    const QString page = pageOf(target);
    switch (m_pages.value(page).behaviour) {
    case Behaviour::NoAnswer:
        return;
    case Behaviour::Drop:
        socket->abort();
        return;
    case Behaviour::HeadersThenStall:
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 100000\r\n"
                      "Connection: close\r\n\r\n<html><body><!-- start -->");
        return;
    case Behaviour::EndlessBody:
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"
                      "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n");
        connect(socket, &QTcpSocket::bytesWritten, socket, [socket] { feedEndless(socket); });
        feedEndless(socket);
        return;
    case Behaviour::Answer:
        writeAnswer(socket, answerFor(page, target));
        socket->disconnectFromHost();
        return;
    }
}

FakeQueryService::Answer FakeQueryService::answerFor(const QString& page,
                                                     const QString& target) const {
    const QString raw = targetOf(target);
    const QString decoded = QUrl::fromPercentEncoding(raw.toUtf8());
    const auto it = m_pages.constFind(page);
    if (it != m_pages.cend()) {
        for (const QString& key : {raw, decoded})
            if (it->byTarget.contains(key))
                return it->byTarget.value(key);
        if (it->answer)
            return *it->answer;
    }
    const Generated generated = m_generator ? m_generator(page, decoded) : Generated();
    if (generated.found)
        return generated.json ? jsonAnswer(generated.payload)
                              : Answer{200, envelope(generated.payload)};
    return Answer{404, "<html><body><h1>404 Not Found</h1></body></html>"};
}

void FakeQueryService::writeAnswer(QTcpSocket* socket, const Answer& answer) {
    // Clients here read the status code only, never the reason phrase.
    QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) +
                      (answer.status == 200 ? " OK\r\n" : " Status\r\n");
    if (!answer.location.isEmpty())
        head += "Location: " + answer.location + "\r\n";
    if (!answer.encoding.isEmpty())
        head += "Content-Encoding: " + answer.encoding + "\r\n";
    head += "Content-Type: " + answer.type +
            "\r\nContent-Length: " + QByteArray::number(answer.body.size()) +
            "\r\nConnection: close\r\n\r\n";
    socket->write(head + answer.body);
}

void FakeQueryService::feedEndless(QTcpSocket* socket) {
    if (socket->state() != QAbstractSocket::ConnectedState || socket->bytesToWrite() > 0)
        return;
    static const QByteArray chunk =
        QByteArray::number(kEndlessChunk, 16) + "\r\n" + QByteArray(kEndlessChunk, 'x') + "\r\n";
    socket->write(chunk);
}
