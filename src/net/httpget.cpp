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
    const std::unique_ptr<QNetworkReply> reply(ThreadManager()->get(request));

    QEventLoop loop;
    bool woken = false;
    bool tooLarge = false;
    QByteArray body;
    const auto wake = [&] {
        woken = true;
        loop.quit();
    };
    // The body is taken as it arrives, so the cap holds however the server frames it (length,
    // chunks, or neither) and the bounded read buffer slows a fast sender down.
    const auto take = [&] {
        if (tooLarge)
            return;
        body += reply->readAll();
        const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (announced > kHttpGetMaxBody || body.size() > kHttpGetMaxBody) {
            tooLarge = true;
            body.clear();
            reply->abort(); // emits finished, which wakes the loop
        }
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

    if (tooLarge)
        return Failed();
    const QNetworkReply::NetworkError error = reply->error();
    const bool hasStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    if (error != QNetworkReply::NoError && !(hasStatus && IsStatusError(error)))
        return Failed();
    take();
    if (tooLarge)
        return Failed();
    return BytesToText(body, charset);
}
