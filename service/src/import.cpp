#include "import.h"

#include "providers/charset.h"
#include "rank_table.h"

#include <toml++/toml.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string_view>
#include <vector>

namespace valdane::svc {
namespace {

constexpr std::size_t kMaxLine = 4096;
constexpr std::uint64_t kDefaultCcLimit = 10'000'000;

// Undoes gzip (several members in a row, as some tools write), a one-member zip (how Tranco
// publishes its list) or nothing, chosen by the first bytes. Output goes to `sink` as it comes.
class Decoder {
  public:
    explicit Decoder(std::function<bool(std::string_view)> sink) : sink_(std::move(sink)) {}
    ~Decoder() {
        if (zinit_)
            inflateEnd(&z_);
    }

    // False once decoding has stopped: damaged data, or the sink wants no more.
    bool Feed(std::string_view bytes) {
        if (stopped_)
            return false;
        if (mode_ == Mode::Unknown) {
            head_.append(bytes);
            if (head_.size() < 4)
                return true;
            bytes = Start();
            if (stopped_)
                return false;
        }
        if (mode_ == Mode::ZipHeader) {
            head_.append(bytes);
            bytes = ZipHeader();
            if (mode_ == Mode::ZipHeader || stopped_)
                return !stopped_;
        }
        switch (mode_) {
        case Mode::Plain:
            return Emit(bytes);
        case Mode::Stored: {
            const std::string_view part = bytes.substr(0, stored_left_);
            stored_left_ -= part.size();
            if (stored_left_ == 0)
                ended_ = true;
            return Emit(part);
        }
        default:
            return Inflate(bytes);
        }
    }

    // Whether the data ended where its format says it ends (plain data always does).
    bool Complete() const { return mode_ == Mode::Plain || ended_; }
    std::string error() const { return error_; }

  private:
    enum class Mode { Unknown, Plain, Gzip, ZipHeader, Deflate, Stored, Done };

    std::string_view Start() {
        const auto* b = reinterpret_cast<const unsigned char*>(head_.data());
        if (b[0] == 0x1f && b[1] == 0x8b) {
            mode_ = Mode::Gzip;
            InitZ(15 + 16);
        } else if (std::memcmp(b, "PK\x03\x04", 4) == 0) {
            mode_ = Mode::ZipHeader;
            return {};
        } else {
            mode_ = Mode::Plain;
        }
        held_ = std::move(head_);
        return held_;
    }

    // The local header of the first zip member: 30 bytes, then its name and extra field.
    std::string_view ZipHeader() {
        if (head_.size() < 30)
            return {};
        const auto u16 = [&](std::size_t at) {
            return static_cast<unsigned>(static_cast<unsigned char>(head_[at])) |
                   static_cast<unsigned>(static_cast<unsigned char>(head_[at + 1])) << 8;
        };
        const std::size_t data = 30 + u16(26) + u16(28);
        if (head_.size() < data)
            return {};
        const unsigned flags = u16(6), method = u16(8);
        if (method == 8) {
            mode_ = Mode::Deflate;
            InitZ(-15);
        } else if (method == 0 && !(flags & 8)) {
            mode_ = Mode::Stored;
            stored_left_ = u16(18) | static_cast<std::uint64_t>(u16(20)) << 16;
        } else {
            Stop("zip: unsupported compression method " + std::to_string(method));
            return {};
        }
        held_ = head_.substr(data);
        head_.clear();
        return held_;
    }

    void InitZ(int window_bits) {
        z_ = {};
        zinit_ = inflateInit2(&z_, window_bits) == Z_OK;
        if (!zinit_)
            Stop("zlib: cannot start");
    }

    bool Inflate(std::string_view bytes) {
        if (mode_ == Mode::Done)
            return true; // the rest of a zip: its directory
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
        z_.avail_in = static_cast<uInt>(bytes.size());
        char out[1 << 16];
        while (z_.avail_in > 0 && !stopped_) {
            if (ended_) {
                if (mode_ != Mode::Gzip) {
                    mode_ = Mode::Done;
                    return true;
                }
                inflateReset(&z_); // the next gzip member
                ended_ = false;
            }
            z_.next_out = reinterpret_cast<Bytef*>(out);
            z_.avail_out = sizeof out;
            const int rc = inflate(&z_, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
                Stop(std::string("damaged compressed data: ") + (z_.msg ? z_.msg : "zlib error"));
                break;
            }
            if (!Emit(std::string_view(out, sizeof out - z_.avail_out)))
                return false;
            if (rc == Z_STREAM_END)
                ended_ = true;
            else if (rc == Z_BUF_ERROR)
                break;
        }
        return !stopped_;
    }

    bool Emit(std::string_view bytes) {
        if (!bytes.empty() && !sink_(bytes))
            stopped_ = true;
        return !stopped_;
    }

    void Stop(std::string why) {
        error_ = std::move(why);
        stopped_ = true;
    }

    std::function<bool(std::string_view)> sink_;
    Mode mode_ = Mode::Unknown;
    std::string head_, held_;
    z_stream z_{};
    bool zinit_ = false;
    bool ended_ = false;
    bool stopped_ = false;
    std::uint64_t stored_left_ = 0;
    std::string error_;
};

bool PlausibleDomain(std::string_view d) {
    if (d.empty() || d.size() > 253 || d.front() == '.' || d.back() == '.')
        return false;
    for (char c : d)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_'))
            return false;
    return true;
}

std::optional<std::uint32_t> ParsePosition(std::string_view text) {
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    std::uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n == 0 || n > 0xffffffffULL)
        return std::nullopt;
    return static_cast<std::uint32_t>(n);
}

// Graph vertex ids count from 0.
std::optional<std::uint32_t> ParseId(std::string_view text) {
    if (text == "0")
        return 0;
    return ParsePosition(text);
}

std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string_view::npos)
            return fields;
        start = tab + 1;
    }
}

// "com.example.www" -> "www.example.com", lowered.
std::string Unreversed(std::string_view rev) {
    std::string domain;
    while (!rev.empty()) {
        const std::size_t dot = rev.rfind('.');
        if (!domain.empty())
            domain += '.';
        domain += dot == std::string_view::npos ? rev : rev.substr(dot + 1);
        rev = dot == std::string_view::npos ? std::string_view() : rev.substr(0, dot);
    }
    return Lowered(domain);
}

// A comment or blank line is no list entry, but neither is it a malformed one.
bool Countable(std::string_view line) {
    return !line.empty() && line.front() != '#';
}

// Turns lines of one list format into table entries.
class LineParser {
  public:
    LineParser(RankKind kind, RankTableBuilder& builder) : kind_(kind), builder_(builder) {}

    void Line(std::string_view line) {
        if (kind_ == RankKind::Tranco ? Tranco(line) : CcRanks(line))
            return;
        if (Countable(line))
            ++skipped_;
    }

    std::uint64_t skipped() const { return skipped_; }

  private:
    bool Tranco(std::string_view line) {
        const std::size_t comma = line.find(',');
        if (comma == std::string_view::npos)
            return false;
        const auto rank = ParsePosition(line.substr(0, comma));
        const std::string domain = Lowered(line.substr(comma + 1));
        if (!rank || !PlausibleDomain(domain))
            return false;
        RankValues v;
        v.v[0] = *rank;
        builder_.Add(domain, v);
        return true;
    }

    // "#harmonicc_pos #harmonicc_val #pr_pos #pr_val #host_rev #n_hosts", tab separated; the
    // header names the columns, so a release that reorders or adds some still reads right.
    bool CcRanks(std::string_view line) {
        const std::vector<std::string_view> fields = Fields(line);
        if (!line.empty() && line.front() == '#') {
            for (std::size_t i = 0; i < fields.size(); ++i) {
                const std::size_t from = fields[i].find_first_not_of("# ");
                const std::string_view f =
                    from == std::string_view::npos ? std::string_view() : fields[i].substr(from);
                if (f == "harmonicc_pos")
                    hc_ = i;
                else if (f == "pr_pos")
                    pr_ = i;
                else if (f == "host_rev")
                    host_ = i;
                else if (f == "n_hosts")
                    hosts_ = i;
            }
            return false;
        }
        if (fields.size() <= std::max({hc_, pr_, host_}))
            return false;
        const auto hc = ParsePosition(fields[hc_]);
        const auto pr = ParsePosition(fields[pr_]);
        const std::string domain = Unreversed(fields[host_]);
        if (!hc || !pr || !PlausibleDomain(domain))
            return false;
        RankValues v;
        v.v[0] = *hc;
        v.v[1] = *pr;
        if (hosts_ < fields.size())
            v.v[2] = ParsePosition(fields[hosts_]).value_or(0);
        builder_.Add(domain, v);
        return true;
    }

    RankKind kind_;
    RankTableBuilder& builder_;
    std::uint64_t skipped_ = 0;
    std::size_t hc_ = 0, pr_ = 2, host_ = 4, hosts_ = 5;
};

bool IsUrl(const std::string& source) {
    return source.rfind("http://", 0) == 0 || source.rfind("https://", 0) == 0;
}

struct StreamResult {
    std::uint64_t lines = 0, overlong = 0, bytes = 0;
    std::string error;     // unreadable source, failed or broken-off download, damaged data
    bool complete = false; // read to where the data says it ends
    bool stopped = false;  // `line` asked for no more
    bool cancelled = false;
};

// Streams `source` (a file or an http(s) address; plain, gzip or zip) to `line`, one line at a
// time without its end; `line` returns false to stop. A last line without a newline counts only
// when the data really ended there.
StreamResult StreamLines(Env& env, const std::string& source, const ImportOptions& options,
                         const std::function<bool(std::string_view)>& line) {
    StreamResult result;
    std::string partial;
    bool overlong = false;
    std::uint64_t next_progress = 0;
    const auto cancelled = [&] { return options.cancel && options.cancel->load(); };
    const auto one = [&](std::string_view text) {
        if (!text.empty() && text.back() == '\r')
            text.remove_suffix(1);
        ++result.lines;
        return line(text);
    };
    Decoder decoder([&](std::string_view text) {
        if (cancelled())
            return false;
        while (!text.empty()) {
            const std::size_t nl = text.find('\n');
            const std::string_view piece = text.substr(0, nl);
            if (!overlong && partial.size() + piece.size() <= kMaxLine)
                partial.append(piece);
            else
                overlong = true;
            if (nl == std::string_view::npos)
                break;
            if (overlong)
                ++result.overlong;
            else if (!one(partial))
                result.stopped = true;
            partial.clear();
            overlong = false;
            text.remove_prefix(nl + 1);
            if (result.stopped)
                return false;
        }
        if (options.progress && result.lines >= next_progress) {
            options.progress(result.lines, result.bytes);
            next_progress = result.lines + 100000;
        }
        return true;
    });
    const auto feed = [&](std::string_view bytes) {
        result.bytes += bytes.size();
        return decoder.Feed(bytes);
    };

    std::string fetch_error;
    if (IsUrl(source)) {
        HttpRequest request;
        request.url = source;
        request.timeout_ms = options.timeout_ms;
        request.max_bytes = std::size_t{1} << 40;
        request.on_body = feed;
        const HttpResponse r = env.http.Get(request);
        if (r.status != 200 && !result.stopped)
            fetch_error =
                r.status ? source + ": HTTP " + std::to_string(r.status) : source + ": " + r.error;
        else if (!r.error.empty() && !result.stopped)
            fetch_error = source + ": " + r.error; // cut short mid-way
    } else if (std::ifstream in(source, std::ios::binary); !in) {
        fetch_error = source + ": " + std::strerror(errno);
    } else {
        std::vector<char> buffer(1 << 20);
        while (in) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            if (in.gcount() > 0 &&
                !feed(std::string_view(buffer.data(), static_cast<std::size_t>(in.gcount()))))
                break;
        }
    }
    result.cancelled = cancelled();
    result.error = !decoder.error().empty() ? source + ": " + decoder.error() : fetch_error;
    result.complete = decoder.Complete() && result.error.empty() && !result.stopped;
    if (result.complete && !partial.empty() && !overlong)
        one(partial);
    return result;
}

// Fills `result` from what was read and writes the table; `why_incomplete` explains a table
// that is not whole when the stream itself ended well (a cut).
void Finish(Env& env, const std::string& source, const RankTableBuilder& builder,
            const StreamResult& stream, bool complete, const std::string& why_incomplete,
            const std::filesystem::path& out, ImportResult& result) {
    result.complete = complete;
    if (builder.size() == 0) {
        result.error = !stream.error.empty() ? stream.error : source + ": no list entries";
        return;
    }
    RankTableInfo info;
    info.complete = complete;
    info.created_ms = env.clock.NowMs();
    info.source = source;
    // A domain listed twice is stored once, and counted once.
    const std::optional<std::uint64_t> stored = builder.Write(out, info, &result.error);
    if (!stored)
        return;
    result.entries = *stored;
    // Kept what came before the damage or the cut; say why the list is not whole.
    if (!stream.error.empty())
        result.error = stream.error;
    else if (!complete)
        result.error = why_incomplete.empty() ? "the data ends early (truncated)" : why_incomplete;
    result.ok = true;
}

// Keeps the domains of at least the returned in-degree: the smallest one that leaves no more
// than `max_entries` of them (the degrees are skewed, so a few bisection steps over the counts
// cost less than a sorted copy of them).
std::uint32_t LeastCount(const std::vector<std::uint32_t>& counts, std::uint64_t max_entries) {
    const auto at_least = [&](std::uint32_t t) {
        return static_cast<std::uint64_t>(
            std::count_if(counts.begin(), counts.end(), [t](std::uint32_t c) { return c >= t; }));
    };
    if (max_entries == 0 || at_least(1) <= max_entries)
        return 1;
    std::uint32_t lo = 1, hi = *std::max_element(counts.begin(), counts.end()) + 1;
    while (hi - lo > 1) { // at_least(lo) > max_entries >= at_least(hi)
        const std::uint32_t mid = lo + (hi - lo) / 2;
        (at_least(mid) > max_entries ? lo : hi) = mid;
    }
    return hi;
}

std::uint64_t CcLimit(const Config& config) {
    std::uint64_t limit = kDefaultCcLimit;
    for (const auto& [name, section] : config.providers)
        if (section && section->get_as<std::string>("type") &&
            section->get_as<std::string>("type")->get() == "cc-graph")
            if (auto max = section->get_as<std::int64_t>("max_domains"); max && **max >= 0)
                limit = static_cast<std::uint64_t>(**max);
    return limit;
}

} // namespace

std::filesystem::path RankFile(const Config& config, RankKind kind) {
    switch (kind) {
    case RankKind::Tranco:
        return config.data_dir / "tranco.bin";
    case RankKind::CcRanks:
        return config.data_dir / "cc-ranks.bin";
    case RankKind::CcLinks:
        break;
    }
    return config.data_dir / "cc-links.bin";
}

ImportResult ImportRanks(RankKind kind, Env& env, const std::string& source,
                         const std::filesystem::path& out, const ImportOptions& options) {
    ImportResult result;
    RankTableBuilder builder;
    LineParser parser(kind, builder);
    bool cut = false;
    const StreamResult stream = StreamLines(env, source, options, [&](std::string_view line) {
        parser.Line(line);
        cut = options.max_entries && builder.size() >= options.max_entries;
        return !cut;
    });
    result.lines = stream.lines;
    result.bytes = stream.bytes;
    result.skipped = stream.overlong + parser.skipped();
    if (stream.cancelled) {
        result.error = "cancelled";
        return result;
    }
    Finish(env, source, builder, stream, stream.complete,
           cut ? "cut at " + std::to_string(options.max_entries) + " domains" : "", out, result);
    return result;
}

ImportResult ImportCcLinks(Env& env, const std::string& vertices, const std::string& edges,
                           const std::filesystem::path& out, const ImportOptions& options) {
    // 4 bytes a vertex; an id beyond any real release is a damaged line, not a reason to
    // allocate gigabytes.
    constexpr std::uint32_t kMaxVertices = 1u << 29;
    ImportResult result;
    std::vector<std::uint32_t> counts;
    const StreamResult from = StreamLines(env, edges, options, [&](std::string_view line) {
        const auto fields = Fields(line);
        const auto source = fields.size() == 2 ? ParseId(fields[0]) : std::nullopt;
        const auto target = fields.size() == 2 ? ParseId(fields[1]) : std::nullopt;
        if (!source || !target || *target >= kMaxVertices || *source == *target) {
            result.skipped += Countable(line) ? 1 : 0;
            return true;
        }
        if (*target >= counts.size())
            counts.resize(std::size_t{*target} + 1);
        ++counts[*target];
        return true;
    });
    result.lines = from.lines;
    result.bytes = from.bytes;
    result.skipped += from.overlong;
    if (from.cancelled || (!from.error.empty() && from.lines == 0)) {
        result.error = from.cancelled ? "cancelled" : from.error;
        return result;
    }

    const std::uint32_t least = LeastCount(counts, options.max_entries);
    RankTableBuilder builder;
    const StreamResult names = StreamLines(env, vertices, options, [&](std::string_view line) {
        const auto fields = Fields(line);
        const auto id = fields.size() >= 2 ? ParseId(fields[0]) : std::nullopt;
        const std::string domain = id ? Unreversed(fields[1]) : std::string();
        if (!id || !PlausibleDomain(domain)) {
            result.skipped += Countable(line) ? 1 : 0;
            return true;
        }
        if (*id < counts.size() && counts[*id] >= least) {
            RankValues v;
            v.v[0] = counts[*id];
            builder.Add(domain, v);
        }
        return true;
    });
    result.lines += names.lines;
    result.bytes += names.bytes;
    result.skipped += names.overlong;
    if (names.cancelled) {
        result.error = "cancelled";
        return result;
    }
    // A broken edges file undercounts every domain; report it before the vertices' state.
    StreamResult both = names;
    if (!from.error.empty())
        both.error = from.error;
    else if (!from.complete && names.error.empty())
        both.error = edges + ": the data ends early (truncated)";
    Finish(env, vertices, builder, both, from.complete && names.complete && least == 1,
           "kept " + std::to_string(builder.size()) + " domains of at least " +
               std::to_string(least) + " referring domains",
           out, result);
    return result;
}

int RunImport(const Config& config, const std::string& kind,
              const std::vector<std::string>& sources) {
    ImportOptions options;
    std::optional<RankKind> rank_kind;
    if (kind == "tranco") {
        rank_kind = RankKind::Tranco;
    } else if (kind == "cc-ranks" || kind == "cc-links") {
        rank_kind = kind == "cc-ranks" ? RankKind::CcRanks : RankKind::CcLinks;
        options.max_entries = CcLimit(config);
    } else {
        std::fprintf(stderr, "--import: unknown list \"%s\" (tranco, cc-ranks or cc-links)\n",
                     kind.c_str());
        return 2;
    }
    const std::size_t wanted = *rank_kind == RankKind::CcLinks ? 2 : 1;
    if (sources.size() != wanted ||
        std::any_of(sources.begin(), sources.end(), [](auto& s) { return s.empty(); }) ||
        config.data_dir.empty()) {
        std::fprintf(stderr, "--import %s: needs %s, and a data folder\n", kind.c_str(),
                     wanted == 2 ? "a vertices and an edges file or address "
                                   "(--import-cc-links VERTICES EDGES)"
                                 : "a file or an address");
        return 2;
    }
    const bool terminal = isatty(STDERR_FILENO) == 1;
    if (terminal)
        options.progress = [](std::uint64_t lines, std::uint64_t bytes) {
            std::fprintf(stderr, "\r%llu 行, %.1f MB …", static_cast<unsigned long long>(lines),
                         static_cast<double>(bytes) / (1 << 20));
        };
    Env& env = DefaultEnv();
    const std::int64_t start = env.clock.NowMs();
    const std::filesystem::path out = RankFile(config, *rank_kind);
    const ImportResult r = wanted == 2 ? ImportCcLinks(env, sources[0], sources[1], out, options)
                                       : ImportRanks(*rank_kind, env, sources[0], out, options);
    if (terminal)
        std::fputs("\r\033[K", stderr);
    if (!r.ok) {
        std::fprintf(stderr, "导入失败: %s\n", r.error.c_str());
        return 1;
    }
    std::fprintf(
        stderr, "导入完成: %llu 个域名 (读取 %llu 行, 跳过 %llu 行, %.1f MB, %.1f 秒) -> %s\n",
        static_cast<unsigned long long>(r.entries), static_cast<unsigned long long>(r.lines),
        static_cast<unsigned long long>(r.skipped), static_cast<double>(r.bytes) / (1 << 20),
        static_cast<double>(env.clock.NowMs() - start) / 1000, out.c_str());
    if (!r.complete)
        std::fprintf(stderr, "注意: 源数据不完整 (%s)，未列出的域名将显示为 -1 而非 0\n",
                     r.error.c_str());
    return 0;
}

} // namespace valdane::svc
