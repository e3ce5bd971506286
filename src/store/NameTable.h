// A hash table of positions in a list of names, for lookups by name in
// constant time: the item list of an open key, the names to remove, the
// pending items of a merge.
//
// A slot holds a position and 32 bits of its name's hash; the names stay
// in the list, which the caller passes as `nameAt(position)` to every call
// that compares. So the table never copies a name, moving the list's
// strings (a vector growing) does not disturb it, a probe reads a name
// only where the hash bits agree (the list of a large key is far bigger
// than the cache, and each name read there is a miss), and growing the
// table reads no name at all. Names compare exactly, byte for byte.
//
// Open addressing with linear probing; a slot is empty, a tombstone (an
// erased position) or a position. The table grows to keep used slots,
// tombstones included, at most 3/4 of the slots.
#pragma once

#include <sys/random.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace qorvane::store {

class NameTable {
public:
    static constexpr std::size_t npos = std::numeric_limits<std::size_t>::max();

    // The name's bytes read eight at a time and mixed by 64x64->128-bit
    // multiplies: item names are short, and a hash that takes them a byte
    // or a word at a time with a general finish costs several times more.
    // Seeded once per process, so that names chosen to share a probe chain
    // (the file is written by others) cannot be chosen ahead.
    static std::size_t Hash(std::string_view name) noexcept
    {
        const char* p = name.data();
        const std::size_t n = name.size();
        std::uint64_t seed = kSeed ^ ProcessSeed() ^ n;
        std::uint64_t a = 0;
        std::uint64_t b = 0;
        if (n <= 16) {
            // Two loads that overlap as needed cover every byte.
            if (n >= 8) {
                a = Load64(p);
                b = Load64(p + n - 8);
            } else if (n >= 4) {
                a = Load32(p);
                b = Load32(p + n - 4);
            } else if (n > 0) {
                a = (std::uint64_t{static_cast<unsigned char>(p[0])} << 16) |
                    (std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8) | static_cast<unsigned char>(p[n - 1]);
            }
        } else {
            std::size_t i = 0;
            for (; n - i > 16; i += 16) seed = Mix(Load64(p + i) ^ kMul, Load64(p + i + 8) ^ seed);
            a = Load64(p + n - 16);
            b = Load64(p + n - 8);
        }
        return static_cast<std::size_t>(Mix(kMul ^ n, Mix(a ^ kMul, b ^ seed)));
    }

    std::size_t Size() const noexcept { return m_count; }
    void Clear() noexcept
    {
        m_slots.clear();
        m_slots.shrink_to_fit();
        m_count = 0;
        m_used = 0;
    }
    // Room for `n` positions without growing.
    // Tombstones count: an insertion may not reuse one.
    template <class NameAt>
    void Reserve(std::size_t n, NameAt&& /*nameAt*/)
    {
        if (n > m_count && (m_used + (n - m_count)) * 4 > m_slots.size() * 3) Rehash(SlotsFor(n));
    }
    // Positions that fit before the table must grow (tombstones take room).
    std::size_t Room() const noexcept { return m_slots.size() * 3 / 4 - m_used; }

    // Asks for the slot where a lookup of `hash` starts to be loaded into
    // the cache ahead of the lookup (one that does not grow the table).
    void Prefetch(std::size_t hash) const noexcept
    {
        if (!m_slots.empty()) __builtin_prefetch(&m_slots[Home(Tag(hash))], 1);
    }

    // The position stored for `name`, or npos.
    template <class NameAt>
    std::size_t Find(std::string_view name, std::size_t hash, NameAt&& nameAt) const
    {
        const std::size_t slot = FindSlot(name, hash, nameAt);
        return slot == npos ? npos : PosOf(m_slots[slot]);
    }
    // Stores `pos` for `name`, which must not be in the table.
    template <class NameAt>
    void Insert(std::size_t hash, std::size_t pos, NameAt&& /*nameAt*/)
    {
        if (pos >= kMaxPos) throw std::length_error("qorvane: too many items in one key");
        if ((m_used + 1) * 4 > m_slots.size() * 3) Rehash(SlotsFor(m_count + 1));
        const std::uint32_t tag = Tag(hash);
        std::size_t slot = Home(tag);
        while (State(m_slots[slot]) >= kFirst) slot = (slot + 1) & Mask();
        if (State(m_slots[slot]) == kEmpty) ++m_used;
        m_slots[slot] = Slot(tag, pos);
        ++m_count;
    }
    // The position stored for `name` if there is one; otherwise stores
    // `pos` for it and returns npos. One probe for both.
    template <class NameAt>
    std::size_t FindOrInsert(std::string_view name, std::size_t hash, std::size_t pos, NameAt&& nameAt)
    {
        if (pos >= kMaxPos) throw std::length_error("qorvane: too many items in one key");
        if ((m_used + 1) * 4 > m_slots.size() * 3) Rehash(SlotsFor(m_count + 1));
        const std::uint32_t tag = Tag(hash);
        std::size_t free = npos;
        std::size_t slot = Home(tag);
        for (;; slot = (slot + 1) & Mask()) {
            const std::uint64_t v = m_slots[slot];
            const std::uint32_t state = State(v);
            if (state == kEmpty) break;
            if (state == kTomb) {
                if (free == npos) free = slot;
            } else if (TagOf(v) == tag && nameAt(PosOf(v)) == name) {
                return PosOf(v);
            }
        }
        if (free == npos) {
            free = slot;
            ++m_used;
        }
        m_slots[free] = Slot(tag, pos);
        ++m_count;
        return npos;
    }
    // Finds `name` and, in the same probe, stores `next` for it instead
    // (npos: removes it). Returns the position it had, or npos.
    template <class NameAt>
    std::size_t Take(std::string_view name, std::size_t hash, std::size_t next, NameAt&& nameAt)
    {
        const std::size_t slot = FindSlot(name, hash, nameAt);
        if (slot == npos) return npos;
        const std::size_t pos = PosOf(m_slots[slot]);
        if (next == npos) {
            m_slots[slot] = kTomb;
            --m_count;
        } else {
            m_slots[slot] = Slot(TagOf(m_slots[slot]), next);
        }
        return pos;
    }
    // Removes `name`; returns its position, or npos if it was not there.
    template <class NameAt>
    std::size_t Erase(std::string_view name, std::size_t hash, NameAt&& nameAt)
    {
        return Take(name, hash, npos, nameAt);
    }
    // Changes the position stored for `name`, which must be in the table.
    template <class NameAt>
    void Move(std::string_view name, std::size_t hash, std::size_t pos, NameAt&& nameAt)
    {
        const std::size_t slot = FindSlot(name, hash, nameAt);
        if (slot != npos) m_slots[slot] = Slot(TagOf(m_slots[slot]), pos);
    }

private:
    static constexpr std::uint64_t kSeed = 0xA0761D6478BD642FULL;
    static constexpr std::uint64_t kMul = 0xE7037ED1A0B428DBULL;
    static std::uint64_t Load64(const char* p) noexcept
    {
        std::uint64_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static std::uint64_t Load32(const char* p) noexcept
    {
        std::uint32_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    // The two halves of the 128-bit product, folded with the factors: a
    // factor of 0 would otherwise make the product, and everything mixed
    // into it, vanish.
    static std::uint64_t Mix(std::uint64_t x, std::uint64_t y) noexcept
    {
        __extension__ typedef unsigned __int128 Wide;
        const Wide r = static_cast<Wide>(x) * y;
        return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64) ^ x ^ y;
    }
    static std::uint64_t ProcessSeed() noexcept
    {
        static const std::uint64_t seed = [] {
            std::uint64_t v = 0;
            if (::getrandom(&v, sizeof v, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof v)) {
                v = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&v));
            }
            return v;
        }();
        return seed;
    }

    // A slot: the hash's 32 bits above, the state below (empty, tombstone,
    // or kFirst + position).
    static constexpr std::uint32_t kEmpty = 0;
    static constexpr std::uint32_t kTomb = 1;
    static constexpr std::uint32_t kFirst = 2;
    static constexpr std::size_t kMaxPos = std::numeric_limits<std::uint32_t>::max() - kFirst;

    static std::uint32_t Tag(std::size_t hash) noexcept
    {
        return static_cast<std::uint32_t>(static_cast<std::uint64_t>(hash) ^ (static_cast<std::uint64_t>(hash) >> 32));
    }
    static std::uint32_t State(std::uint64_t slot) noexcept { return static_cast<std::uint32_t>(slot); }
    static std::uint32_t TagOf(std::uint64_t slot) noexcept { return static_cast<std::uint32_t>(slot >> 32); }
    static std::size_t PosOf(std::uint64_t slot) noexcept { return State(slot) - kFirst; }
    static std::uint64_t Slot(std::uint32_t tag, std::size_t pos) noexcept
    {
        return (static_cast<std::uint64_t>(tag) << 32) | (pos + kFirst);
    }

    std::size_t Mask() const noexcept { return m_slots.size() - 1; }
    // The slot where a probe for a tag starts: the tag's bits spread by a
    // multiply, the top ones taken.
    std::size_t Home(std::uint32_t tag) const noexcept
    {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(tag) * 0x9E3779B97F4A7C15ULL) >> m_shift);
    }
    static std::size_t SlotsFor(std::size_t n) noexcept
    {
        std::size_t slots = 16;
        while (slots * 3 < n * 4 + 4) slots *= 2;
        return slots;
    }

    template <class NameAt>
    std::size_t FindSlot(std::string_view name, std::size_t hash, NameAt& nameAt) const
    {
        if (m_count == 0) return npos;
        const std::uint32_t tag = Tag(hash);
        for (std::size_t slot = Home(tag);; slot = (slot + 1) & Mask()) {
            const std::uint64_t v = m_slots[slot];
            const std::uint32_t state = State(v);
            if (state == kEmpty) return npos;
            if (state >= kFirst && TagOf(v) == tag && nameAt(PosOf(v)) == name) return slot;
        }
    }

    // Moves every position to a table of `slots` slots; the tags say where.
    void Rehash(std::size_t slots)
    {
        std::vector<std::uint64_t> old(slots, kEmpty);
        old.swap(m_slots);
        m_shift = 64;
        for (std::size_t s = slots; s > 1; s >>= 1) --m_shift;
        m_used = 0;
        for (const std::uint64_t v : old) {
            if (State(v) < kFirst) continue;
            std::size_t slot = Home(TagOf(v));
            while (State(m_slots[slot]) != kEmpty) slot = (slot + 1) & Mask();
            m_slots[slot] = v;
            ++m_used;
        }
    }

    std::vector<std::uint64_t> m_slots;
    unsigned m_shift = 64;
    std::size_t m_count = 0;  // positions stored
    std::size_t m_used = 0;   // slots not empty: positions and tombstones
};

}  // namespace qorvane::store
