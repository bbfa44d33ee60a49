#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpServer>

#include <functional>
#include <optional>

class QTcpSocket;

// A small HTTP/1.1 server on 127.0.0.1 that plays the query service for tests. It lives in the
// caller's thread: HttpGet's wait runs the event loop, so it is served while the client waits.
// Pages are keyed by the last path segment of the request ("sites.asp", "Update.txt", ...).
// A page answers with what was last configured for it; unconfigured pages answer 404.
class FakeQueryService : public QObject {
    Q_OBJECT
  public:
    enum class Behaviour {
        Answer,           // send the configured answer (after the page's delay)
        NoAnswer,         // read the request, keep the connection open, never answer
        Drop,             // close the connection as soon as the request arrived
        HeadersThenStall, // send status and headers announcing a body, then nothing more
        EndlessBody,      // status 200 with a chunked body that never ends
    };
    // What the fallback generator returns for pages without a configured answer; json sends
    // payload as a UTF-8 JSON body (the cell-state page) instead of in the envelope.
    struct Generated {
        bool found = false;
        QString payload;
        bool json = false;
    };
    using Generator = std::function<Generated(const QString& page, const QString& target)>;
    explicit FakeQueryService(QObject* parent = nullptr);
    ~FakeQueryService() override { stop(); }
    bool start(quint16 port = 0); // on 127.0.0.1; 0 picks a free port
    void stop();
    quint16 port() const { return m_server->serverPort(); }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(port()); }
    // Status 200, GBK body "<html><body><!-- start -->payload<!-- end --></body></html>".
    void setPayload(const QString& page, const QString& text) { setRaw(page, envelope(text)); }
    // Before setPayload: for requests whose sUrl, raw or percent-decoded (UTF-8), equals target.
    void setPayloadFor(const QString& page, const QString& target, const QString& payload) {
        m_pages[page].byTarget.insert(target, Answer{200, envelope(payload)});
    }
    void setRaw(const QString& page, const QByteArray& body, int status = 200) {
        setAnswer(page, Answer{status, body});
    }
    // The cell-state page "/state.json?sUrl=site": json as an application/json body.
    void setState(const QString& site, const QString& json, int status = 200) {
        m_pages[QStringLiteral("state.json")].byTarget.insert(site, jsonAnswer(json, status));
    }
    // Status 200 with the body sent as it is under "Content-Encoding: encoding".
    void setEncoded(const QString& page, const QByteArray& body, const QByteArray& encoding) {
        setAnswer(page, Answer{200, body, {}, encoding});
    }
    void setRedirect(const QString& page, const QString& location, int status = 302) {
        setAnswer(page, Answer{status, "<html><body>moved</body></html>", location.toUtf8()});
    }
    void setBehaviour(const QString& page, Behaviour b) { m_pages[page].behaviour = b; }
    void setDelay(const QString& page, int ms) { m_pages[page].delayMs = ms; }
    // Answers pages that have nothing configured (the standalone service uses it).
    void setGenerator(Generator generator) { m_generator = std::move(generator); }
    void clearPages() { m_pages.clear(); } // requests stay recorded
    // Request targets as received, e.g. "/Calvren/Rivelo/sites.asp?sFrom=...&Key=..&sUrl=..".
    QStringList requests() const { return m_requests; }
    void clearRequests() { m_requests.clear(); }
    int openConnections() const; // answered connections close after their answer
    static QByteArray envelope(const QString& payload); // GBK bytes
    // The raw sUrl parameter: everything after the first "&sUrl=" (or a leading "?sUrl=").
    static QString targetOf(const QString& requestTarget);
    static QString pageOf(const QString& requestTarget);

  private:
    struct Answer {
        int status = 200;
        QByteArray body = {}, location = {}, encoding = {}, type = "text/html; charset=gb2312";
    };
    struct Page {
        std::optional<Answer> answer;
        QHash<QString, Answer> byTarget;
        Behaviour behaviour = Behaviour::Answer;
        int delayMs = 0;
    };
    void setAnswer(const QString& page, const Answer& answer) { m_pages[page].answer = answer; }
    static Answer jsonAnswer(const QString& json, int status = 200) {
        return Answer{status, json.toUtf8(), {}, {}, "application/json; charset=utf-8"};
    }
    void onReadyRead(QTcpSocket* socket);
    void serve(QTcpSocket* socket, const QString& target);
    Answer answerFor(const QString& page, const QString& target) const;
    static void writeAnswer(QTcpSocket* socket, const Answer& answer);
    static void feedEndless(QTcpSocket* socket);
    QTcpServer* m_server;
    QHash<QString, Page> m_pages;
    QStringList m_requests;
    Generator m_generator;
};
