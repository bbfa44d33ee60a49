#pragma once

#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// The window's hidden web page (WEB1): it fetches the maker's page and can reload it; it renders
// nothing. Loads run asynchronously and never block the caller.
class WebPage : public QObject {
    Q_OBJECT
public:
    explicit WebPage(QObject* parent = nullptr);
    ~WebPage() override;

    void Navigate(const QString& url);
    // Loads the current address again; nothing when none was given.
    void Refresh();
    QString LocationUrl() const;
    // Completed loads since construction (for tests).
    int loadsFinished() const;

signals:
    // The page's status text changed (loading, done, failed).
    void StatusTextChange(const QString& text);

private:
    void startLoad();

    QNetworkAccessManager* m_network;
    QNetworkReply* m_reply = nullptr;
    QString m_url;
    int m_loadsFinished = 0;
};
