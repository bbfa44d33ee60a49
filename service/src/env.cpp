#include "env.h"

#include <curl/curl.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>

namespace valdane::svc {
namespace {

class SystemClock final : public Clock {
  public:
    std::int64_t NowMs() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    }
    std::int64_t MonoMs() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                   std::int64_t deadline_mono_ms, const std::function<bool()>& pred) override {
        const auto deadline =
            std::chrono::steady_clock::time_point(std::chrono::milliseconds(deadline_mono_ms));
        return cv.wait_until(lock, deadline, pred);
    }
};

thread_local const std::atomic<bool>* t_cancel = nullptr;

int OnProgress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return TransferCancelled() ? 1 : 0;
}

struct Transfer {
    HttpResponse* response;
    std::size_t max_bytes;
    const std::function<bool(std::string_view)>* sink; // null: keep the body in the response
    std::size_t seen = 0;
};

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    const std::size_t room = t->max_bytes - std::min(t->max_bytes, t->seen);
    const std::size_t take = std::min(n, room);
    t->seen += take;
    if (t->sink) {
        if (take > 0 && !(*t->sink)(std::string_view(data, take)))
            return 0;
    } else {
        t->response->body.append(data, take);
    }
    if (n > room) {
        t->response->truncated = true;
        return 0; // ends the transfer: we keep what fits
    }
    return n;
}

class CurlClient final : public HttpClient {
  public:
    CurlClient() { curl_global_init(CURL_GLOBAL_DEFAULT); }

    HttpResponse Get(const HttpRequest& request) override {
        HttpResponse response;
        CURL* curl = curl_easy_init();
        if (!curl) {
            response.error = "curl_easy_init failed";
            return response;
        }
        Transfer transfer{&response, request.max_bytes,
                          request.on_body ? &request.on_body : nullptr};
        curl_slist* headers = nullptr;
        for (const auto& [name, value] : request.headers)
            headers = curl_slist_append(headers, (name + ": " + value).c_str());
        curl_slist* resolve = nullptr;
        for (const auto& entry : request.resolve)
            resolve = curl_slist_append(resolve, entry.c_str());

        curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout_ms));
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(std::min<std::int64_t>(request.timeout_ms, 10000)));
        curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, ""); // every encoding curl can undo
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        if (headers)
            curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        if (resolve)
            curl_easy_setopt(curl, CURLOPT_RESOLVE, resolve);
        if (!request.user_agent.empty())
            curl_easy_setopt(curl, CURLOPT_USERAGENT, request.user_agent.c_str());
        if (!request.cookie_jar.empty()) {
            curl_easy_setopt(curl, CURLOPT_COOKIEFILE, request.cookie_jar.c_str());
            curl_easy_setopt(curl, CURLOPT_COOKIEJAR, request.cookie_jar.c_str());
        }
        // An empty proxy string also stops curl from taking one from the environment.
        curl_easy_setopt(curl, CURLOPT_PROXY, request.proxy.c_str());
        if (request.post_body) {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(request.post_body->size()));
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.post_body->data());
        }

        const CURLcode rc = curl_easy_perform(curl);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        char* type = nullptr;
        if (curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type)
            response.content_type = type;
        char* location = nullptr;
        if (curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location)
            response.location = location;
        if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && response.truncated)) {
            response.error = rc == CURLE_ABORTED_BY_CALLBACK ? "cancelled" : curl_easy_strerror(rc);
            status = 0;
        }
        response.status = static_cast<int>(status);
        curl_slist_free_all(headers);
        curl_slist_free_all(resolve);
        curl_easy_cleanup(curl);
        return response;
    }
};

class SystemResolver final : public Resolver {
  public:
    std::vector<std::string> Resolve(const std::string& host) override {
        std::vector<std::string> out;
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0)
            return out;
        for (addrinfo* a = list; a; a = a->ai_next) {
            char text[NI_MAXHOST];
            if (getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0,
                            NI_NUMERICHOST) == 0 &&
                std::find(out.begin(), out.end(), text) == out.end())
                out.emplace_back(text);
        }
        freeaddrinfo(list);
        return out;
    }
};

} // namespace

CancelScope::CancelScope(const std::atomic<bool>& flag) : previous_(t_cancel) {
    t_cancel = &flag;
}

CancelScope::~CancelScope() {
    t_cancel = previous_;
}

bool TransferCancelled() {
    return t_cancel && t_cancel->load();
}

Env& DefaultEnv() {
    static SystemClock clock;
    static CurlClient http;
    static SystemResolver resolver;
    static Env env{clock, http, resolver};
    return env;
}

} // namespace valdane::svc
