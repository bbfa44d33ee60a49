#pragma once

#include "config.h"
#include "env.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace valdane::svc {

// One alert as it is told: when its condition started (fired) or ended.
struct AlertMessage {
    std::string rule; // the rule's id
    std::string site;
    bool fired = true; // false: the condition cleared
    std::string title; // one line
    std::string text;  // the whole notice
    std::int64_t time_ms = 0;
};

struct DeliveryResult {
    bool ok = false;
    std::string error; // why not, in a few words
};

// Sends one alert through one channel, now. HTTP channels go through env.http; signatures are
// stamped with env.clock, so a retry signs afresh.
DeliveryResult Deliver(const AlertChannel& channel, const AlertMessage& message, Env& env);

// base64(HMAC-SHA256(key, message)): the robots' signatures.
std::string HmacSha256Base64(std::string_view key, std::string_view message);

} // namespace valdane::svc
