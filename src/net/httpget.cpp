#include "net/httpget.h"

#include "storage/charset.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>

#include <zlib.h>

namespace {

using std::chrono::milliseconds;

std::atomic<milliseconds::rep> g_timeLimitMs{60000};
// Unread bytes the transfer may run ahead of this thread.
constexpr qint64 kHttpGetReadBuffer = 1024 * 1024;

QString Failed() {
    return QStringLiteral("0");
}

// One manager per thread, created on first use. It goes with the application object on the
// main thread and with its thread elsewhere, so it never outlives the event dispatcher.
QNetworkAccessManager* ThreadManager() {
    static thread_local QPointer<QNetworkAccessManager> manager;
    if (!manager) {
        manager = new QNetworkAccessManager;
        QCoreApplication* app = QCoreApplication::instance();
        if (app->thread() == QThread::currentThread()) {
            manager->setParent(app);
        } else {
            QObject::connect(QThread::currentThread(), &QThread::finished, manager,
                             &QObject::deleteLater);
        }
    }
    return manager;
}

// True for the address of a local file: a full path or a file: URL.
bool LocalPath(const QString& address, QString* path) {
    if (QDir::isAbsolutePath(address) && !address.contains(QLatin1String("://"))) {
        *path = address;
        return true;
    }
    if (address.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
        *path = QUrl(address).toLocalFile();
        return true;
    }
    return false;
}

// Errors that come with an HTTP status: the answer is complete, only its status says "error".
bool IsStatusError(QNetworkReply::NetworkError error) {
    return (error >= QNetworkReply::ContentAccessDenied &&
            error <= QNetworkReply::UnknownContentError) ||
           (error >= QNetworkReply::InternalServerError &&
            error <= QNetworkReply::UnknownServerError);
}

// Inflates a gzip or zlib ("deflate") body as it arrives. The toolkit's own decompression
// cannot be bounded and leaves a corrupt body hanging until the time limit, so the program
// asks for these encodings itself and inflates them here, stopping at the body cap.
class Inflater {
  public:
    Inflater() { m_ok = inflateInit2(&m_stream, MAX_WBITS + 32) == Z_OK; }
    ~Inflater() { inflateEnd(&m_stream); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // Appends what input inflates to; false on corrupt data or once out passes the cap.
    bool feed(QByteArrayView input, QByteArray& out) {
        m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
        m_stream.avail_in = static_cast<uInt>(input.size());
        char buffer[64 * 1024];
        while (m_ok && m_stream.avail_in > 0) {
            if (m_ended) {
                // Another gzip member follows the first.
                m_ok = inflateReset(&m_stream) == Z_OK;
                m_ended = false;
                continue;
            }
            m_stream.next_out = reinterpret_cast<Bytef*>(buffer);
            m_stream.avail_out = sizeof buffer;
            const int result = inflate(&m_stream, Z_NO_FLUSH);
            out.append(buffer, qsizetype(sizeof buffer - m_stream.avail_out));
            if (result == Z_STREAM_END)
                m_ended = true;
            else if (result != Z_OK)
                m_ok = false;
            if (out.size() > kHttpGetMaxBody)
                m_ok = false;
        }
        return m_ok;
    }
    // True when the body ended where a compressed stream ends.
    bool complete() const { return m_ok && m_ended; }

  private:
    z_stream m_stream{};
    bool m_ok = false;
    bool m_ended = false;
};

} // namespace

QUrl HttpRequestUrl(const QString& address) {
    // The query is set on its own so that a "#" in it stays part of the query (sent as %23)
    // instead of cutting the address short as a fragment would.
    const qsizetype question = address.indexOf(QLatin1Char('?'));
    QUrl url(question < 0 ? address : address.left(question), QUrl::TolerantMode);
    if (question >= 0)
        url.setQuery(address.mid(question + 1), QUrl::TolerantMode);
    return url;
}

std::chrono::milliseconds HttpGetTimeLimit() {
    return milliseconds(g_timeLimitMs.load());
}

void SetHttpGetTimeLimit(std::chrono::milliseconds limit) {
    g_timeLimitMs.store(std::max<milliseconds::rep>(0, limit.count()));
}

QString HttpGet(const QString& address, const QString& charset) {
    QString path;
    if (LocalPath(address, &path))
        return path.isEmpty() ? Failed() : ReadTextFile(path, charset);

    const QUrl url = HttpRequestUrl(address);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        !QCoreApplication::instance())
        return Failed();

    QElapsedTimer clock;
    clock.start();
    const milliseconds::rep limit = g_timeLimitMs.load();

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(kHttpGetMaxRedirects);
    request.setRawHeader("Accept-Encoding", "gzip, deflate");
    const std::unique_ptr<QNetworkReply> reply(ThreadManager()->get(request));

    QEventLoop loop;
    bool woken = false;
    bool refused = false; // too large, or an encoding that does not decode
    QByteArray body;
    qint64 received = 0;
    std::unique_ptr<Inflater> inflater;
    bool encodingKnown = false;
    const auto wake = [&] {
        woken = true;
        loop.quit();
    };
    const auto refuse = [&] {
        refused = true;
        body.clear();
        reply->abort(); // emits finished, which wakes the loop
    };
    // The body is taken as it arrives, so the cap holds however the server frames it (length,
    // chunks, or neither) and the bounded read buffer slows a fast sender down.
    const auto take = [&] {
        if (refused)
            return;
        const QByteArray chunk = reply->readAll();
        if (!encodingKnown && !chunk.isEmpty()) {
            // Decided at the first byte of the body, when the headers are the final answer's.
            encodingKnown = true;
            const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
            if (encoding == "gzip" || encoding == "x-gzip" || encoding == "deflate")
                inflater = std::make_unique<Inflater>();
            else if (!encoding.isEmpty() && encoding != "identity")
                return refuse();
        }
        received += chunk.size();
        const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (announced > kHttpGetMaxBody || received > kHttpGetMaxBody)
            return refuse();
        if (!inflater)
            body += chunk;
        else if (!inflater->feed(chunk, body))
            return refuse();
    };
    reply->setReadBufferSize(kHttpGetReadBuffer);
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, wake);
    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, &loop, take);
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, take);
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    QObject::connect(&deadline, &QTimer::timeout, &loop, wake);

    while (!reply->isFinished()) {
        const qint64 elapsed = clock.elapsed();
        if (elapsed > limit) {
            reply->abort();
            return QString();
        }
        // Wake just after the limit; a nested HttpGet may hold us longer, which the clock
        // check above then catches.
        deadline.start(static_cast<int>(std::min<qint64>(limit - elapsed + 1, INT_MAX)));
        woken = false;
        loop.exec();
        if (!woken) {
            // The application is quitting: event loops return at once from now on.
            reply->abort();
            return QString();
        }
    }
    deadline.stop();

    if (refused)
        return Failed();
    const QNetworkReply::NetworkError error = reply->error();
    const bool hasStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    if (error != QNetworkReply::NoError && !(hasStatus && IsStatusError(error)))
        return Failed();
    take();
    if (refused || (inflater && !inflater->complete()))
        return Failed();
    return BytesToText(body, charset);
}
