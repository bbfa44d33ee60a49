// What the home and cell-state pages say of the configured sources and of this service's own
// command line, read from the configuration and the data folder.
#include "import.h"
#include "pages.h"

#include <toml++/toml.h>

namespace valdane::svc {
namespace {

// A path pasted into a shell stays one word.
std::string ShellWord(const std::string& word) {
    if (!word.empty() &&
        word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                               "0123456789-_./:=@+,") == std::string::npos)
        return word;
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

} // namespace

Sources SourcesOf(const Config& config) {
    Sources out;
    std::error_code ec;
    auto missing = [&](RankKind kind) {
        return !std::filesystem::exists(RankFile(config, kind), ec);
    };
    for (const auto& [name, section] : config.providers) {
        SourceInfo& s = out[name];
        s.type = (*section)["type"].value_or(std::string());
        const bool keyless = (*section)["key"].value_or(std::string()).empty();
        static const std::map<std::string, std::string> labels = {
            {"google-cse", "Google"},     {"openpagerank", "Open PageRank"},
            {"cc-graph", "Common Crawl"}, {"tranco", "Tranco"},
            {"trend", "排名趋势"},        {"rdap", "RDAP/WHOIS"},
            {"homepage", "网站首页"},     {"none", "无数据源"}};
        const auto label = labels.find(s.type);
        s.label = s.type == "serp"        ? (*section)["engine"].value_or(name)
                  : label != labels.end() ? label->second
                                          : name;
        if (s.type == "google-cse" && (keyless || (*section)["cx"].value_or(std::string()).empty()))
            s.needs = {"key"};
        else if (s.type == "openpagerank" && keyless &&
                 ((*section)["fallback"].value_or(std::string()) != "cc-graph" ||
                  missing(RankKind::CcRanks)))
            s.needs = {"key", "cc-ranks"};
        if (s.type == "cc-graph" && missing(RankKind::CcRanks))
            s.needs.push_back("cc-ranks");
        if (s.type == "cc-graph" && missing(RankKind::CcLinks))
            s.needs.push_back("cc-links");
        if ((s.type == "tranco" || s.type == "trend") && missing(RankKind::Tranco))
            s.needs = {"tranco"};
    }
    return out;
}

std::string CommandLine(const Config& config) {
    std::string command = "valdane-service";
    if (!config.source_file.empty() && config.source_file != DefaultConfigPath())
        command += " --config " + ShellWord(std::filesystem::absolute(config.source_file).string());
    if (config.data_dir != DefaultDataDir())
        command += " --data " + ShellWord(config.data_dir.string());
    return command;
}

} // namespace valdane::svc
