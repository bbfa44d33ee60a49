#include "channels.h"

#include "protocol.h"

#include <curl/curl.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <ctime>

namespace valdane::svc {
namespace {

using nlohmann::json;

std::string IsoTime(std::int64_t ms) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// The robots answer 200 even when they refuse; the refusal is in errcode/code.
DeliveryResult Post(Env& env, const std::string& url, const json& body, std::string_view code_key) {
    HttpRequest request;
    request.url = url;
    request.headers = {{"Content-Type", "application/json; charset=utf-8"}};
    request.post_body = body.dump();
    request.max_bytes = 64 * 1024;
    const HttpResponse response = env.http.Get(request);
    if (response.status == 0)
        return {false, response.error};
    if (response.status < 200 || response.status > 299)
        return {false, "HTTP " + std::to_string(response.status)};
    if (code_key.empty())
        return {true, {}};
    const json answer = json::parse(response.body, nullptr, false);
    if (!answer.is_object() || !answer.contains(code_key))
        return {false, "unreadable answer"};
    const json& code = answer[std::string(code_key)];
    if (code.is_number_integer() && code.get<std::int64_t>() == 0)
        return {true, {}};
    const std::string why = answer.value("errmsg", answer.value("msg", std::string()));
    return {false, "refused (" + code.dump() + (why.empty() ? "" : ": " + why) + ")"};
}

struct Upload {
    std::string data;
    std::size_t at = 0;
};

std::size_t ReadUpload(char* out, std::size_t size, std::size_t n, void* user) {
    auto* u = static_cast<Upload*>(user);
    const std::size_t len = std::min(size * n, u->data.size() - u->at);
    std::memcpy(out, u->data.data() + u->at, len);
    u->at += len;
    return len;
}

// RFC 2047 keeps a Chinese subject intact through every mail server.
std::string EncodedWord(std::string_view text) {
    unsigned char b64[512];
    const std::string cut(text.substr(0, 360));
    const int n = EVP_EncodeBlock(b64, reinterpret_cast<const unsigned char*>(cut.data()),
                                  static_cast<int>(cut.size()));
    return "=?UTF-8?B?" + std::string(reinterpret_cast<char*>(b64), n) + "?=";
}

DeliveryResult SendMail(const AlertChannel& c, const AlertMessage& m) {
    CURL* curl = curl_easy_init();
    if (!curl)
        return {false, "curl_easy_init failed"};
    Upload upload;
    upload.data = "From: " + c.from + "\r\nTo: ";
    for (std::size_t i = 0; i < c.to.size(); ++i)
        upload.data += (i ? ", " : "") + c.to[i];
    upload.data += "\r\nSubject: " + EncodedWord(m.title) +
                   "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
                   "Content-Transfer-Encoding: 8bit\r\n\r\n" +
                   m.text + "\r\n";
    curl_slist* rcpt = nullptr;
    for (const std::string& to : c.to)
        rcpt = curl_slist_append(rcpt, ("<" + to + ">").c_str());
    curl_easy_setopt(curl, CURLOPT_URL, c.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 30000L);
    curl_easy_setopt(curl, CURLOPT_USE_SSL,
                     static_cast<long>(c.require_tls ? CURLUSESSL_ALL : CURLUSESSL_TRY));
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, ("<" + c.from + ">").c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
    if (!c.user.empty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, c.user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, c.password.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadUpload);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    const CURLcode rc = curl_easy_perform(curl);
    curl_slist_free_all(rcpt);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK)
        return {false, curl_easy_strerror(rc)};
    return {true, {}};
}

} // namespace

std::string HmacSha256Base64(std::string_view key, std::string_view message) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac, &len);
    unsigned char b64[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
    const int n = EVP_EncodeBlock(b64, mac, static_cast<int>(len));
    return std::string(reinterpret_cast<char*>(b64), n);
}

DeliveryResult Deliver(const AlertChannel& c, const AlertMessage& m, Env& env) {
    const std::int64_t now_ms = env.clock.NowMs();
    const std::string content = m.title + "\n" + m.text;
    if (c.type == "webhook")
        return Post(env, c.url,
                    {{"event", m.fired ? "fired" : "cleared"},
                     {"rule", m.rule},
                     {"site", m.site},
                     {"title", m.title},
                     {"text", m.text},
                     {"time", IsoTime(m.time_ms)}},
                    "");
    if (c.type == "dingtalk") {
        std::string url = c.url;
        if (!c.secret.empty()) {
            const std::string ts = std::to_string(now_ms);
            url += (url.find('?') == std::string::npos ? "?" : "&") + std::string("timestamp=") +
                   ts + "&sign=" + PercentEncode(HmacSha256Base64(c.secret, ts + "\n" + c.secret));
        }
        return Post(env, url, {{"msgtype", "text"}, {"text", {{"content", content}}}}, "errcode");
    }
    if (c.type == "wecom")
        return Post(env, c.url, {{"msgtype", "text"}, {"text", {{"content", content}}}}, "errcode");
    if (c.type == "feishu") {
        json body = {{"msg_type", "text"}, {"content", {{"text", content}}}};
        if (!c.secret.empty()) {
            const std::string ts = std::to_string(now_ms / 1000);
            body["timestamp"] = ts;
            body["sign"] = HmacSha256Base64(ts + "\n" + c.secret, "");
        }
        return Post(env, c.url, body, "code");
    }
    if (c.type == "smtp")
        return SendMail(c, m);
    return {false, "unknown channel type '" + c.type + "'"};
}

} // namespace valdane::svc
