#include "migrate.h"

#include "log.h"
#include "pg.h"
#include "store.h"

#include <filesystem>

namespace valdane::svc {
namespace {

constexpr std::size_t kBatch = 2000; // one transaction in the target each

// A source must be there already: opening a store elsewhere would start a new, empty one.
std::unique_ptr<Store> OpenSource(const std::string& from, Env& env, std::string* error) {
    if (!pg::IsConnectionUri(from)) {
        const std::filesystem::path file = StoreLocation(from, {});
        if (std::error_code ec; !std::filesystem::is_regular_file(file, ec)) {
            *error = "no store at " + file.string();
            return nullptr;
        }
    }
    return OpenConfiguredStore(from, {}, env, error);
}

} // namespace

int MigrateStore(const std::string& from, const std::string& to, Env& env, std::FILE* out) {
    const std::string source_name = StoreLocation(from, {}), target_name = StoreLocation(to, {});
    if (source_name == target_name) {
        LogLine("migrate: the source and the target are the same store");
        return 1;
    }
    std::string error;
    const auto source = OpenSource(from, env, &error);
    if (!source) {
        LogLine("migrate: " + error);
        return 1;
    }
    const auto target = OpenConfiguredStore(to, {}, env, &error);
    if (!target) {
        LogLine("migrate: " + error);
        return 1;
    }
    const std::optional<std::int64_t> expected = source->Count();
    if (!expected) {
        LogLine("migrate: cannot count the measurements of " + source_name);
        return 1;
    }
    std::fprintf(out, "copying %lld measurements from %s to %s\n",
                 static_cast<long long>(*expected), source_name.c_str(), target_name.c_str());
    std::int64_t after = 0, copied = 0, held = 0;
    for (;;) {
        const auto batch = source->Kept(after, kBatch);
        if (!batch) {
            LogLine("migrate: cannot read " + source_name);
            return 1;
        }
        if (batch->empty())
            break;
        const std::optional<std::size_t> added = target->Import(*batch);
        if (!added) {
            LogLine("migrate: cannot write " + target_name + "; run again to continue");
            return 1;
        }
        copied += static_cast<std::int64_t>(*added);
        held += static_cast<std::int64_t>(batch->size() - *added);
        after = batch->back().id;
        if ((copied + held) % (kBatch * 50) == 0)
            std::fprintf(out, "%lld of %lld\n", static_cast<long long>(copied + held),
                         static_cast<long long>(*expected));
    }
    const auto names = source->UpstreamNames();
    if (!names) {
        LogLine("migrate: cannot read the upstream states of " + source_name);
        return 1;
    }
    for (const std::string& name : *names) {
        const auto state = source->LoadUpstream(name);
        if (!state || !target->SaveUpstream(name, *state)) {
            LogLine("migrate: cannot copy the state of " + name);
            return 1;
        }
    }
    const std::optional<std::int64_t> found = target->Count();
    std::fprintf(out,
                 "source: %lld measurements; target: %lld (copied now %lld, there before %lld); "
                 "upstream states: %zu\n",
                 static_cast<long long>(*expected), static_cast<long long>(found.value_or(-1)),
                 static_cast<long long>(copied), static_cast<long long>(held), names->size());
    // The target may hold measurements of its own besides the copy, never fewer.
    if (!found || copied + held != *expected || *found < *expected) {
        std::fprintf(out, "the counts do not match: the copy is incomplete\n");
        return 1;
    }
    if (*found > *expected)
        std::fprintf(out, "the target held %lld measurements of its own besides the copy\n",
                     static_cast<long long>(*found - *expected));
    return 0;
}

} // namespace valdane::svc
