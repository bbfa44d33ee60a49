#include "rank_table.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

namespace valdane::svc {
namespace {

constexpr char kMagic[8] = {'V', 'D', 'R', 'A', 'N', 'K', '1', '\0'};
constexpr std::uint64_t kEmpty = ~0ULL;

// Little-endian on every machine this runs on; the magic guards against a foreign file.
struct Header {
    char magic[8];
    std::uint64_t count;
    std::uint64_t slots;
    std::uint64_t names_size;
    std::int64_t created_ms;
    std::uint32_t complete;
    std::uint32_t source_size;
    char source[512];
};

struct Slot {
    std::uint64_t hash;
    std::uint64_t name; // offset into the name block; kEmpty for a free slot
    RankValues values;
    std::uint32_t pad;
};
static_assert(sizeof(Slot) == 32);

std::uint64_t Hash(std::string_view text) {
    std::uint64_t h = 1469598103934665603ULL; // FNV-1a, then a finaliser to spread the bits
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

// About 70% full: short probe runs without doubling the file.
std::uint64_t SlotCount(std::uint64_t entries) {
    return entries + entries * 3 / 7 + 1;
}

} // namespace

RankTable::~RankTable() {
    if (map_)
        munmap(const_cast<unsigned char*>(map_), size_);
}

std::unique_ptr<RankTable> RankTable::Open(const std::filesystem::path& file, std::string* error) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = file.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) < sizeof(Header)) {
        ::close(fd);
        *error = file.string() + ": not a rank table";
        return nullptr;
    }
    void* map = mmap(nullptr, st.st_size, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        *error = file.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<RankTable> table(new RankTable);
    table->map_ = static_cast<const unsigned char*>(map);
    table->size_ = st.st_size;
    Header h;
    std::memcpy(&h, map, sizeof h);
    const std::uint64_t body = table->size_ - sizeof(Header);
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0 || h.slots == 0 ||
        h.slots > body / sizeof(Slot) || h.names_size != body - h.slots * sizeof(Slot) ||
        h.count > h.slots || h.source_size > sizeof h.source) {
        *error = file.string() + ": not a rank table or damaged";
        return nullptr;
    }
    table->slots_ = h.slots;
    table->table_ = table->map_ + sizeof(Header);
    table->names_ = reinterpret_cast<const char*>(table->table_ + h.slots * sizeof(Slot));
    table->names_size_ = h.names_size;
    table->info_ = {h.count, h.complete != 0, h.created_ms, std::string(h.source, h.source_size)};
    return table;
}

std::optional<RankValues> RankTable::Find(std::string_view domain) const {
    const std::uint64_t hash = Hash(domain);
    // Bounded by the slot count, so a damaged file cannot make this loop for ever.
    for (std::uint64_t i = hash % slots_, n = 0; n < slots_; ++n, i = i + 1 == slots_ ? 0 : i + 1) {
        Slot slot;
        std::memcpy(&slot, table_ + i * sizeof(Slot), sizeof slot);
        if (slot.name == kEmpty)
            return std::nullopt;
        if (slot.hash != hash || slot.name >= names_size_)
            continue;
        const char* name = names_ + slot.name;
        const std::size_t room = names_size_ - slot.name;
        if (domain.size() < room && std::memcmp(name, domain.data(), domain.size()) == 0 &&
            name[domain.size()] == '\0')
            return slot.values;
    }
    return std::nullopt;
}

void RankTableBuilder::Add(std::string_view domain, RankValues values) {
    entries_.push_back({Hash(domain), names_.size(), values});
    names_.append(domain);
    names_.push_back('\0');
}

std::optional<std::uint64_t> RankTableBuilder::Write(const std::filesystem::path& file,
                                                     const RankTableInfo& info,
                                                     std::string* error) const {
    const std::uint64_t slots = SlotCount(entries_.size());
    std::vector<Slot> table(slots, Slot{0, kEmpty, {}, 0});
    std::uint64_t count = 0;
    for (const Entry& e : entries_) {
        const std::string_view name(names_.data() + e.name);
        std::uint64_t i = e.hash % slots;
        bool duplicate = false;
        for (; table[i].name != kEmpty; i = i + 1 == slots ? 0 : i + 1)
            if (table[i].hash == e.hash &&
                name == std::string_view(names_.data() + table[i].name)) {
                duplicate = true;
                break;
            }
        if (!duplicate) {
            table[i] = Slot{e.hash, e.name, e.values, 0};
            ++count;
        }
    }
    Header h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.count = count;
    h.slots = slots;
    h.names_size = names_.size();
    h.created_ms = info.created_ms;
    h.complete = info.complete ? 1 : 0;
    h.source_size = static_cast<std::uint32_t>(std::min(info.source.size(), sizeof h.source));
    std::memcpy(h.source, info.source.data(), h.source_size);

    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    const std::filesystem::path temp = file.string() + ".part";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(&h), sizeof h);
        out.write(reinterpret_cast<const char*>(table.data()),
                  static_cast<std::streamsize>(table.size() * sizeof(Slot)));
        out.write(names_.data(), static_cast<std::streamsize>(names_.size()));
        out.flush();
        if (!out) {
            *error = temp.string() + ": cannot write";
            std::filesystem::remove(temp, ec);
            return std::nullopt;
        }
    }
    std::filesystem::rename(temp, file, ec);
    if (ec) {
        *error = file.string() + ": " + ec.message();
        std::filesystem::remove(temp, ec);
        return std::nullopt;
    }
    return count;
}

std::shared_ptr<const RankTable> SharedRankTable(const std::filesystem::path& file) {
    struct Cached {
        struct stat st {};
        std::shared_ptr<const RankTable> table;
    };
    static std::mutex mutex;
    static std::map<std::filesystem::path, Cached> cache;
    struct stat st {};
    const bool exists = ::stat(file.c_str(), &st) == 0;
    std::lock_guard<std::mutex> guard(mutex);
    Cached& c = cache[file];
    if (!exists) {
        c = {};
        return nullptr;
    }
    if (!c.table || c.st.st_ino != st.st_ino || c.st.st_size != st.st_size ||
        c.st.st_mtim.tv_sec != st.st_mtim.tv_sec || c.st.st_mtim.tv_nsec != st.st_mtim.tv_nsec) {
        std::string error;
        c.table = RankTable::Open(file, &error);
        c.st = st;
    }
    return c.table;
}

} // namespace valdane::svc
