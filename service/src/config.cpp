#include "config.h"

#include "pg.h"
#include "protocol.h"
#include "providers/charset.h"

#include <arpa/inet.h>
#include <pwd.h>
#include <unistd.h>

#include <toml++/toml.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>
#include <sstream>

namespace valdane::svc {
namespace fs = std::filesystem;
namespace {

fs::path Home() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    const passwd* pw = getpwuid(getuid());
    return pw && pw->pw_dir ? fs::path(pw->pw_dir) : fs::path();
}

// An XDG base folder: the variable when it holds an absolute path, else ~/fallback.
fs::path XdgDir(const char* variable, const char* fallback) {
    if (const char* dir = std::getenv(variable); dir && *dir == '/')
        return dir;
    return Home() / fallback;
}

// Tables merge key by key; any other value (arrays included) replaces the one below it.
void Overlay(toml::table& base, const toml::table& over) {
    for (auto&& [key, value] : over) {
        toml::table* below = base[key].as_table();
        if (below && value.is_table())
            Overlay(*below, *value.as_table());
        else
            base.insert_or_assign(key, value);
    }
}

std::string Describe(const toml::parse_error& e) {
    std::ostringstream why;
    why << "line " << e.source().begin.line << ": " << e.description();
    return why.str();
}

// Reads one table into the configuration; each failure names its key.
class Reader {
  public:
    Reader(const toml::table& root, fs::path base_dir, Config* config)
        : root_(root), base_dir_(std::move(base_dir)), c_(*config) {}

    std::optional<std::string> Read() {
        static const std::set<std::string, std::less<>> known = {
            "listen", "data_dir",     "store",        "fresh_hours", "deadline_seconds",
            "allow",  "server_names", "update",       "columns",     "providers",
            "alerts", "egress",       "lease_seconds"};
        for (auto&& [key, value] : root_)
            if (!known.count(key.str()))
                return "unknown key '" + std::string(key.str()) + "'";
        std::optional<std::string> why;
        if ((why = String(root_, "listen", &c_.listen)))
            return why;
        std::string dir;
        if ((why = String(root_, "data_dir", &dir)))
            return why;
        if (!dir.empty())
            c_.data_dir = base_dir_ / dir; // relative to the file; absolute stays
        if ((why = String(root_, "store", &c_.store)))
            return why;
        if (!c_.store.empty() && !pg::IsConnectionUri(c_.store))
            c_.store = (base_dir_ / c_.store).string();
        if ((why = Duration("fresh_hours", 3600.0 * 1000, 0, &c_.fresh_ms)))
            return why;
        // The program gives up after 60 s; an answer must leave it time to arrive.
        if ((why = Duration("deadline_seconds", 1000.0, 59, &c_.deadline_ms)))
            return why;
        if (c_.deadline_ms <= 0)
            return std::string("key 'deadline_seconds': must be more than 0");
        if ((why = String(root_, "egress", &c_.egress)))
            return why;
        if ((why = Duration("lease_seconds", 1000.0, 0, &c_.lease_ms)))
            return why;
        if (c_.lease_ms <= 0)
            return std::string("key 'lease_seconds': must be more than 0");
        if ((why = StringList(root_, "allow", &c_.allow)))
            return why;
        for (const std::string& net : c_.allow)
            if (!ParseNetwork(net))
                return "key 'allow': '" + net + "' is not a network (address/prefix)";
        if ((why = StringList(root_, "server_names", &c_.server_names)))
            return why;
        for (std::string& name : c_.server_names) {
            // Compared with the Host header as browsers send it: lower case, no port.
            name = Lowered(name);
            if (name.empty() || name.size() > 253 ||
                name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-") !=
                    std::string::npos)
                return "key 'server_names': '" + name +
                       "' is not a host name (letters, digits, '-' and '.'; no port)";
        }
        if ((why = Update()) || (why = Providers()) || (why = Columns()))
            return why;
        if (const toml::node* alerts = root_.get("alerts")) {
            if (!alerts->is_table())
                return std::string("key 'alerts': expected a table");
            if ((why = ReadAlertConfig(*alerts->as_table(), &c_)))
                return why;
        }
        return std::nullopt;
    }

  private:
    static std::optional<std::string> String(const toml::table& t, std::string_view key,
                                             std::string* out, const std::string& path = "") {
        const toml::node* node = t.get(key);
        if (!node)
            return std::nullopt;
        if (!node->is_string())
            return "key '" + path + std::string(key) + "': expected a string";
        *out = **node->as_string();
        return std::nullopt;
    }

    static std::optional<std::string> StringList(const toml::table& t, std::string_view key,
                                                 std::vector<std::string>* out,
                                                 const std::string& path = "") {
        const toml::node* node = t.get(key);
        if (!node)
            return std::nullopt;
        const std::string name = "key '" + path + std::string(key) + "'";
        const toml::array* array = node->as_array();
        if (!array)
            return name + ": expected an array of strings";
        out->clear();
        for (const toml::node& item : *array) {
            if (!item.is_string())
                return name + ": expected an array of strings";
            out->push_back(**item.as_string());
        }
        return std::nullopt;
    }

    // A number of units (hours, seconds) at least 0 and at most `most` (0: no limit), in ms.
    std::optional<std::string> Duration(std::string_view key, double unit_ms, double most,
                                        std::int64_t* out) {
        const toml::node* node = root_.get(key);
        if (!node)
            return std::nullopt;
        const std::string name = "key '" + std::string(key) + "'";
        if (!node->is_number())
            return name + ": expected a number";
        const double v = node->value<double>().value_or(-1);
        if (!std::isfinite(v) || v < 0 || (most > 0 && v > most))
            return name + ": must lie between 0 and " +
                   (most > 0 ? std::to_string(static_cast<int>(most)) : "any");
        *out = static_cast<std::int64_t>(std::llround(v * unit_ms));
        return std::nullopt;
    }

    std::optional<std::string> Update() {
        const toml::node* node = root_.get("update");
        if (!node)
            return std::nullopt;
        const toml::table* t = node->as_table();
        if (!t)
            return std::string("key 'update': expected a table");
        for (auto&& [key, value] : *t)
            if (key != "version" && key != "name" && key != "url")
                return "unknown key 'update." + std::string(key.str()) + "'";
        std::optional<std::string> why;
        if ((why = String(*t, "version", &c_.update.version, "update.")) ||
            (why = String(*t, "name", &c_.update.name, "update.")) ||
            (why = String(*t, "url", &c_.update.url, "update.")))
            return why;
        return std::nullopt;
    }

    std::optional<std::string> Providers() {
        const toml::node* node = root_.get("providers");
        if (!node)
            return std::nullopt;
        const toml::table* t = node->as_table();
        if (!t)
            return std::string("key 'providers': expected a table");
        c_.providers.clear();
        for (auto&& [key, value] : *t) {
            const std::string name = "providers." + std::string(key.str());
            const toml::table* section = value.as_table();
            if (!section)
                return "key '" + name + "': expected a table";
            if (!section->get_as<std::string>("type"))
                return "key '" + name + ".type': missing (the kind of data source)";
            c_.providers[std::string(key.str())] = std::make_shared<const toml::table>(*section);
        }
        return std::nullopt;
    }

    std::optional<std::string> Columns() {
        const toml::node* node = root_.get("columns");
        if (!node)
            return std::nullopt;
        const toml::table* t = node->as_table();
        if (!t)
            return std::string("key 'columns': expected a table");
        for (auto&& [key, value] : *t)
            if (!PageFromName(key.str()))
                return "unknown key 'columns." + std::string(key.str()) + "'";
        for (Page page : kPages) {
            const std::string name = "columns." + std::string(PageName(page));
            const toml::node* entry = t->get(PageName(page));
            if (!entry)
                continue;
            const toml::array* array = entry->as_array();
            const std::string expected = "key '" + name +
                                         "': expected an array of provider names or of lists "
                                         "of provider names";
            if (!array)
                return expected;
            if (static_cast<int>(array->size()) != ColumnCount(page))
                return "key '" + name + "': expected " + std::to_string(ColumnCount(page)) +
                       " columns, got " + std::to_string(array->size());
            std::vector<std::string> list;
            std::vector<std::vector<std::string>> fallbacks;
            for (const toml::node& item : *array) {
                std::vector<std::string> chain;
                if (item.is_string()) {
                    chain.push_back(**item.as_string());
                } else if (const toml::array* sources = item.as_array()) {
                    for (const toml::node& source : *sources) {
                        if (!source.is_string())
                            return expected;
                        chain.push_back(**source.as_string());
                    }
                }
                if (chain.empty())
                    return expected;
                for (const std::string& provider : chain) {
                    if (!c_.providers.count(provider))
                        return "key '" + name + "': no [providers." + provider + "] section";
                    if (std::count(chain.begin(), chain.end(), provider) > 1)
                        return "key '" + name + "': '" + provider + "' twice in one column";
                }
                list.push_back(chain.front());
                fallbacks.emplace_back(chain.begin() + 1, chain.end());
            }
            c_.fallbacks[page] = std::move(fallbacks);
            c_.columns[page] = std::move(list);
        }
        return std::nullopt;
    }

    const toml::table& root_;
    fs::path base_dir_;
    Config& c_;
};

bool IsLoopbackNetwork(const Network& n) {
    if (!n.v6)
        return n.prefix >= 8 && n.bytes[0] == 127;
    static const std::array<std::uint8_t, 16> one = {0, 0, 0, 0, 0, 0, 0, 0,
                                                     0, 0, 0, 0, 0, 0, 0, 1};
    return n.prefix == 128 && n.bytes == one;
}

// Parses a numeric address; with `unmap`, IPv4 mapped into IPv6 comes back as IPv4 (as a dual
// stack socket reports IPv4 clients).
std::optional<Network> ParseAddress(std::string_view text, bool unmap) {
    const std::string s(text);
    Network n;
    if (inet_pton(AF_INET, s.c_str(), n.bytes.data()) == 1) {
        n.prefix = 32;
        return n;
    }
    if (inet_pton(AF_INET6, s.c_str(), n.bytes.data()) != 1)
        return std::nullopt;
    static const std::array<std::uint8_t, 12> mapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (unmap && std::equal(mapped.begin(), mapped.end(), n.bytes.begin())) {
        std::array<std::uint8_t, 16> v4{};
        std::copy(n.bytes.begin() + 12, n.bytes.end(), v4.begin());
        n.bytes = v4;
        n.prefix = 32;
        return n;
    }
    n.v6 = true;
    n.prefix = 128;
    return n;
}

} // namespace

fs::path DefaultConfigPath() {
    return XdgDir("XDG_CONFIG_HOME", ".config") / "valdane" / "service.toml";
}

fs::path DefaultDataDir() {
    return XdgDir("XDG_DATA_HOME", ".local/share") / "valdane";
}

std::optional<ListenAddress> ParseListen(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (bracketed)
        host = host.substr(1, host.size() - 2);
    const auto address = ParseAddress(host, false);
    // An IPv6 address needs its brackets, or its last group would read as the port.
    if (!address || address->v6 != bracketed || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    const int number = std::stoi(std::string(port));
    if (number < 1 || number > 65535)
        return std::nullopt;
    return ListenAddress{std::string(host), number};
}

std::optional<Network> ParseNetwork(std::string_view text) {
    const std::size_t slash = text.find('/');
    auto n = ParseAddress(text.substr(0, slash), false);
    if (!n || slash == std::string_view::npos)
        return n;
    const std::string_view bits = text.substr(slash + 1);
    if (bits.empty() || bits.size() > 3 ||
        bits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    n->prefix = std::stoi(std::string(bits));
    if (n->prefix > (n->v6 ? 128 : 32))
        return std::nullopt;
    return n;
}

bool NetworkContains(const Network& network, std::string_view address) {
    const auto a = ParseAddress(address, true);
    if (!a || a->v6 != network.v6)
        return false;
    for (int bit = 0; bit < network.prefix; ++bit) {
        const std::uint8_t mask = 0x80 >> (bit % 8);
        if ((a->bytes[bit / 8] & mask) != (network.bytes[bit / 8] & mask))
            return false;
    }
    return true;
}

bool IsLoopbackAddress(std::string_view address) {
    const auto a = ParseAddress(address, true);
    return a && IsLoopbackNetwork(*a);
}

bool CheckConfig(const Config& config, std::string* error) {
    const auto listen = ParseListen(config.listen);
    if (!listen) {
        *error = "key 'listen': '" + config.listen +
                 "' is not ADDRESS:PORT with a numeric address ([::1]:PORT for IPv6)";
        return false;
    }
    if (IsLoopbackAddress(listen->host))
        return true;
    for (const std::string& text : config.allow) {
        const auto net = ParseNetwork(text);
        if (net && !IsLoopbackNetwork(*net))
            return true;
    }
    *error = "key 'listen': " + config.listen +
             " is reachable from other machines, but key 'allow' admits only this one; list the "
             "client networks that may use the service (each answer spends requests at "
             "third-party sites on their behalf)";
    return false;
}

bool LoadConfig(const fs::path& file, Config* config, std::string* error) {
    toml::table root;
    try {
        root = toml::parse(DefaultConfigToml(), std::string_view("built-in defaults"));
    } catch (const toml::parse_error& e) {
        *error = "built-in defaults: " + Describe(e);
        return false;
    }
    const std::string origin = file.empty() ? "built-in defaults" : file.string();
    if (!file.empty()) {
        std::error_code ec;
        if (!fs::is_regular_file(file, ec)) {
            *error = origin + ": no such file";
            return false;
        }
        toml::table user;
        try {
            user = toml::parse_file(file.string());
        } catch (const toml::parse_error& e) {
            *error = origin + ": " + Describe(e);
            return false;
        }
        Overlay(root, user);
    }
    Config c;
    c.data_dir = DefaultDataDir();
    c.source_file = file;
    const fs::path base = file.empty() ? fs::current_path() : fs::absolute(file).parent_path();
    if (auto why = Reader(root, base, &c).Read()) {
        *error = origin + ": " + *why;
        return false;
    }
    for (Page page : kPages)
        if (!c.columns.count(page)) {
            *error = origin + ": key 'columns." + std::string(PageName(page)) + "' missing";
            return false;
        }
    if (!CheckConfig(c, error)) {
        *error = origin + ": " + *error;
        return false;
    }
    *config = std::move(c);
    return true;
}

} // namespace valdane::svc
