// valdane-service: answers the program's queries and serves the maker's pages.
#include "alerts.h"
#include "channels.h"
#include "config.h"
#include "engine.h"
#include "fleet.h"
#include "import.h"
#include "log.h"
#include "migrate.h"
#include "pg.h"
#include "protocol.h"
#include "provider.h"
#include "server.h"
#include "store.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace valdane::svc;
namespace fs = std::filesystem;

namespace {

// What every command works on, built from the configuration once the flags are read.
struct Service {
    Config config;
    std::unique_ptr<Store> store;
    std::unique_ptr<Fleet> fleet;   // on PostgreSQL: the instances sharing it; outlives the engine
    std::unique_ptr<Alerts> alerts; // before the engine: its workers report here until it stops
    std::unique_ptr<Engine> engine;
};

using Arguments = std::vector<std::string>;

struct Command {
    std::string_view flag;
    std::string_view argument; // how --help names the values; "" when the command takes none
    std::size_t arity;         // how many values follow the flag
    std::string_view help;
    int (*run)(Service& service, const Arguments& arguments);
};

int Serve(Service& service, const Arguments&);
int Check(Service& service, const Arguments& arguments);
int TestAlert(Service& service, const Arguments& arguments);
int Import(Service& service, const Arguments& arguments) {
    return RunImport(service.config, arguments[0], {arguments[1]});
}
int ImportCcLinks(Service& service, const Arguments& arguments) {
    return RunImport(service.config, "cc-links", arguments);
}
// Works on the two stores it names, not on the configured service.
int Migrate(Service&, const Arguments& arguments) {
    return MigrateStore(arguments[0], arguments[1], DefaultEnv(), stdout);
}

// The default command (serving) comes first; the others are picked by their flag.
const Command kCommands[] = {
    {"", "", 0, "serve the program's queries and the pages (the default)", Serve},
    {"--import", "KIND FILE|URL", 2,
     "load a rank list into the data folder: KIND is 'tranco' (rank,domain CSV, plain or "
     "zipped) or 'cc-ranks' (a Common Crawl domain ranks file, plain or gzipped)",
     Import},
    {"--import-cc-links", "VERTICES EDGES", 2,
     "count referring domains from a Common Crawl domain graph: its vertices and edges files "
     "(each a file or an address, plain or gzipped)",
     ImportCcLinks},
    {"--check", "SITE", 1,
     "print what the service would answer for SITE: each page, each column, its status and "
     "source",
     Check},
    {"--test-alert", "CHANNEL", 1,
     "send a sample alert through CHANNEL (a name under [alerts.channels]) and say whether it "
     "was taken",
     TestAlert},
    {"--migrate-store", "FROM TO", 2,
     "copy every measurement and upstream state from one store to another (each a data folder, "
     "a measurements.db or a postgresql:// URI); run again to continue a copy cut short",
     Migrate},
};

void Usage(std::FILE* out) {
    std::fputs("Usage: valdane-service [--config FILE] [--listen ADDR:PORT] [--data DIR] "
               "[COMMAND]\n\n"
               "  --config FILE       the configuration file (default: ",
               out);
    std::fputs(DefaultConfigPath().c_str(), out);
    std::fputs(" when it exists)\n"
               "  --listen ADDR:PORT  the address to serve on, over the file's 'listen'\n"
               "  --data DIR          the data folder, over the file's 'data_dir'\n"
               "  --help              this text\n"
               "  --version           the version\n\nCommands:\n",
               out);
    for (const Command& c : kCommands) {
        std::string head = c.flag.empty() ? "(none)" : std::string(c.flag);
        if (!c.argument.empty())
            head += " " + std::string(c.argument);
        std::fprintf(out, "  %-18s  %s\n", head.c_str(), std::string(c.help).c_str());
    }
}

// Display width in a terminal: CJK and full-width characters take two cells.
std::size_t SequenceLength(char lead) {
    const auto c = static_cast<unsigned char>(lead);
    return c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
}

std::size_t Width(std::string_view text) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < text.size(); i += SequenceLength(text[i]))
        width += SequenceLength(text[i]) >= 3 ? 2 : 1;
    return width;
}

// The text cut to fit `width` cells with at least one blank after it, padded to the width.
std::string Cell(std::string_view text, std::size_t width) {
    const bool cut = Width(text) > width - 1;
    std::string out;
    std::size_t used = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = SequenceLength(text[i]);
        const std::string_view ch = text.substr(i, n);
        if (used + Width(ch) > width - (cut ? 2 : 1))
            break;
        out += (ch == "\r" || ch == "\n") ? std::string_view(" ") : ch;
        used += Width(ch);
        i += n;
    }
    if (cut) {
        out += "~";
        ++used;
    }
    return out + std::string(width - used, ' ');
}

std::string Age(std::int64_t ms) {
    if (ms < 60'000)
        return std::to_string(ms / 1000) + "s";
    if (ms < 3'600'000)
        return std::to_string(ms / 60'000) + "min";
    if (ms < 48 * 3'600'000LL)
        return std::to_string(ms / 3'600'000) + "h";
    return std::to_string(ms / 86'400'000) + "d";
}

int Check(Service& service, const Arguments& arguments) {
    const std::string& site = arguments[0];
    std::vector<std::future<std::optional<std::vector<ColumnAnswer>>>> pages;
    // A paced source measures at its turns: ask again when its columns are due, as long as
    // that is within one deadline.
    const auto explain = [&](Page page) {
        auto answers = service.engine->Explain(page, site);
        for (std::optional<std::int64_t> ready;
             answers && (ready = ReadyInSeconds(*answers, DefaultEnv().clock.NowMs())) &&
             *ready * 1000 <= service.config.deadline_ms;
             answers = service.engine->Explain(page, site))
            std::this_thread::sleep_for(std::chrono::seconds(*ready));
        return answers;
    };
    for (Page page : kPages)
        pages.push_back(std::async(std::launch::async, explain, page));
    const std::int64_t now = DefaultEnv().clock.NowMs();
    int rc = 0;
    std::printf("%s%s%s%s%s%s%s\n", Cell("page", 7).c_str(), Cell("column", 10).c_str(),
                Cell("sent", 34).c_str(), Cell("status", 15).c_str(), Cell("source", 12).c_str(),
                Cell("age", 7).c_str(), "note");
    for (Page page : kPages) {
        const auto answers = pages[static_cast<std::size_t>(page)].get();
        if (!answers) {
            std::printf("%s\"false\": not a plausible domain for this page, or the store failed\n",
                        Cell(PageName(page), 7).c_str());
            rc = 1;
            continue;
        }
        for (const ColumnAnswer& a : *answers) {
            const Measurement& m = a.used;
            std::string note = a.measuring ? "still measuring"
                               : a.stale   ? "stale: the newest attempt failed"
                               : a.missing ? "missing"
                                           : "";
            if (!m.detail.empty())
                note += (note.empty() ? "" : "; ") + m.detail;
            std::printf("%s%s%s%s%s%s%s\n", Cell(PageName(page), 7).c_str(),
                        Cell(ColumnName(page, a.column), 10).c_str(), Cell(a.sent, 34).c_str(),
                        Cell(StatusName(m.status), 15).c_str(), Cell(m.source, 12).c_str(),
                        Cell(m.time_ms ? Age(now - m.time_ms) : "-", 7).c_str(), note.c_str());
        }
    }
    return rc;
}

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Sent at once rather than through the outbox: the person trying a channel wants the verdict.
int TestAlert(Service& service, const Arguments& arguments) {
    for (const AlertChannel& channel : service.config.alert_channels) {
        if (channel.name != arguments[0])
            continue;
        Env& env = DefaultEnv();
        const AlertMessage sample{"test",
                                  "example.com",
                                  true,
                                  "Valdane 测试提醒",
                                  "这是一条测试提醒：渠道 " + channel.name + " 设置无误。",
                                  env.clock.NowMs()};
        const DeliveryResult result = Deliver(channel, sample, env);
        std::printf("%s: %s\n", channel.name.c_str(),
                    result.ok ? "sent" : ("not sent: " + result.error).c_str());
        return result.ok ? 0 : 1;
    }
    std::fprintf(stderr, "no channel '%s' under [alerts.channels]\n", arguments[0].c_str());
    return 2;
}

int Serve(Service& service, const Arguments&) {
    const sigset_t stop_signals = StopSignals();
    // Connections cost a descriptor each, not a thread: allow as many as the system lets us.
    if (rlimit files{}; getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    Server server(service.config, *service.engine, *service.store);
    server.SetAlerts(service.alerts.get());
    server.SetFleet(service.fleet.get());
    service.alerts->StartDelivery();
    std::string error;
    if (!server.Start(service.config.listen, &error)) {
        LogLine("cannot listen on " + service.config.listen + ": " + error);
        return 1;
    }
    LogLine("listening on " + service.config.listen + ", data in " +
            service.config.data_dir.string());
    int signal = 0;
    sigwait(&stop_signals, &signal);
    LogLine(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    server.Stop(); // lets the requests in progress finish
    LogLine("stopped");
    return 0;
}

bool Open(Service& service, const std::optional<fs::path>& file,
          const std::optional<std::string>& listen, const std::optional<fs::path>& data) {
    std::string error;
    fs::path config_file;
    if (file)
        config_file = *file;
    else if (std::error_code ec; fs::exists(DefaultConfigPath(), ec))
        config_file = DefaultConfigPath();
    if (!LoadConfig(config_file, &service.config, &error)) {
        LogLine("configuration: " + error);
        return false;
    }
    if (listen)
        service.config.listen = *listen;
    if (data)
        service.config.data_dir = fs::absolute(*data);
    if (!CheckConfig(service.config, &error)) {
        LogLine("configuration: " + error);
        return false;
    }
    LogLine("configuration: " +
            (config_file.empty() ? std::string("built-in defaults") : config_file.string()));
    Env& env = DefaultEnv();
    service.store = OpenConfiguredStore(service.config.store, service.config.data_dir, env, &error);
    if (!service.store) {
        LogLine("store: " + error);
        return false;
    }
    // Alerts and imported lists stay in the data folder with a PostgreSQL store too.
    std::error_code made;
    fs::create_directories(service.config.data_dir, made);
    service.alerts =
        Alerts::Open(service.config.data_dir, service.config, *service.store, env, &error);
    if (!service.alerts) {
        LogLine("store: " + error);
        return false;
    }
    ProviderContext context{env, *service.store, service.config};
    auto providers = MakeProviders(context, &error);
    if (providers.empty()) {
        LogLine("configuration: " + error);
        return false;
    }
    if (pg::IsConnectionUri(service.config.store)) {
        service.fleet =
            Fleet::Open(service.config.store,
                        {"", service.config.egress, service.config.listen, service.config.lease_ms},
                        env, &error);
        if (!service.fleet) {
            LogLine("store: " + error);
            return false;
        }
        service.fleet->SharePacing(providers);
        service.alerts->ShareOutbox(service.fleet.get());
        LogLine("shared store: instance " + service.fleet->options().instance + ", egress " +
                service.fleet->options().egress);
    }
    service.engine =
        std::make_unique<Engine>(service.config, *service.store, env, std::move(providers));
    service.engine->ShareWork(service.fleet.get());
    service.engine->OnRecorded(
        [alerts = service.alerts.get()](auto&&... args) { alerts->Observe(args...); });
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::optional<fs::path> file, data;
    std::optional<std::string> listen;
    const Command* command = &kCommands[0];
    Arguments arguments;
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("valdane-service %s\n", VALDANE_VERSION);
            return 0;
        }
        const auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size())
                return std::nullopt;
            return args[++i];
        };
        std::optional<std::string> v;
        if (a == "--config" || a == "--listen" || a == "--data") {
            if (!(v = value())) {
                std::fprintf(stderr, "valdane-service: %s needs a value\n", a.c_str());
                return 2;
            }
            if (a == "--config")
                file = *v;
            else if (a == "--data")
                data = *v;
            else
                listen = *v;
            continue;
        }
        const Command* picked = nullptr;
        for (const Command& c : kCommands)
            if (!c.flag.empty() && c.flag == a)
                picked = &c;
        if (!picked || command != &kCommands[0]) {
            std::fprintf(stderr, "valdane-service: %s '%s'; see --help\n",
                         picked ? "one command at a time, not" : "unknown option", a.c_str());
            return 2;
        }
        command = picked;
        for (std::size_t n = 0; n < picked->arity; ++n) {
            if (!(v = value())) {
                std::fprintf(stderr, "valdane-service: %s needs %s\n", a.c_str(),
                             std::string(picked->argument).c_str());
                return 2;
            }
            arguments.push_back(*v);
        }
    }
    if (command->run == Serve) {
        // One thread takes the stop signals: blocked here, before any thread starts, every
        // thread inherits the mask.
        const sigset_t stop_signals = StopSignals();
        pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    }
    Service service;
    if (command->run != Migrate && !Open(service, file, listen, data))
        return 1;
    return command->run(service, arguments);
}
