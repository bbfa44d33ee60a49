#pragma once

#include "env.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace valdane::svc::bench {

// Every engine of the shipped configuration answers its own count page; nothing else answers.
class FakeEngines final : public HttpClient {
  public:
    HttpResponse Get(const HttpRequest& request) override {
        static const std::map<std::string, std::string> pages = {
            {"www.baidu.com", "<span class=\"nums_text\">百度为您找到相关结果约1,234,000个</span>"},
            {"www.sogou.com", "<p class=\"num-tips\">搜狗已为您找到约37,020条相关结果</p>"},
            {"www.so.com", "<span>找到相关结果约5,430个</span>"},
            {"cn.bing.com", "<span class=\"sb_count\">约 12,300 个结果</span>"},
            {"search.yahoo.com", "<a class=\"next\">Next</a><span>98,700 results</span>"},
        };
        HttpResponse r;
        const std::size_t host = request.url.find("://") + 3;
        const auto it = pages.find(request.url.substr(host, request.url.find('/', host) - host));
        r.status = it == pages.end() ? 404 : 200;
        r.content_type = "text/html; charset=utf-8";
        r.body = it == pages.end() ? "" : "<html><body>" + it->second + "</body></html>";
        ++requests;
        if (request.url.find("example.com") != std::string::npos) {
            std::lock_guard<std::mutex> guard(mutex_);
            if (!asked_.insert(request.url).second)
                ++repeated;
        }
        if (clock)
            last_ms = clock->NowMs();
        return r;
    }
    std::atomic<int> requests{0};
    // Requests for a tracked site (example.com) whose exact address was asked before: a
    // measurement made twice. The engines' canaries ask for their own sites.
    std::atomic<int> repeated{0};
    Clock* clock = nullptr; // when set, last_ms keeps the time of the newest request
    std::atomic<std::int64_t> last_ms{0};

  private:
    std::mutex mutex_;
    std::set<std::string> asked_;
};

} // namespace valdane::svc::bench
