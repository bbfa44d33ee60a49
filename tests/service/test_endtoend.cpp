// The whole chain: the desktop program refreshes its sites through a real valdane-service,
// which reads Baidu-shaped result pages from a fake engine on loopback.
#include "fakes.h"
#include "fixture.h"
#include "pieces.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <regex>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace valdane::svc::test;
namespace fs = std::filesystem;

// Polls until done() holds or the limit passes.
bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// The value of key in [section] of an INI file, "" when absent.
std::string IniValue(const fs::path& file, const std::string& section, const std::string& key) {
    std::smatch m;
    const std::string text = ReadFile(file);
    const std::regex entry("\\[" + section + "\\][^[]*\\n" + key + "=([^\\r\\n]*)");
    return std::regex_search(text, m, entry) ? m[1].str() : "";
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// A child process (environment additions go first in args, as env(1) takes them); output
// goes to a log file. Killed if the test ends before it does.
class Child {
  public:
    Child(std::vector<std::string> args, const fs::path& log) : log_(log) {
        // The shell opens the log and gives its process over to env, and env to the program.
        args.insert(args.begin(), {"/bin/sh", "-c", R"(exec /usr/bin/env "$@" >"$0" 2>&1)", log});
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
    }
    ~Child() {
        if (Running()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t pid() const { return pid_; }
    bool Running() {
        if (pid_ > 0 && status_ < 0 && ::waitpid(pid_, &status_, WNOHANG) == 0)
            status_ = -1;
        return pid_ > 0 && status_ < 0;
    }
    // SIGTERM, then true when it ended by itself with exit status 0 within the limit.
    bool Terminate() {
        if (!Running())
            return false;
        ::kill(pid_, SIGTERM);
        return Eventually([&] { return !Running(); }, 10s) && WIFEXITED(status_) &&
               WEXITSTATUS(status_) == 0;
    }
    std::string Output() const { return ReadFile(log_); }

  private:
    fs::path log_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// The command names of pid's children, whichever of its threads started them.
std::vector<std::string> ChildrenOf(pid_t pid) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::istringstream children(ReadFile(task.path() / "children"));
        for (std::string child; children >> child;)
            names.push_back(ReadFile("/proc/" + child + "/comm"));
    }
    return names;
}

// What the fake engine shows for each query; any other query gets a page it cannot read.
std::string ResultPage(const std::string& query) {
    std::string inner;
    if (query == "site:alpha.com")
        inner = "<span class=\"nums_text\">百度为您找到相关结果约1,234个</span>";
    else if (query == "domain:alpha.com")
        inner = "<span class=\"nums_text\">百度为您找到相关结果约56个</span>";
    else if (query == "site:beta.org")
        inner = "<div class=\"nors\"><p>很抱歉，没有找到与<em>site:beta.org</em>相关的网页。</p>";
    else if (query == "domain:beta.org")
        return "<!DOCTYPE html><html><head><title>百度安全验证</title></head><body></body></html>";
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + query +
           "_百度搜索</title></head><body><div id=\"content_left\">" + inner +
           "</div></body></html>";
}

TEST(EndToEnd, ProgramRefreshesThroughTheServiceFromTheEngine) {
    const char* serviceBin = std::getenv("VALDANE_SERVICE_BIN");
    const char* programBin = std::getenv("VALDANE_PROGRAM_BIN");
    ASSERT_TRUE(serviceBin && programBin) << "run through ctest";
    // A Config.ini beside the program would be used instead of the one written here.
    ASSERT_FALSE(fs::exists(fs::path(programBin).parent_path() / "Config.ini"));
    FakeUpstream engine;
    engine.server().Get("/s", [](const httplib::Request& request, httplib::Response& response) {
        response.set_content(ResultPage(request.get_param_value("wd")), "text/html; charset=utf-8");
    });
    ASSERT_TRUE(engine.Start());
    TempDir home;
    const int port = FreePort();
    std::ofstream(home.path / "service.toml") << R"(
listen = "127.0.0.1:)" << port << R"("
[columns]
sites = ["baidu", "none", "none", "none", "none", "none", "demo"]
links = ["baidu", "none", "none", "none", "none", "none", "none"]
ranks = ["demo", "none"]
whois = ["none"]
alexa = ["none", "none", "none", "none", "none", "none", "none", "none", "none"]
[providers.baidu]
url = ")" << engine.base() << R"(/s?wd={query}"
interval_s = 0
jitter_s = 0
canary = ""
[providers.tranco]
refresh_hours = 0
[providers.demo]
type = "fixed"
values.sites = [0, 0, 0, 0, 0, 0, 77]
values.ranks = [3, 0]
)";
    Child service({serviceBin, "--config", (home.path / "service.toml").string(), "--data",
                   (home.path / "store").string()},
                  home.path / "service.log");
    httplib::Client client("127.0.0.1", port);
    ASSERT_TRUE(Eventually([&] { return !service.Running() || client.Get("/"); }, 10s));
    ASSERT_TRUE(service.Running()) << service.Output();
    // The program keeps its files in the XDG folders, its instance socket in a runtime folder
    // of its own, so that a desk's running copy neither sees nor disturbs this one.
    const fs::path config = home.path / "config" / "valdane" / "Config.ini";
    const fs::path report = home.path / "data" / "valdane" / "SeoLog.htm";
    fs::create_directories(config.parent_path());
    fs::create_directories(home.path / "run");
    fs::permissions(home.path / "run", fs::perms::owner_all);
    std::ofstream(config, std::ios::binary) << "[Setting]\r\nSeoUrl=alpha.com;beta.org\r\n"
                                               "AutoGain=1\r\nAutoUpdate=0\r\nAutoRecord=1\r\n";
    Child program({"QT_QPA_PLATFORM=offscreen",
                   "VALDANE_MAKER_URL=http://127.0.0.1:" + std::to_string(port),
                   "XDG_CONFIG_HOME=" + (home.path / "config").string(),
                   "XDG_DATA_HOME=" + (home.path / "data").string(),
                   "XDG_RUNTIME_DIR=" + (home.path / "run").string(),
                   "TMPDIR=" + home.path.string(), programBin},
                  home.path / "program.log");
    // beta.org's ranks are the last thing a refresh writes.
    ASSERT_TRUE(Eventually([&] { return !IniValue(config, "beta.org", "Url_pr").empty(); }))
        << program.Output() << service.Output();
    // A count read from the engine, a real zero from its "no results" page, -1 where the engine
    // asked for verification and where no source stands behind a column.
    std::string values;
    for (const char* site : {"alpha.com", "beta.org"})
        for (const char* key : {"Url_site", "Url_link", "Url_pr"})
            values += IniValue(config, site, key) + " ";
    EXPECT_EQ(values, "1234,-1,-1,-1,-1,-1,77 56,-1,-1,-1,-1,-1,-1 3,-1 "
                      "0,-1,-1,-1,-1,-1,77 -1,-1,-1,-1,-1,-1,-1 3,-1 ");
    EXPECT_EQ(engine.hits("/s"), 4); // each query once, nothing else (no canary)
    const std::string log = ReadFile(report);
    EXPECT_EQ(std::pair(Count(log, "<td>alpha.com</td>"), Count(log, "<td>beta.org</td>")),
              (std::pair<std::size_t, std::size_t>(2, 2)))
        << log;
    const auto overview = client.Get("/ostrem/seo/sites.htm");
    ASSERT_TRUE(overview && overview->status == 200);
    EXPECT_EQ(Lacks(overview->body, ">alpha.com</a>|>beta.org</a>|>1,234<span"), "");
    // Pointed at a service, the program starts none of its own, though one lies beside it.
    ASSERT_TRUE(fs::exists(fs::path(programBin).parent_path() / "valdane-service"));
    for (const std::string& name : ChildrenOf(program.pid()))
        EXPECT_NE(name, "valdane-service\n");
    EXPECT_TRUE(program.Terminate()) << program.Output();
    EXPECT_TRUE(service.Terminate()) << service.Output();
}

} // namespace
