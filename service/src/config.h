#pragma once

#include "measurement.h"
#include "toml_fwd.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace valdane::svc {

struct UpdateInfo {
    std::string version = "V1.3 Beta"; // the program's own: no update is announced
    std::string name;
    std::string url;
};

// One alert rule ([[alerts.rules]]). It watches every column it matches, each site apart.
struct AlertRule {
    enum class Kind {
        Drop,    // a count falls by at least `percent` against its previous good value
        Zero,    // a count that was above 0 becomes a real 0
        Failing, // a source keeps failing for more than `window_ms`
        Expiry,  // the registration expires within `window_ms`
    };
    Kind kind = Kind::Drop;
    std::optional<Page> page; // none: every page
    int column = -1;          // -1: every column
    double percent = 30;
    std::int64_t floor = 100; // Drop: a previous value below this is not news
    std::int64_t window_ms = 0;
    std::string id; // what the rule's state is kept under: its kind and settings
};

// Where alerts are delivered ([alerts.channels.NAME]).
struct AlertChannel {
    std::string name;
    std::string type;   // "webhook", "dingtalk", "wecom", "feishu", "smtp"
    std::string url;    // the robot's or the webhook's address; smtp://host:port for mail
    std::string secret; // DingTalk and Feishu signing secret; "" unsigned
    std::string from;
    std::vector<std::string> to;
    std::string user, password;
    bool require_tls = true; // smtp: refuse to send without STARTTLS
};

struct Config {
    std::string listen = "127.0.0.1:8936";
    std::filesystem::path data_dir; // default $XDG_DATA_HOME/valdane
    // The measurement store: a postgresql:// URI, or SQLite's folder; "" SQLite in data_dir.
    std::string store;
    std::int64_t fresh_ms = 24LL * 3600 * 1000; // answers come from the store while fresher
    std::int64_t deadline_ms = 45000;           // answer within this, finish in background
    std::vector<std::string> allow = {"127.0.0.0/8", "::1/128"}; // client networks (CIDR)
    // Host names the service answers to besides its listen address and localhost (lower case).
    std::vector<std::string> server_names;
    UpdateInfo update;
    // The provider name behind each column of each page, in column order.
    std::map<Page, std::vector<std::string>> columns;
    // Per column, the sources asked in order after `columns`' one when it cannot answer now or
    // fails in a way another can mend; absent or empty: none.
    std::map<Page, std::vector<std::vector<std::string>>> fallbacks;
    // [providers.NAME] sections as written; "type" picks the implementation.
    std::map<std::string, std::shared_ptr<const toml::table>> providers;
    std::filesystem::path source_file; // "" when built-in defaults
    std::vector<AlertRule> alert_rules;
    std::vector<AlertChannel> alert_channels;
    // Several instances on one PostgreSQL store (fleet.h): the outgoing address or proxy this
    // instance's engine requests leave by, "" for the host name. Instances with the same egress
    // share each engine's pacing; different ones pace apart.
    std::string egress;
    // How long a measurement claimed by an instance stays its own without a heartbeat: a
    // killed instance's work is taken over after this.
    std::int64_t lease_ms = 120'000;
};

// Reads the [alerts] table into config; the reason naming the key when it cannot be used.
std::optional<std::string> ReadAlertConfig(const toml::table& alerts, Config* config);

// Built-in defaults, then the file (when given), in that order. Returns false with *error
// naming the key when the file cannot be used.
bool LoadConfig(const std::filesystem::path& file, Config* config, std::string* error);
// The rules LoadConfig applies across keys, for a configuration changed afterwards (flags).
bool CheckConfig(const Config& config, std::string* error);

// The built-in configuration as TOML text: every key at its default.
std::string_view DefaultConfigToml();
// $XDG_CONFIG_HOME/valdane/service.toml (~/.config/... without it), whether it exists or not.
std::filesystem::path DefaultConfigPath();
// $XDG_DATA_HOME/valdane (~/.local/share/... without it).
std::filesystem::path DefaultDataDir();

struct ListenAddress {
    std::string host; // numeric: "127.0.0.1", "::1" (without brackets)
    int port = 0;
};
// "ADDR:PORT" or "[V6ADDR]:PORT" with a numeric address.
std::optional<ListenAddress> ParseListen(std::string_view text);

// One client network of the allow-list.
struct Network {
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{}; // the first 4 for IPv4
    int prefix = 0;
};
// "10.0.0.0/8", "::1/128", or one address ("192.0.2.7" = /32).
std::optional<Network> ParseNetwork(std::string_view text);
// Whether the numeric address (IPv4, IPv6, or IPv4 mapped into IPv6) lies in the network.
bool NetworkContains(const Network& network, std::string_view address);
bool IsLoopbackAddress(std::string_view address);

} // namespace valdane::svc
