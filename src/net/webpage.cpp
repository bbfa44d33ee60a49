#include "net/webpage.h"

#include "net/httpget.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <utility>

WebPage::WebPage(QObject* parent) : QObject(parent), m_network(new QNetworkAccessManager(this)) {}

WebPage::~WebPage() {
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        delete m_reply;
    }
}

void WebPage::Navigate(const QString& url) {
    m_url = url;
    startLoad();
}

void WebPage::Refresh() {
    if (!m_url.isEmpty())
        startLoad();
}

QString WebPage::LocationUrl() const {
    return m_url;
}

int WebPage::loadsFinished() const {
    return m_loadsFinished;
}

void WebPage::startLoad() {
    // A new load replaces the one still running, as a browser's does.
    if (QNetworkReply* old = std::exchange(m_reply, nullptr)) {
        old->disconnect(this);
        old->abort();
        old->deleteLater();
    }

    QNetworkRequest request(HttpRequestUrl(m_url));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(kHttpGetMaxRedirects);
    QNetworkReply* reply = m_network->get(request);
    m_reply = reply;
    // Nothing is rendered, so the body is dropped as it arrives and never piles up.
    connect(reply, &QNetworkReply::readyRead, this,
            [reply] { reply->skip(reply->bytesAvailable()); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        if (reply != m_reply)
            return;
        m_reply = nullptr;
        ++m_loadsFinished;
        // An unreachable page is nothing the user needs to hear about: the status just ends.
        // Any HTTP answer, error pages included, is a page a browser would show.
        const bool ok = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
        reply->deleteLater();
        emit StatusTextChange(ok ? QStringLiteral("完成") : QStringLiteral("无法显示网页"));
    });
    emit StatusTextChange(QStringLiteral("正在打开网页 ") + m_url);
}
