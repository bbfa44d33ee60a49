#include "engine.h"

#include "fleet.h"
#include "log.h"
#include "protocol.h"
#include "providers/pacer.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <limits>
#include <thread>
#include <tuple>
#include <unordered_map>

namespace valdane::svc {
namespace {

// Measurements run on this many threads whatever the number of requests; providers mostly
// wait on the network.
constexpr int kWorkers = 8;
// Paced measurements hold at most this many workers at once (one per paced provider), so
// that sources answering at once always find one free.
constexpr int kPacedWorkers = kWorkers / 2;
// Past this many waiting measurements of one provider new ones fail at once rather than pile up.
constexpr std::size_t kMaxQueued = 1000;
// An idle worker looks at the queues at least this often.
constexpr std::int64_t kIdleWakeMs = 60'000;
// What one measurement is reckoned to take once started, for ReadyInSeconds.
constexpr std::int64_t kTypicalRunMs = 2000;

constexpr std::string_view kLateDetail = "查询未在期限内完成，结果稍后可用";
constexpr std::string_view kNeverDetail = "尚未测量";

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

// Fresh payloads by site and page, so that the answers asked most need neither the store's
// lock nor a read of its file. The store stays the truth: an entry is made from a row read
// there and lasts until its first column stops being fresh, or until anything of its site and
// page is recorded. Sharded by site, each shard under a mutex of its own, held only for a look-up
// or an insertion: the server's event threads meet here, not on one lock.
class FreshAnswers {
  public:
    // The payload while fresh at now_ms (Env wall clock).
    std::optional<std::string> Find(const std::string& site, Page page, std::int64_t now_ms) {
        Shard& s = ShardOf(site);
        std::lock_guard<std::mutex> guard(s.mutex);
        const auto it = s.sites.find(site);
        if (it == s.sites.end())
            return std::nullopt;
        const Entry& e = it->second[static_cast<std::size_t>(page)];
        if (now_ms >= e.until_ms)
            return std::nullopt;
        return e.payload;
    }
    // Read before the store is, and handed to Put: a record in between voids the row read.
    std::uint64_t Generation(const std::string& site) {
        Shard& s = ShardOf(site);
        std::lock_guard<std::mutex> guard(s.mutex);
        return s.generation;
    }
    void Put(const std::string& site, Page page, std::string payload, std::int64_t until_ms,
             std::uint64_t generation) {
        Shard& s = ShardOf(site);
        std::lock_guard<std::mutex> guard(s.mutex);
        if (s.generation != generation)
            return;
        auto it = s.sites.find(site);
        if (it == s.sites.end()) {
            // Bounded: past the cap an arbitrary site goes; it is read from the store again.
            if (s.sites.size() >= kSitesPerShard)
                s.sites.erase(s.sites.begin());
            it = s.sites.emplace(site, std::array<Entry, std::size(kPages)>{}).first;
        }
        it->second[static_cast<std::size_t>(page)] = Entry{std::move(payload), until_ms};
    }
    // After the store recorded (or failed to record) for the site and page.
    void Forget(const std::string& site, Page page) {
        Shard& s = ShardOf(site);
        std::lock_guard<std::mutex> guard(s.mutex);
        ++s.generation;
        if (const auto it = s.sites.find(site); it != s.sites.end())
            it->second[static_cast<std::size_t>(page)] = Entry{};
    }

  private:
    static constexpr std::size_t kShards = 16;
    static constexpr std::size_t kSitesPerShard = 1024; // 16K sites: about 6 MB at most
    struct Entry {
        std::string payload;
        std::int64_t until_ms = 0; // 0: none
    };
    struct Shard {
        std::mutex mutex; // guards the members below
        std::unordered_map<std::string, std::array<Entry, std::size(kPages)>> sites;
        std::uint64_t generation = 0; // moves with every Forget
    };
    Shard& ShardOf(const std::string& site) {
        return shards_[std::hash<std::string>{}(site) % kShards];
    }
    std::array<Shard, kShards> shards_;
};

} // namespace

// Threads: requests run Explain and State on the server's threads; kWorkers workers run the
// measurements. `mutex` guards every member declared after it, except `cancel` (an atomic),
// `fresh` (locked inside) and what `record_mutex` guards, and the fields of every Job and Lane; a
// Job's `provider` never changes once queued, nor its `request` once running (a waiting one may
// take on columns), and its worker reads them without it. Lock order: mutex, then a pacer's own
// (through Pacer::NextTurnMono, Pacer::Available and Provider::State) or a shard of `fresh`;
// providers and the store are called without it held, except Provider::State. A worker records,
// then tells `fresh`, then takes `mutex` to finish the job: a request that read the store before
// the record sees `fresh` moved under `mutex` and reads again.
struct Engine::Impl {
    struct Job {
        MeasureRequest request;
        std::string provider;
        std::uint64_t turn = 0; // the site's place in line: first come, first served
        bool running = false;
        bool done = false;
        bool recorded = true;
        std::int64_t queued_ms = 0; // wall clock, for the other instances' work (WorkShare)
        std::int64_t started_mono = 0;
        std::vector<Measurement> results; // one per request.columns once done; none if dropped
        // Once done: for each column it failed, the job of the next source in the column's chain.
        std::map<int, std::shared_ptr<Job>> fallbacks;
        // The requests waiting on it, woken when it ends: not every waiting request at every end.
        std::vector<std::condition_variable*> waiters;
    };
    // One provider's queue. Its measurements run when a worker is free and, for a paced
    // provider, one at a time at the pacer's turns.
    struct Lane {
        Provider* provider = nullptr; // null: no such provider was built
        Pacer* pacer = nullptr;
        std::deque<std::shared_ptr<Job>> waiting; // by (turn, page): a site's pages together
        int running = 0;
    };
    struct Stats {
        std::int64_t last_ok_ms = 0;
        std::int64_t last_fail_ms = 0;
        std::string last_fail_why;
    };
    using Key = std::tuple<std::string, Page, std::string>;

    Impl(const Config& c, Store& s, Env& e, std::map<std::string, std::unique_ptr<Provider>> p)
        : config(c), store(s), env(e), providers(std::move(p)) {
        for (const auto& [name, provider] : providers)
            lanes[name] = Lane{provider.get(), provider->pacer(), {}, 0};
        for (int i = 0; i < kWorkers; ++i)
            workers.emplace_back([this] { Work(); });
    }

    // Measurements not yet begun are dropped; those running are cut short where they wait on
    // the network (what they got by then is kept, a failure from the cut is not).
    ~Impl() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            stopping = true;
            for (auto& [name, lane] : lanes) {
                for (const auto& job : lane.waiting) {
                    Finish(*job);
                    Wake(*job, lane);
                }
                lane.waiting.clear();
            }
            ++work_generation;
        }
        cancel = true;
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

    // The column's sources in the order they are asked: its own, then its fallbacks.
    std::vector<std::string> Chain(Page page, int column) const {
        std::vector<std::string> chain{ProviderFor(page, column)};
        const auto it = config.fallbacks.find(page);
        if (it != config.fallbacks.end() && column < static_cast<int>(it->second.size()))
            chain.insert(chain.end(), it->second[static_cast<std::size_t>(column)].begin(),
                         it->second[static_cast<std::size_t>(column)].end());
        return chain;
    }

    // Under the lock: the first source of the chain that may answer today (not suspended,
    // budget left), else the last, whose refusal is then the answer.
    std::size_t FirstAvailable(const std::vector<std::string>& chain) {
        for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
            const Lane& lane = lanes[chain[i]];
            if (lane.provider && (!lane.pacer || lane.pacer->Available()))
                return i;
        }
        return chain.size() - 1;
    }

    static bool Before(const Job& a, const Job& b) {
        return std::tie(a.turn, a.request.page) < std::tie(b.turn, b.request.page);
    }

    // Under the lock.
    void Enqueue(Lane& lane, std::shared_ptr<Job> job) {
        // A paced lane already waiting or running has a worker due at its turn, or one that
        // wakes the workers when it ends: no one need be woken now.
        const bool wake = !lane.pacer || (lane.waiting.empty() && lane.running == 0);
        const auto at =
            std::upper_bound(lane.waiting.begin(), lane.waiting.end(), job,
                             [](const auto& a, const auto& b) { return Before(*a, *b); });
        lane.waiting.insert(at, std::move(job));
        if (wake) {
            ++work_generation;
            work_cv.notify_one();
        }
    }

    // Under the lock: the next measurement that may start now, instant sources first, then
    // the earliest site; null with *wake_mono set to when to look again.
    std::shared_ptr<Job> Pick(std::int64_t* wake_mono) {
        const std::int64_t now = env.clock.MonoMs();
        *wake_mono = now + kIdleWakeMs;
        Lane* best = nullptr;
        for (auto& [name, lane] : lanes) {
            if (lane.waiting.empty())
                continue;
            if (lane.pacer) {
                if (lane.running > 0 || paced_running >= kPacedWorkers)
                    continue; // a finishing measurement wakes the workers
                const std::int64_t turn = lane.pacer->NextTurnMono();
                if (turn > now) {
                    *wake_mono = std::min(*wake_mono, turn);
                    continue;
                }
            }
            if (!best || (!lane.pacer && best->pacer) ||
                (!lane.pacer == !best->pacer &&
                 Before(*lane.waiting.front(), *best->waiting.front())))
                best = &lane;
        }
        if (!best)
            return nullptr;
        std::shared_ptr<Job> job = best->waiting.front();
        best->waiting.pop_front();
        return job;
    }

    void Work() {
        const CancelScope scope(cancel);
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping) {
            std::int64_t wake = 0;
            std::shared_ptr<Job> job = Pick(&wake);
            if (!job) {
                const std::uint64_t seen = work_generation;
                env.clock.WaitUntil(lock, work_cv, wake,
                                    [&] { return stopping || work_generation != seen; });
                continue;
            }
            Perform(lock, job);
        }
    }

    // Under the lock, for a job off its queue or never queued: runs, records and finishes it,
    // unlocking while it measures and records.
    void Perform(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Job>& job) {
        Lane& lane = lanes[job->provider];
        job->running = true;
        job->started_mono = env.clock.MonoMs();
        ++lane.running;
        paced_running += lane.pacer ? 1 : 0;
        lock.unlock();
        const bool mine = !share || share->Claim(job->request.site, job->request.page,
                                                 job->provider, job->queued_ms);
        std::vector<Measurement> results;
        if (mine)
            results = Run(*job, lane);
        const bool cut = cancel && std::any_of(results.begin(), results.end(),
                                               [](auto& m) { return IsFailure(m.status); });
        const bool recorded = cut || results.empty() || Record(*job, results);
        // Measured here or by another instance: either way the store now holds newer.
        if ((!cut && !results.empty()) || !mine)
            fresh.Forget(job->request.site, job->request.page);
        if (share && mine)
            share->Release(job->request.site, job->request.page, job->provider,
                           recorded && !cut && !results.empty());
        if (recorded && !cut && !results.empty() && on_recorded)
            on_recorded(job->request.site, job->request.page, job->request.columns, results);
        lock.lock();
        job->running = false;
        --lane.running;
        if (lane.pacer) {
            // The lane is free again: its next may start, besides what this worker takes next.
            --paced_running;
            ++work_generation;
            work_cv.notify_one();
        }
        if (!mine) {
            Finish(*job); // no results: its requests answer from the store
        } else if (results.empty() && !stopping) {
            Enqueue(lane, job); // the provider handed its turn back
        } else if (!cut) {
            job->results = std::move(results);
            job->recorded = recorded;
            Finish(*job);
            FallBack(*job);
        } else {
            Finish(*job);
        }
        Wake(*job, lane);
    }

    // Records a job's results together with those other workers finish meanwhile, in one
    // transaction led by the first of them (as LevelDB groups its writes): a burst of instant
    // measurements costs a few commits rather than one each, and the answers waiting on them
    // come sooner. Called without `mutex`; `record_mutex` is never held across the store.
    bool Record(const Job& job, const std::vector<Measurement>& results) {
        Recording me{
            RecordSet{&job.request.site, job.request.page, &job.request.columns, &results}};
        std::unique_lock<std::mutex> lock(record_mutex);
        recording.push_back(&me);
        record_cv.wait(lock, [&] { return me.done || recording.front() == &me; });
        if (me.done)
            return me.kept;
        std::vector<RecordSet> sets;
        for (const Recording* r : recording)
            sets.push_back(r->set);
        lock.unlock();
        const std::vector<bool> kept = store.RecordBatch(sets);
        lock.lock();
        for (std::size_t i = 0; i < sets.size(); ++i) {
            recording.front()->kept = kept[i];
            recording.front()->done = true;
            recording.pop_front();
        }
        record_cv.notify_all(); // the group's workers, and the next leader
        return me.kept;
    }

    // Under the lock, when a job ended or was handed back: its requests, and for a paced lane
    // the requests on the rest of its queue, since which of those may start now has changed.
    static void Wake(const Job& job, const Lane& lane) {
        for (std::condition_variable* waiter : job.waiters)
            waiter->notify_all();
        if (lane.pacer)
            for (const auto& other : lane.waiting)
                for (std::condition_variable* waiter : other->waiters)
                    waiter->notify_all();
    }

    // Under the lock: the job's waiters may read it, and a new request starts a new one.
    void Finish(Job& job) {
        job.done = true;
        jobs.erase(Key{job.request.site, job.request.page, job.provider});
        if (auto it = site_turns.find(job.request.site);
            it != site_turns.end() && --it->second.second == 0)
            site_turns.erase(it);
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

    // Under the lock: the columns the job failed whose chain goes on are asked of the next
    // source, whether or not a request still waits for them, so that a failure in the
    // background is mended too.
    void FallBack(Job& job) {
        if (stopping || !job.recorded)
            return;
        std::map<std::string, std::vector<int>> next;
        for (std::size_t i = 0; i < job.results.size(); ++i) {
            if (IsFresh(job.results[i].status))
                continue;
            const int column = job.request.columns[i];
            const std::vector<std::string> chain = Chain(job.request.page, column);
            const auto at = std::find(chain.begin(), chain.end(), job.provider);
            if (at != chain.end() && at + 1 != chain.end())
                next[*(at + 1)].push_back(column);
        }
        for (const auto& [provider, columns] : next) {
            auto fallback = Join(job.request.site, job.request.page, provider, columns);
            for (int column : columns)
                job.fallbacks[column] = fallback;
        }
    }

    // The provider's answer, made whole: one measurement per column, stamped, with a number
    // wherever a numeric column claims a value. None when a paced provider handed its turn
    // back.
    std::vector<Measurement> Run(const Job& job, const Lane& lane) {
        const MeasureRequest& request = job.request;
        std::vector<Measurement> out;
        if (!lane.provider) {
            out.assign(request.columns.size(),
                       Failed(Status::Unsupported, "数据来源 " + job.provider + " 未建立"));
        } else {
            try {
                out = lane.provider->Measure(request);
            } catch (const std::exception& e) {
                out.clear();
                LogLine("engine: provider " + job.provider + " threw: " + e.what());
                out.assign(request.columns.size(),
                           Failed(Status::NetworkError, std::string("数据来源出错：") + e.what()));
            } catch (...) {
                out.assign(request.columns.size(), Failed(Status::NetworkError, "数据来源出错"));
            }
            if (out.empty() && lane.pacer)
                return out;
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

    // Under the lock: the queued or running measurement of this provider for this site and
    // page, taking on `columns` while it waits, or a new one of them. With `here`, a new one
    // of a local source is not queued: *here is set and the caller runs it (Perform).
    std::shared_ptr<Job> Join(const std::string& site, Page page, const std::string& provider,
                              const std::vector<int>& columns, bool* here = nullptr) {
        const Key key{site, page, provider};
        if (auto it = jobs.find(key); it != jobs.end()) {
            std::vector<int>& have = it->second->request.columns;
            if (!it->second->running)
                for (int c : columns)
                    if (const auto at = std::lower_bound(have.begin(), have.end(), c);
                        at == have.end() || *at != c)
                        have.insert(at, c);
            return it->second;
        }
        auto job = std::make_shared<Job>();
        job->request.site = site;
        job->request.page = page;
        job->provider = provider;
        job->request.columns = columns;
        job->queued_ms = env.clock.NowMs();
        Lane& lane = lanes[provider];
        if (lane.waiting.size() >= kMaxQueued || stopping) {
            job->results.assign(job->request.columns.size(),
                                Failed(Status::RateLimited, "服务繁忙，等待中的查询过多"));
            for (Measurement& m : job->results)
                Stamp(m, provider, env.clock.NowMs());
            job->done = true;
            return job;
        }
        auto& [turn, count] = site_turns[site];
        if (count++ == 0)
            turn = next_turn++;
        job->turn = turn;
        jobs.emplace(key, job);
        if (here && lane.provider && lane.provider->Local() && !lane.pacer)
            *here = true;
        else
            Enqueue(lane, job);
        return job;
    }

    // Under the lock: whether a worker takes the queued job as soon as one is free.
    bool StartsNow(const Job& job, std::int64_t now) {
        const Lane& lane = lanes[job.provider];
        return !lane.pacer || (lane.waiting.front().get() == &job && lane.running == 0 &&
                               lane.pacer->NextTurnMono() <= now);
    }

    // Under the lock: when the job is expected to start (mono clock); `now` for one that a
    // free worker will take at once.
    std::int64_t ExpectedStartMono(const Job& job, std::int64_t now) {
        if (job.running)
            return job.started_mono;
        const Lane& lane = lanes[job.provider];
        if (!lane.pacer)
            return now;
        std::int64_t ahead = 0;
        for (const auto& other : lane.waiting) {
            if (other.get() == &job)
                break;
            ++ahead;
        }
        return std::max(now, lane.pacer->NextTurnMono()) + ahead * lane.pacer->TypicalGapMs();
    }

    // `pending` explains a column with no attempt at all.
    ColumnAnswer Build(Page page, int column, const std::string& site, const Latest* stored,
                       const std::optional<Measurement>& newest, std::string_view pending) const {
        ColumnAnswer a;
        a.column = column;
        a.provider = ProviderFor(page, column);
        // Only the column's own source gives up on it: a fallback without a key leaves the
        // last good value standing.
        const bool gave_up =
            newest && newest->source == a.provider &&
            (newest->status == Status::NotConfigured || newest->status == Status::Unsupported);
        if (newest && IsFresh(newest->status)) {
            a.used = *newest;
        } else if (!gave_up && stored && stored->good) {
            a.used = *stored->good;
            a.stale = true;
        } else {
            a.missing = true;
            a.used = newest ? *newest : Failed(Status::NetworkError, std::string(pending));
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
            // 未公开 says the owner withheld it; what we could not get says so instead.
            a.sent = !a.missing ? m.text
                     : newest ? "—（暂无数据：" + std::string(StatusText(m.status)) + "）"
                              : "—（" + std::string(pending) + "）";
        }
        if (page == Page::Alexa)
            a.sent = SanitizeField(a.sent);
        return a;
    }

    // Waits for the measurements that may start now, up to the deadline; a paced one whose
    // turn has not come is answered at once from the store and stays queued. store_only:
    // nullopt rather than ask a source.
    std::optional<std::vector<ColumnAnswer>> Explain(Page page, std::string_view sUrl,
                                                     std::int64_t arrived_mono) {
        const std::optional<std::string> site = NormalizeSite(page, sUrl);
        if (!site)
            return std::nullopt;
        return Explain(page, *site, arrived_mono, nullptr);
    }
    // The same for a normalised site. When the store held every column fresh, *fresh_until
    // (if given) is set to when the first of them stops being so (wall ms).
    std::optional<std::vector<ColumnAnswer>> Explain(Page page, const std::string& site,
                                                     std::int64_t arrived_mono,
                                                     std::optional<std::int64_t>* fresh_until) {
        const std::int64_t start = env.clock.NowMs();
        const int count = ColumnCount(page);
        std::optional<std::vector<Latest>> stored;
        std::vector<const Latest*> by_column;
        std::vector<std::optional<Measurement>> newest;
        for (int attempt = 0;; ++attempt) {
            const std::uint64_t seen = fresh.Generation(site);
            stored = store.LatestRow(site, page);
            if (!stored)
                return std::nullopt;
            by_column.assign(static_cast<std::size_t>(count), nullptr);
            for (const Latest& l : *stored)
                if (l.column >= 0 && l.column < count)
                    by_column[static_cast<std::size_t>(l.column)] = &l;
            newest.assign(static_cast<std::size_t>(count), std::nullopt);
            std::vector<int> asked;
            std::vector<std::vector<std::string>> chains;
            std::int64_t until = std::numeric_limits<std::int64_t>::max();
            for (int c = 0; c < count; ++c) {
                chains.push_back(Chain(page, c));
                const auto& chain = chains.back();
                const Latest* l = by_column[static_cast<std::size_t>(c)];
                if (l && IsSettled(l->last.status) &&
                    std::find(chain.begin(), chain.end(), l->last.source) != chain.end() &&
                    start - l->last.time_ms < config.fresh_ms) {
                    newest[static_cast<std::size_t>(c)] = l->last;
                    until = std::min(until, l->last.time_ms + config.fresh_ms);
                } else {
                    asked.push_back(c);
                }
            }
            if (asked.empty()) {
                if (fresh_until)
                    *fresh_until = until;
                break;
            }
            std::unique_lock<std::mutex> lock(mutex);
            // A measurement of the site recorded after the store was read may be the one wanted
            // here: read again rather than measure twice (a few times at most).
            if (fresh.Generation(site) != seen && attempt < 3)
                continue;
            // Each column's source now: the first of its chain that may answer today, then,
            // while one fails, the next that its job handed the column to.
            std::vector<std::string> asking(static_cast<std::size_t>(count));
            std::map<std::string, std::vector<int>> by_source;
            for (int c : asked) {
                const auto& chain = chains[static_cast<std::size_t>(c)];
                asking[static_cast<std::size_t>(c)] = chain[FirstAvailable(chain)];
                by_source[asking[static_cast<std::size_t>(c)]].push_back(c);
            }
            std::vector<std::shared_ptr<Job>> joined, here;
            for (const auto& [provider, columns] : by_source) {
                bool mine = false;
                joined.push_back(Join(site, page, provider, columns, &mine));
                if (mine)
                    here.push_back(joined.back());
            }
            for (const auto& job : here)
                Perform(lock, job);
            std::condition_variable woken;
            while (!joined.empty()) {
                for (const auto& job : joined)
                    job->waiters.push_back(&woken);
                env.clock.WaitUntil(lock, woken, arrived_mono + config.deadline_ms, [&] {
                    const std::int64_t now = env.clock.MonoMs();
                    return std::all_of(joined.begin(), joined.end(), [&](const auto& j) {
                        return j->done || (!j->running && !StartsNow(*j, now));
                    });
                });
                for (const auto& job : joined)
                    std::erase(job->waiters, &woken);
                std::vector<std::shared_ptr<Job>> next;
                for (const auto& job : joined) {
                    if (!job->done)
                        continue;
                    if (!job->recorded)
                        return std::nullopt;
                    for (std::size_t i = 0; i < job->results.size(); ++i) {
                        const auto c = static_cast<std::size_t>(job->request.columns[i]);
                        if (asking[c] != job->provider)
                            continue;
                        if (const auto f = job->fallbacks.find(static_cast<int>(c));
                            f != job->fallbacks.end()) {
                            asking[c] = f->second->provider;
                            if (std::find(next.begin(), next.end(), f->second) == next.end())
                                next.push_back(f->second);
                        } else {
                            newest[c] = job->results[i];
                        }
                    }
                }
                joined = std::move(next);
            }
            break;
        }
        std::vector<ColumnAnswer> answers;
        for (int c = 0; c < count; ++c)
            answers.push_back(Build(page, c, site, by_column[static_cast<std::size_t>(c)],
                                    newest[static_cast<std::size_t>(c)], kLateDetail));
        MarkMeasuring(site, page, answers);
        return answers;
    }

    std::optional<std::vector<ColumnAnswer>> State(Page page, std::string_view sUrl) {
        const std::optional<std::string> site = NormalizeSite(page, sUrl);
        if (!site)
            return std::nullopt;
        const std::optional<std::vector<Latest>> stored = store.LatestRow(*site, page);
        if (!stored)
            return std::nullopt;
        std::vector<ColumnAnswer> answers;
        for (int c = 0; c < ColumnCount(page); ++c) {
            const Latest* l = nullptr;
            for (const Latest& row : *stored)
                if (row.column == c)
                    l = &row;
            answers.push_back(Build(page, c, *site, l,
                                    l ? std::optional<Measurement>(l->last) : std::nullopt,
                                    kNeverDetail));
        }
        MarkMeasuring(*site, page, answers);
        return answers;
    }

    void MarkMeasuring(const std::string& site, Page page, std::vector<ColumnAnswer>& answers) {
        std::lock_guard<std::mutex> guard(mutex);
        const std::int64_t now = env.clock.NowMs();
        const std::int64_t mono = env.clock.MonoMs();
        for (ColumnAnswer& a : answers) {
            for (const std::string& provider : Chain(page, a.column)) {
                const auto it = jobs.find(Key{site, page, provider});
                if (it == jobs.end())
                    continue;
                const std::vector<int>& columns = it->second->request.columns;
                if (std::find(columns.begin(), columns.end(), a.column) == columns.end())
                    continue;
                a.measuring = true;
                a.next_attempt_ms = now + ExpectedStartMono(*it->second, mono) - mono;
                break;
            }
        }
    }

    const Config config;
    Store& store;
    Engine::Recorded on_recorded;
    WorkShare* share = nullptr;
    Env& env;
    const std::map<std::string, std::unique_ptr<Provider>> providers;

    mutable std::mutex mutex;
    std::condition_variable work_cv; // a job is queued or a lane freed, or the engine stops
    std::map<std::string, Lane> lanes;
    std::map<Key, std::shared_ptr<Job>> jobs; // queued or running, shared by their requests
    std::map<std::string, std::pair<std::uint64_t, int>> site_turns; // turn, jobs not finished
    std::uint64_t next_turn = 0;
    int paced_running = 0;
    std::uint64_t work_generation = 0; // moves whenever a worker may find something new
    std::map<std::string, Stats> stats;
    bool stopping = false;
    std::atomic<bool> cancel{false}; // cuts the transfers in flight at shutdown
    FreshAnswers fresh;              // thread-safe itself, not under `mutex`
    // Results waiting to be recorded, the first one's worker recording them all.
    struct Recording {
        RecordSet set;
        bool done = false;
        bool kept = false;
    };
    std::mutex record_mutex; // guards `recording` and the Recordings in it; never with `mutex`
    std::condition_variable record_cv;
    std::deque<Recording*> recording;
    std::vector<std::thread> workers;
};

Engine::Engine(const Config& config, Store& store, Env& env,
               std::map<std::string, std::unique_ptr<Provider>> providers)
    : impl_(std::make_unique<Impl>(config, store, env, std::move(providers))) {}

Engine::~Engine() = default;

std::optional<std::vector<ColumnAnswer>> Engine::Explain(Page page, std::string_view sUrl) {
    return impl_->Explain(page, sUrl, impl_->env.clock.MonoMs());
}

std::optional<std::vector<ColumnAnswer>> Engine::State(Page page, std::string_view sUrl) {
    return impl_->State(page, sUrl);
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
    return Answer(page, sUrl, impl_->env.clock.MonoMs());
}

std::optional<std::string> Engine::Answer(Page page, std::string_view sUrl,
                                          std::int64_t arrived_mono_ms) {
    Impl& impl = *impl_;
    const std::optional<std::string> site = NormalizeSite(page, sUrl);
    if (!site)
        return std::nullopt;
    const std::uint64_t generation = impl.fresh.Generation(*site);
    std::optional<std::int64_t> until;
    std::optional<std::string> payload =
        Payload(page, impl.Explain(page, *site, arrived_mono_ms, &until));
    if (payload && until)
        impl.fresh.Put(*site, page, *payload, *until, generation);
    return payload;
}

std::optional<std::string> Engine::AnswerFromStore(Page page, std::string_view sUrl) {
    Impl& impl = *impl_;
    const std::optional<std::string> site = NormalizeSite(page, sUrl);
    if (!site)
        return std::nullopt;
    return impl.fresh.Find(*site, page, impl.env.clock.NowMs());
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

std::optional<std::int64_t> ReadyInSeconds(const std::vector<ColumnAnswer>& cells,
                                           std::int64_t now_ms) {
    std::optional<std::int64_t> first;
    for (const ColumnAnswer& a : cells)
        if (a.measuring)
            first = std::min(first.value_or(a.next_attempt_ms), a.next_attempt_ms);
    if (!first)
        return std::nullopt;
    return (std::max<std::int64_t>(*first + kTypicalRunMs - now_ms, 0) + 999) / 1000;
}

const Config& Engine::config() const {
    return impl_->config;
}

void Engine::OnRecorded(Recorded hook) {
    impl_->on_recorded = std::move(hook);
}

void Engine::ShareWork(WorkShare* share) {
    impl_->share = share;
}

} // namespace valdane::svc
