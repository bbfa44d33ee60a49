#include "fakequeryservice.h"

#include "storage/charset.h"

#include <QHash>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace {

// Requests larger than this are not HTTP requests we mean to parse.
constexpr qsizetype kMaxRequestHead = 64 * 1024;
constexpr int kEndlessChunk = 64 * 1024;
const char* const kServedProperty = "fakeServed";
const QString kStatePage = QStringLiteral("state.json");
const QByteArray kJsonType = "application/json; charset=utf-8";

QByteArray reasonPhrase(int status) {
    static const QHash<int, QByteArray> phrases = {
        {200, "OK"},        {301, "Moved Permanently"},    {302, "Found"},
        {303, "See Other"}, {307, "Temporary Redirect"},   {308, "Permanent Redirect"},
        {404, "Not Found"}, {500, "Internal Server Error"}};
    return phrases.value(status, "Status");
}

} // namespace

FakeQueryService::FakeQueryService(QObject* parent)
    : QObject(parent), m_server(new QTcpServer(this)) {
    connect(m_server, &QTcpServer::newConnection, this, &FakeQueryService::onNewConnection);
}

FakeQueryService::~FakeQueryService() {
    stop();
}

bool FakeQueryService::start(quint16 port) {
    stop();
    return m_server->listen(QHostAddress::LocalHost, port);
}

void FakeQueryService::stop() {
    m_server->close();
    const auto sockets = findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly);
    for (QTcpSocket* socket : sockets) {
        socket->disconnect(this);
        socket->abort();
        delete socket;
    }
}

quint16 FakeQueryService::port() const {
    return m_server->serverPort();
}

QString FakeQueryService::baseUrl() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

QByteArray FakeQueryService::envelope(const QString& payload) {
    return ToGbk(QStringLiteral("<html><head><title>query</title></head><body>\r\n<!-- start -->") +
                 payload + QStringLiteral("<!-- end -->\r\n</body></html>"));
}

void FakeQueryService::setPayload(const QString& page, const QString& payload) {
    setRaw(page, envelope(payload));
}

void FakeQueryService::setPayloadFor(const QString& page, const QString& target,
                                     const QString& payload) {
    m_pages[page].byTarget.insert(target, Answer{200, envelope(payload), {}, {}});
}

void FakeQueryService::setRaw(const QString& page, const QByteArray& body, int status) {
    Page& p = m_pages[page];
    p.hasAnswer = true;
    p.answer = Answer{status, body, {}, {}};
}

void FakeQueryService::setState(const QString& site, const QString& json, int status) {
    m_pages[kStatePage].byTarget.insert(site, Answer{status, json.toUtf8(), {}, {}, kJsonType});
}

void FakeQueryService::setEncoded(const QString& page, const QByteArray& body,
                                  const QByteArray& encoding) {
    setRaw(page, body);
    m_pages[page].answer.encoding = encoding;
}

void FakeQueryService::setRedirect(const QString& page, const QString& location, int status) {
    Page& p = m_pages[page];
    p.hasAnswer = true;
    p.answer =
        Answer{status, QByteArrayLiteral("<html><body>moved</body></html>"), location.toUtf8(), {}};
}

int FakeQueryService::openConnections() const {
    int open = 0;
    for (const QTcpSocket* socket : findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly)) {
        if (socket->state() == QAbstractSocket::ConnectedState)
            ++open;
    }
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

void FakeQueryService::onNewConnection() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
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

    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    const QString target =
        requestLine.size() >= 2 ? QString::fromUtf8(requestLine.at(1)) : QString();
    m_requests.append(target);

    const Page page = m_pages.value(pageOf(target));
    const QPointer<QTcpSocket> guard(socket);
    if (page.delayMs > 0) {
        QTimer::singleShot(page.delayMs, socket, [this, guard, target] {
            if (guard)
                serve(guard, target);
        });
    } else {
        serve(socket, target);
    }
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
    const auto it = m_pages.constFind(page);
    if (it != m_pages.cend()) {
        const QString raw = targetOf(target);
        const QString decoded = QUrl::fromPercentEncoding(raw.toUtf8());
        for (const QString& key : {raw, decoded}) {
            const auto byTarget = it->byTarget.constFind(key);
            if (byTarget != it->byTarget.cend())
                return *byTarget;
        }
        if (it->hasAnswer)
            return it->answer;
    }
    if (m_generator) {
        const Generated generated =
            m_generator(page, QUrl::fromPercentEncoding(targetOf(target).toUtf8()));
        if (generated.found && generated.json)
            return Answer{200, generated.payload.toUtf8(), {}, {}, kJsonType};
        if (generated.found)
            return Answer{200, envelope(generated.payload), {}, {}};
    }
    return Answer{
        404, QByteArrayLiteral("<html><body><h1>404 Not Found</h1></body></html>"), {}, {}};
}

void FakeQueryService::writeAnswer(QTcpSocket* socket, const Answer& answer) {
    QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' +
                      reasonPhrase(answer.status) + "\r\n";
    if (!answer.location.isEmpty())
        head += "Location: " + answer.location + "\r\n";
    if (!answer.encoding.isEmpty())
        head += "Content-Encoding: " + answer.encoding + "\r\n";
    head += "Content-Type: " + answer.type +
            "\r\nContent-Length: " + QByteArray::number(answer.body.size()) +
            "\r\nConnection: close\r\n\r\n";
    socket->write(head);
    socket->write(answer.body);
}

void FakeQueryService::feedEndless(QTcpSocket* socket) {
    if (socket->state() != QAbstractSocket::ConnectedState || socket->bytesToWrite() > 0)
        return;
    static const QByteArray chunk =
        QByteArray::number(kEndlessChunk, 16) + "\r\n" + QByteArray(kEndlessChunk, 'x') + "\r\n";
    socket->write(chunk);
}
