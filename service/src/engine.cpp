#include "engine.h"

#include "log.h"
#include "protocol.h"

#include <atomic>
#include <deque>
#include <set>
#include <thread>
#include <tuple>

namespace valdane::svc {
namespace {

// Measurements run on this many threads whatever the number of requests; providers mostly
// wait on the network.
constexpr int kWorkers = 8;
// Past this many waiting measurements new ones fail at once rather than pile up.
constexpr std::size_t kMaxQueued = 1000;

constexpr std::string_view kUndisclosed = "未公开";
constexpr std::string_view kLateDetail = "查询未在期限内完成，结果稍后可用";

// A status that stays true until the configuration changes: worth keeping for fresh_ms like a
// value, so that a column no source serves does not ask (and record) on every request.
bool IsSettled(Status status) {
    return IsFresh(status) || status == Status::Unsupported;
}

bool IsFailure(Status status) {
    return !IsFresh(status) && status != Status::Unsupported;
}

// A field of the ranking answer: its separator and line breaks would split the answer.
std::string SanitizeField(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '|')
            out += "｜";
        else if (c == '\r' || c == '\n' || c == '\t')
            out += ' ';
        else
            out += c;
    }
    return out;
}

void Stamp(Measurement& m, const std::string& provider, std::int64_t now) {
    m.source = provider;
    if (m.time_ms == 0)
        m.time_ms = now;
}

Measurement Failed(Status status, std::string detail) {
    Measurement m;
    m.status = status;
    m.detail = std::move(detail);
    return m;
}

} // namespace

struct Engine::Impl {
    struct Job {
        MeasureRequest request;
        std::string provider;
        bool done = false;
        bool recorded = true;
        std::vector<Measurement> results; // one per request.columns, once done
    };
    struct Stats {
        std::int64_t last_ok_ms = 0;
        std::int64_t last_fail_ms = 0;
        std::string last_fail_why;
    };
    using Key = std::tuple<std::string, Page, std::string>;

    Impl(const Config& c, Store& s, Env& e, std::map<std::string, std::unique_ptr<Provider>> p)
        : config(c), store(s), env(e), providers(std::move(p)) {
        for (int i = 0; i < kWorkers; ++i)
            workers.emplace_back([this] { Work(); });
    }

    ~Impl() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            stopping = true;
            // Measurements not yet begun are dropped; those running finish and are stored.
            for (const auto& job : queue)
                Finish(*job);
            queue.clear();
        }
        cv.notify_all();
        work_cv.notify_all();
        for (std::thread& t : workers)
            t.join();
    }

    const std::string& ProviderFor(Page page, int column) const {
        static const std::string none = "none";
        const auto it = config.columns.find(page);
        return it == config.columns.end() || column >= static_cast<int>(it->second.size())
                   ? none
                   : it->second[static_cast<std::size_t>(column)];
    }

    void Work() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            work_cv.wait(lock, [this] { return stopping || !queue.empty(); });
            if (queue.empty())
                return;
            std::shared_ptr<Job> job = queue.front();
            queue.pop_front();
            lock.unlock();
            std::vector<Measurement> results = Run(*job);
            bool recorded = true;
            for (std::size_t i = 0; i < results.size(); ++i)
                recorded &= store.Record(job->request.site, job->request.page,
                                         job->request.columns[i], results[i]);
            lock.lock();
            job->results = std::move(results);
            job->recorded = recorded;
            Finish(*job);
            cv.notify_all();
        }
    }

    // Under the lock: the job's waiters may read it, and a new request starts a new one.
    void Finish(Job& job) {
        job.done = true;
        ++finished;
        running.erase(Key{job.request.site, job.request.page, job.provider});
        Stats& s = stats[job.provider];
        for (const Measurement& m : job.results) {
            if (IsFresh(m.status)) {
                s.last_ok_ms = std::max(s.last_ok_ms, m.time_ms);
            } else if (IsFailure(m.status)) {
                s.last_fail_ms = std::max(s.last_fail_ms, m.time_ms);
                s.last_fail_why =
                    std::string(StatusName(m.status)) + (m.detail.empty() ? "" : ": " + m.detail);
            }
        }
    }

    // The provider's answer, made whole: one measurement per column, stamped, with a number
    // wherever a numeric column claims a value.
    std::vector<Measurement> Run(const Job& job) {
        const MeasureRequest& request = job.request;
        std::vector<Measurement> out;
        const auto it = providers.find(job.provider);
        if (it == providers.end()) {
            out.assign(request.columns.size(),
                       Failed(Status::Unsupported, "数据来源 " + job.provider + " 未建立"));
        } else {
            try {
                out = it->second->Measure(request);
            } catch (const std::exception& e) {
                out.clear();
                LogLine("engine: provider " + job.provider + " threw: " + e.what());
                out.assign(request.columns.size(),
                           Failed(Status::NetworkError, std::string("数据来源出错：") + e.what()));
            } catch (...) {
                out.assign(request.columns.size(), Failed(Status::NetworkError, "数据来源出错"));
            }
            if (out.size() != request.columns.size())
                out.assign(request.columns.size(),
                           Failed(Status::ParseFailed, "数据来源给出的栏数不对"));
        }
        const std::int64_t now = env.clock.NowMs();
        std::string failures;
        for (std::size_t i = 0; i < out.size(); ++i) {
            Measurement& m = out[i];
            const int column = request.columns[i];
            // A real zero, unless the source says it has no entry at all (a rank list
            // without the site): that stays -1, never a zero.
            if (IsNumericColumn(request.page, column) && m.status == Status::NotFound)
                m.number = m.number && *m.number < 0 ? -1 : 0;
            else if (IsNumericColumn(request.page, column) && m.status == Status::Ok && !m.number)
                m = Failed(Status::ParseFailed, "数据来源没有给出数值");
            else if (request.page == Page::Whois && m.status == Status::Ok && m.text.empty())
                m = Failed(Status::ParseFailed, "数据来源没有给出注册信息");
            Stamp(m, job.provider, now);
            if (IsFailure(m.status))
                failures += " " + std::to_string(column) + "=" + std::string(StatusName(m.status)) +
                            (m.detail.empty() ? "" : "(" + m.detail + ")");
        }
        if (!failures.empty())
            LogLine("engine: " + job.provider + " " + request.site + " " +
                    std::string(PageName(request.page)) + ":" + failures);
        return out;
    }

    // Under the lock: the running measurement of this provider for this site and page, or a
    // new one of every column the provider serves on the page.
    std::shared_ptr<Job> Join(const std::string& site, Page page, const std::string& provider) {
        const Key key{site, page, provider};
        if (auto it = running.find(key); it != running.end())
            return it->second;
        auto job = std::make_shared<Job>();
        job->request.site = site;
        job->request.page = page;
        job->provider = provider;
        for (int c = 0; c < ColumnCount(page); ++c)
            if (ProviderFor(page, c) == provider)
                job->request.columns.push_back(c);
        if (queue.size() >= kMaxQueued || stopping) {
            job->results.assign(job->request.columns.size(),
                                Failed(Status::RateLimited, "服务繁忙，等待中的查询过多"));
            for (Measurement& m : job->results)
                Stamp(m, provider, env.clock.NowMs());
            job->done = true;
            return job;
        }
        running.emplace(key, job);
        queue.push_back(job);
        work_cv.notify_one();
        return job;
    }

    ColumnAnswer Build(Page page, int column, const std::string& site, const Latest* stored,
                       const std::optional<Measurement>& newest) const {
        ColumnAnswer a;
        a.column = column;
        a.provider = ProviderFor(page, column);
        const bool gave_up = newest && (newest->status == Status::NotConfigured ||
                                        newest->status == Status::Unsupported);
        if (newest && IsFresh(newest->status)) {
            a.used = *newest;
        } else if (!gave_up && stored && stored->good) {
            a.used = *stored->good;
            a.stale = true;
        } else {
            a.missing = true;
            a.used = newest ? *newest : Failed(Status::NetworkError, std::string(kLateDetail));
            if (a.used.source.empty())
                a.used.source = a.provider;
        }
        const Measurement& m = a.used;
        if (page == Page::Whois) {
            if (!a.missing)
                a.sent = !m.text.empty() ? m.text
                                         : "没有查到 " + site + " 的注册信息（该域名可能尚未注册）";
            else
                a.sent = m.detail.empty() ? "0" : "未能取得 " + site + " 的注册信息：" + m.detail;
        } else if (IsNumericColumn(page, column)) {
            a.sent = a.missing ? "-1" : std::to_string(m.number.value_or(0));
        } else {
            a.sent = a.missing ? std::string(kUndisclosed) : m.text;
        }
        if (page == Page::Alexa)
            a.sent = SanitizeField(a.sent);
        return a;
    }

    // store_only: nullopt rather than ask a source.
    std::optional<std::vector<ColumnAnswer>> Explain(Page page, std::string_view sUrl,
                                                     bool store_only = false) {
        const std::optional<std::string> site = NormalizeSite(page, sUrl);
        if (!site)
            return std::nullopt;
        const std::int64_t start = env.clock.NowMs();
        const int count = ColumnCount(page);
        std::optional<std::vector<Latest>> stored;
        std::vector<const Latest*> by_column;
        std::vector<std::optional<Measurement>> newest;
        for (int attempt = 0;; ++attempt) {
            const std::uint64_t seen = finished;
            stored = store.LatestRow(*site, page);
            if (!stored)
                return std::nullopt;
            by_column.assign(static_cast<std::size_t>(count), nullptr);
            for (const Latest& l : *stored)
                if (l.column >= 0 && l.column < count)
                    by_column[static_cast<std::size_t>(l.column)] = &l;
            newest.assign(static_cast<std::size_t>(count), std::nullopt);
            std::set<std::string> wanted;
            for (int c = 0; c < count; ++c) {
                const Latest* l = by_column[static_cast<std::size_t>(c)];
                if (l && IsSettled(l->last.status) && l->last.source == ProviderFor(page, c) &&
                    start - l->last.time_ms < config.fresh_ms)
                    newest[static_cast<std::size_t>(c)] = l->last;
                else
                    wanted.insert(ProviderFor(page, c));
            }
            if (wanted.empty())
                break;
            if (store_only)
                return std::nullopt;
            std::unique_lock<std::mutex> lock(mutex);
            // A measurement that finished after the store was read may be the one wanted here:
            // read again rather than measure twice (a few times at most, under heavy traffic).
            if (finished != seen && attempt < 3)
                continue;
            std::vector<std::shared_ptr<Job>> jobs;
            for (const std::string& provider : wanted)
                jobs.push_back(Join(*site, page, provider));
            env.clock.WaitUntil(lock, cv, start + config.deadline_ms, [&] {
                return std::all_of(jobs.begin(), jobs.end(), [](auto& j) { return j->done; });
            });
            for (const auto& job : jobs) {
                if (!job->done)
                    continue;
                if (!job->recorded)
                    return std::nullopt;
                for (std::size_t i = 0; i < job->results.size(); ++i)
                    newest[static_cast<std::size_t>(job->request.columns[i])] = job->results[i];
            }
            break;
        }
        std::vector<ColumnAnswer> answers;
        for (int c = 0; c < count; ++c)
            answers.push_back(Build(page, c, *site, by_column[static_cast<std::size_t>(c)],
                                    newest[static_cast<std::size_t>(c)]));
        return answers;
    }

    const Config config;
    Store& store;
    Env& env;
    const std::map<std::string, std::unique_ptr<Provider>> providers;

    mutable std::mutex mutex;
    std::condition_variable cv;      // a job finished
    std::condition_variable work_cv; // a job is queued, or the engine stops
    std::deque<std::shared_ptr<Job>> queue;
    std::map<Key, std::shared_ptr<Job>> running;
    std::map<std::string, Stats> stats;
    bool stopping = false;
    std::atomic<std::uint64_t> finished{0}; // jobs finished so far
    std::vector<std::thread> workers;
};

Engine::Engine(const Config& config, Store& store, Env& env,
               std::map<std::string, std::unique_ptr<Provider>> providers)
    : impl_(std::make_unique<Impl>(config, store, env, std::move(providers))) {}

Engine::~Engine() = default;

std::optional<std::vector<ColumnAnswer>> Engine::Explain(Page page, std::string_view sUrl) {
    return impl_->Explain(page, sUrl);
}

namespace {

std::optional<std::string> Payload(Page page,
                                   const std::optional<std::vector<ColumnAnswer>>& answers) {
    if (!answers)
        return std::nullopt;
    const std::string_view separator = page == Page::Alexa ? "|||" : ",";
    std::string payload;
    for (std::size_t i = 0; i < answers->size(); ++i) {
        if (i > 0)
            payload += separator;
        payload += (*answers)[i].sent;
    }
    return payload;
}

} // namespace

std::optional<std::string> Engine::Answer(Page page, std::string_view sUrl) {
    return Payload(page, impl_->Explain(page, sUrl));
}

std::optional<std::string> Engine::AnswerFromStore(Page page, std::string_view sUrl) {
    return Payload(page, impl_->Explain(page, sUrl, true));
}

std::vector<ProviderHealth> Engine::Health() const {
    std::vector<ProviderHealth> out;
    std::lock_guard<std::mutex> guard(impl_->mutex);
    for (const auto& [name, provider] : impl_->providers) {
        ProviderHealth h;
        h.name = name;
        h.description = provider->Describe();
        if (auto it = impl_->stats.find(name); it != impl_->stats.end()) {
            h.last_ok_ms = it->second.last_ok_ms;
            h.last_fail_ms = it->second.last_fail_ms;
            h.last_fail_why = it->second.last_fail_why;
        }
        h.state = provider->State();
        out.push_back(std::move(h));
    }
    return out;
}

const Config& Engine::config() const {
    return impl_->config;
}

} // namespace valdane::svc
