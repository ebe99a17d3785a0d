#include "ops/export_plan.h"

#include <algorithm>
#include <functional>
#include <string>

#include "base/failure.h"
#include "base/hash.h"
#include "base/text.h"
#include "entry/entry.h"
#include "folder/paths.h"

namespace velmorin {
namespace {

std::string_view name_of(const walked_entry& e) {
    return std::string_view(reinterpret_cast<const char*>(e.name), e.name_length);
}

void set_state(export_plan& plan, uint32_t index, export_state s) {
    uint8_t& b = plan.states[index / 2];
    int shift = (index % 2) * 4;
    b = static_cast<uint8_t>((b & ~(0xF << shift)) | (static_cast<int>(s) << shift));
}

// Every entry of the directory, in order, without a word.
void each_entry(archive_file& archive, const std::function<void(const walked_entry&)>& visit) {
    if (!seek_to(archive.handle.f, 0)) fail("Error reading header.\n");
    directory_walk walk;
    walked_entry e;
    start_walk(archive, false, &walk);
    while (next_entry(walk, &e)) visit(e);
}

// A path's prefixes hashed as they grow, each part once: exact, and with
// its ASCII letters folded to lower case, as Windows and macOS compare
// names. A hash taken part-way is the hash of the bytes fed so far.
struct prefix_hashes {
    pixel_hash exact, folded;
    std::string lower;
};

// The prefixes of an entry's path, each joined by "/": its folders, then
// its file, to visit(depth, exact hash, folded hash, is the file).
// (The folded hash only when `folded`, 0 otherwise.)
template <typename Visit>
void each_prefix(prefix_hashes& h, const walked_entry& e, bool folded, Visit&& visit) {
    std::vector<std::string> parts = path_of_name(name_of(e));
    start_hash(h.exact);
    start_hash(h.folded);
    const uint8_t slash = '/';
    for (size_t k = 0; k < parts.size(); ++k) {
        if (k) feed_hash(h.exact, &slash, 1);
        feed_hash(h.exact, reinterpret_cast<const uint8_t*>(parts[k].data()), parts[k].size());
        if (folded) {
            h.lower = parts[k];
            for (char& c : h.lower)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
            if (k) feed_hash(h.folded, &slash, 1);
            feed_hash(h.folded, reinterpret_cast<const uint8_t*>(h.lower.data()), h.lower.size());
        }
        visit(k, hash_value(h.exact), folded ? hash_value(h.folded) : 0, k + 1 == parts.size());
    }
}

// Hashes and what goes with them, in slots (open addressing), for one
// share of the keys. Key 0 marks a free slot: a hash of 0 is taken for 1.
template <typename Value>
struct hash_table {
    struct slot {
        uint64_t key;
        Value value;
    };
    std::vector<slot> slots;
    size_t used = 0;

    void clear(size_t capacity) {
        slots.assign(capacity, slot{0, Value{}});
        used = 0;
    }
    slot* place(uint64_t key) {
        key = key ? key : 1;
        for (size_t k = static_cast<size_t>(key) & (slots.size() - 1);; k = (k + 1) & (slots.size() - 1))
            if (slots[k].key == key || slots[k].key == 0) return &slots[k];
    }
    // The value under `key`; when there was none, `value` is put there.
    Value& take(uint64_t key, const Value& value, bool* fresh) {
        if (4 * (used + 1) > 3 * slots.size()) grow();
        slot* at = place(key);
        *fresh = at->key == 0;
        if (*fresh) {
            *at = slot{key ? key : 1, value};
            ++used;
        }
        return at->value;
    }
    const Value* find(uint64_t key) {
        slot* at = place(key);
        return at->key ? &at->value : nullptr;
    }
    void grow() {
        std::vector<slot> old = std::move(slots);
        clear(old.size() * 2);
        bool fresh;
        for (const slot& s : old)
            if (s.key) take(s.key, s.value, &fresh);
    }
};

// How many shares `total` keys go in, each a table of at most
// `share_bytes`, at most three quarters full; and the slots of each.
template <typename Value>
std::pair<uint64_t, size_t> shares_for(uint64_t total, uint64_t share_bytes) {
    size_t slots = 16;
    while (static_cast<uint64_t>(slots) * 2 * sizeof(typename hash_table<Value>::slot) <= share_bytes) slots *= 2;
    uint64_t per_share = slots / 4 * 3;
    uint64_t shares = std::max<uint64_t>(1, (total + total / 8 + per_share - 1) / per_share);
    uint64_t keys = total / shares + 1;
    while (slots > 16 && keys * 2 <= slots) slots /= 2;
    return {shares, slots};
}

// The first walk: what each entry is, by itself. The paths that may be
// written, counted once while they are among the last million or so seen
// (folders shared by many names are counted about once): at least the keys
// the case check may have to keep.
uint64_t judge_entries(archive_file& archive, export_plan& plan) {
    uint64_t paths = 0;
    header_reader headers;
    prefix_hashes h;
    std::vector<uint64_t> seen(size_t{1} << 20);  // a path's hash, in the slot its low bits pick
    each_entry(archive, [&](const walked_entry& e) {
        bgra_image img;
        export_state s = export_state::written;
        bool image = is_image(archive, headers, e.data_offset, e.entry, plan.directory, &img);
        if (headers.unread) fail("Error reading BGRA header.\n");
        if (!image) {
            s = export_state::not_image;
        } else if (img.width == 0 || img.height == 0) {
            s = export_state::empty;
        } else {
            for (const std::string& part : path_of_name(name_of(e)))
                if (part.size() > longest_part) s = export_state::too_long;
        }
        set_state(plan, e.index, s);
        if (s != export_state::written) return;
        each_prefix(h, e, false, [&](size_t, uint64_t exact, uint64_t, bool) {
            uint64_t& slot = seen[exact & (seen.size() - 1)];
            if (slot == exact) return;
            slot = exact;
            ++paths;
        });
    });
    return paths;
}

// An image entry whose name an earlier entry (an image or not) has.
void judge_shadowed(archive_file& archive, export_plan& plan, uint64_t share_bytes, uint64_t entries) {
    const std::pair<uint64_t, size_t> sizing = shares_for<uint32_t>(entries, share_bytes);
    const uint64_t shares = sizing.first;
    const size_t slots = sizing.second;
    hash_table<uint32_t> first;
    for (uint64_t share = 0; share < shares; ++share) {
        first.clear(slots);
        each_entry(archive, [&](const walked_entry& e) {
            uint64_t key = hash_bytes(e.name, e.name_length);
            bool fresh;
            if (key % shares != share) return;
            (void)first.take(key, e.index, &fresh);
            if (!fresh && state_of(plan, e.index) != export_state::not_image)
                set_state(plan, e.index, export_state::shadowed);
        });
    }
}

// Of an entry's file and another's folder at the same path, the later is
// skipped (whether or not the earlier is written).
void judge_file_and_folder(archive_file& archive, export_plan& plan, uint64_t share_bytes, uint64_t files) {
    const std::pair<uint64_t, size_t> sizing = shares_for<uint32_t>(files, share_bytes);
    const uint64_t shares = sizing.first;
    const size_t slots = sizing.second;
    auto taking_part = [&](const walked_entry& e) {
        export_state s = state_of(plan, e.index);
        return s == export_state::written || s == export_state::under_a_file;
    };
    hash_table<uint32_t> file_at;
    prefix_hashes h;
    for (uint64_t share = 0; share < shares; ++share) {
        file_at.clear(slots);
        each_entry(archive, [&](const walked_entry& e) {
            if (!taking_part(e)) return;
            each_prefix(h, e, false, [&](size_t, uint64_t key, uint64_t, bool file) {
                bool fresh;
                if (file && key % shares == share) (void)file_at.take(key, e.index, &fresh);
            });
        });
        each_entry(archive, [&](const walked_entry& e) {
            if (!taking_part(e)) return;
            each_prefix(h, e, false, [&](size_t, uint64_t key, uint64_t, bool file) {
                if (file || key % shares != share) return;
                if (const uint32_t* f = file_at.find(key))
                    set_state(plan, std::max(*f, e.index), export_state::under_a_file);
            });
        });
    }
}

// The stored name of entry `index`.
std::string name_at(archive_file& archive, uint32_t index) {
    std::string name;
    each_entry(archive, [&](const walked_entry& e) {
        if (e.index == index) name = std::string(name_of(e));
    });
    return name;
}

// Two written paths that differ only in letter case: the pair whose later
// entry comes first.
void judge_case(archive_file& archive, export_plan& plan, uint64_t share_bytes, uint64_t parts) {
    struct first_path {
        uint64_t exact;
        uint32_t index;
    };
    const std::pair<uint64_t, size_t> sizing = shares_for<first_path>(parts, share_bytes);
    const uint64_t shares = sizing.first;
    const size_t slots = sizing.second;
    uint32_t first = 0, later = UINT32_MAX;
    hash_table<first_path> taken;
    prefix_hashes h;
    std::vector<uint64_t> before;  // the last written entry's prefixes, already taken
    for (uint64_t share = 0; share < shares; ++share) {
        taken.clear(slots);
        before.clear();
        each_entry(archive, [&](const walked_entry& e) {
            if (state_of(plan, e.index) != export_state::written) return;
            each_prefix(h, e, true, [&](size_t depth, uint64_t exact, uint64_t key, bool) {
                bool again = depth < before.size() && before[depth] == exact;
                before.resize(depth + 1);
                before[depth] = exact;
                bool fresh;
                if (again || key % shares != share) return;
                const first_path& had = taken.take(key, first_path{exact, e.index}, &fresh);
                if (!fresh && had.exact != exact && e.index < later) {
                    first = had.index;
                    later = e.index;
                }
            });
        });
    }
    if (later == UINT32_MAX) return;
    fail("Error: %s and %s would be written to paths that differ only in letter case, which Windows and macOS take "
         "for one; nothing was written.\n",
         shown_name(name_at(archive, first)).c_str(), shown_name(name_at(archive, later)).c_str());
}

}  // namespace

export_state state_of(const export_plan& plan, uint32_t index) {
    return static_cast<export_state>((plan.states[index / 2] >> ((index % 2) * 4)) & 0xF);
}

export_plan plan_export(archive_file& archive, uint64_t share_bytes) {
    export_plan plan;
    directory_walk walk;
    start_walk(archive, false, &walk);
    check_names(walk);
    plan.directory = walked_span(walk);
    const uint32_t entries = walk.entry_count;
    plan.states.assign((static_cast<size_t>(entries) + 1) / 2, 0);
    uint64_t parts = judge_entries(archive, plan);
    judge_shadowed(archive, plan, share_bytes, entries);
    judge_file_and_folder(archive, plan, share_bytes, entries);
    judge_case(archive, plan, share_bytes, parts);
    for (uint32_t k = 0; k < entries; ++k) ++plan.counts[static_cast<int>(state_of(plan, k))];
    return plan;
}

}  // namespace velmorin
