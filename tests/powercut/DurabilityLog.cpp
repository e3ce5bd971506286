#include "DurabilityLog.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <set>

namespace qorvane::powercut {
namespace {

struct WireHeader {
    std::uint8_t kind;
    std::uint8_t pad[7];
    std::uint64_t id;
    std::uint64_t offset;
    std::uint64_t nameSize;
    std::uint64_t name2Size;
    std::uint64_t dataSize;
};

bool IsDirectoryOp(Kind kind) noexcept
{
    return kind == Kind::Create || kind == Kind::Link || kind == Kind::Unlink || kind == Kind::Rename;
}

bool IsDataOp(Kind kind) noexcept { return kind == Kind::Write || kind == Kind::Truncate; }

// A piece that may or may not survive: a directory operation, a truncation,
// or one page-aligned part [from, to) of a write's data.
struct Piece {
    const Record* record;
    std::size_t from;
    std::size_t to;
};

struct Disk {
    std::map<std::string, std::uint64_t> entries;
    std::map<std::uint64_t, std::string> files;

    void Apply(const Piece& piece)
    {
        const Record& r = *piece.record;
        switch (r.kind) {
        case Kind::Create:
        case Kind::Link:
            entries[r.name] = r.id;
            break;
        case Kind::Unlink:
            entries.erase(r.name);
            break;
        case Kind::Rename: {
            const auto from = entries.find(r.name);
            if (from != entries.end() && from->second == r.id) entries.erase(from);
            entries[r.name2] = r.id;
            break;
        }
        case Kind::Write: {
            std::string& bytes = files[r.id];
            const std::size_t at = r.offset + piece.from;
            if (bytes.size() < at + (piece.to - piece.from)) bytes.resize(at + (piece.to - piece.from), '\0');
            bytes.replace(at, piece.to - piece.from, r.data, piece.from, piece.to - piece.from);
            break;
        }
        case Kind::Truncate:
            files[r.id].resize(r.offset, '\0');
            break;
        default:
            break;
        }
    }

    DiskState View() const
    {
        DiskState state;
        for (const auto& [name, id] : entries) {
            const auto file = files.find(id);
            state[name] = file == files.end() ? std::string() : file->second;
        }
        return state;
    }
};

// Splits a write at the page boundaries of the file it writes to.
void AddPieces(const Record& r, std::vector<Piece>& pieces)
{
    if (r.kind != Kind::Write) {
        pieces.push_back({&r, 0, 0});
        return;
    }
    std::size_t from = 0;
    while (from < r.data.size()) {
        const std::size_t pageEnd = (r.offset + from) / kPage * kPage + kPage;
        const std::size_t to = std::min(r.data.size(), static_cast<std::size_t>(pageEnd - r.offset));
        pieces.push_back({&r, from, to});
        from = to;
    }
}

}  // namespace

std::string Encode(const Record& record)
{
    WireHeader h{};
    h.kind = static_cast<std::uint8_t>(record.kind);
    h.id = record.id;
    h.offset = record.offset;
    h.nameSize = record.name.size();
    h.name2Size = record.name2.size();
    h.dataSize = record.data.size();
    std::string out(reinterpret_cast<const char*>(&h), sizeof h);
    out += record.name;
    out += record.name2;
    out += record.data;
    return out;
}

std::vector<Record> ReadLog(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<Record> log;
    std::size_t at = 0;
    while (bytes.size() - at >= sizeof(WireHeader)) {
        WireHeader h{};
        std::memcpy(&h, bytes.data() + at, sizeof h);
        const std::size_t body = h.nameSize + h.name2Size + h.dataSize;
        if (bytes.size() - at - sizeof h < body) break;
        at += sizeof h;
        Record r;
        r.kind = static_cast<Kind>(h.kind);
        r.id = h.id;
        r.offset = h.offset;
        r.name = bytes.substr(at, h.nameSize);
        r.name2 = bytes.substr(at + h.nameSize, h.name2Size);
        r.data = bytes.substr(at + h.nameSize + h.name2Size, h.dataSize);
        at += body;
        log.push_back(std::move(r));
    }
    return log;
}

const char* ModelName(Model model) noexcept { return model == Model::Strict ? "strict" : "reordering"; }

std::size_t ForEachCrashState(const std::vector<Record>& log, std::size_t cut, Model model,
                              const std::function<void(const DiskState&)>& visit, bool& sampled)
{
    cut = std::min(cut, log.size());
    std::size_t lastDirSync = 0;  // one past the directory's last fsync
    std::map<std::uint64_t, std::size_t> lastFileSync;
    for (std::size_t i = 0; i < cut; ++i) {
        if (log[i].kind == Kind::FsyncDir) lastDirSync = i + 1;
        if (log[i].kind == Kind::Fsync) lastFileSync[log[i].id] = i + 1;
    }

    Disk base;
    std::vector<Piece> pending;
    for (std::size_t i = 0; i < cut; ++i) {
        const Record& r = log[i];
        if (r.kind == Kind::Initial) {
            base.entries[r.name] = r.id;
            base.files[r.id] = r.data;
            continue;
        }
        const bool durable = (IsDirectoryOp(r.kind) && i < lastDirSync) ||
                             (IsDataOp(r.kind) && i < lastFileSync[r.id]);
        if (durable) {
            base.Apply({&r, 0, r.data.size()});
        } else if (IsDirectoryOp(r.kind) || IsDataOp(r.kind)) {
            AddPieces(r, pending);
        }
    }

    sampled = false;
    const std::size_t n = model == Model::Strict ? 0 : pending.size();
    auto visitSubset = [&](const std::vector<bool>& keep) {
        Disk disk = base;
        for (std::size_t i = 0; i < n; ++i) {
            if (keep[i]) disk.Apply(pending[i]);
        }
        visit(disk.View());
    };
    std::vector<bool> keep(n, false);
    if (n <= kExhaustiveElements) {
        for (std::uint64_t mask = 0; mask < (std::uint64_t{1} << n); ++mask) {
            for (std::size_t i = 0; i < n; ++i) keep[i] = ((mask >> i) & 1) != 0;
            visitSubset(keep);
        }
        return std::size_t{1} << n;
    }

    sampled = true;
    std::set<std::vector<bool>> seen;
    auto once = [&](const std::vector<bool>& subset) {
        if (seen.insert(subset).second) visitSubset(subset);
    };
    once(std::vector<bool>(n, false));
    once(std::vector<bool>(n, true));
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<bool> one(n, false);
        one[i] = true;
        once(one);
        std::vector<bool> allBut(n, true);
        allBut[i] = false;
        once(allBut);
    }
    std::mt19937_64 rng(0x9e3779b97f4a7c15ULL ^ cut);  // fixed: a failure can be replayed
    for (std::size_t tries = 0; seen.size() < kSampleCap && tries < 4 * kSampleCap; ++tries) {
        for (std::size_t i = 0; i < n; ++i) keep[i] = (rng() & 1) != 0;
        once(keep);
    }
    return seen.size();
}

}  // namespace qorvane::powercut
