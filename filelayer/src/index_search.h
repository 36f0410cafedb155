// The searches of the mapped index that series and frame reads make.
//
// Frame and series reads must find exactly the chunks that rux_find_chunk
// finds, on any file. On a sorted index any walk agrees with its binary
// searches, but an index need not be sorted: a trusted commit record vouches
// for the committed entries without looking at them, and a count probes only
// some. One entry out of order sends the plain searches elsewhere than a walk
// goes. So these reads repeat the plain searches, probe for probe:
//  (1) rux_index_search gives, for each key, the result of
//      rux_index_find_sorted (version 2 layout) or the position from which
//      rux_index_find_in_frame walks back (version 1 layout), with the same
//      probes. A run of keys costs only the probes in which a key's path
//      leaves the previous key's (three or so for consecutive frames, but
//      far apart in the index, so about four times a walk's cost); series
//      reads walk instead once rux_index_check_order found the index in
//      order.
//  (2) rux_index_for_each_in_frame visits, for one frame, every entry that
//      rux_index_find_sorted returns for some id of that frame, in id order.
//  (3) Probes only steer, as in rux_find_chunk; every entry that a read then
//      uses is checked to be sound, so that a damaged one makes the read
//      fail as corrupt, naming the frame whose chunk it is.
#ifndef RUX_INDEX_SEARCH_H
#define RUX_INDEX_SEARCH_H

#include <cassert>
#include <cstdint>

#include "containers.h"
#include "handle_ops.h"

// Whether an entry met in the used part of the index is as the format says a
// used entry is (docs/format.md, "each must be used and valid"): location not
// 0, a known type, flags 0, frame below the index capacity, the id of a known
// name, and its bytes within the file. An empty chunk may lie anywhere: no
// byte is read for it (as rux_read_chunk's callers treat it).
inline bool rux_index_entry_is_sound(const rux_index_entry &entry, const rux_handle *handle) {
    const uint64_t element_size =
        entry.type < RUX_TYPE_CODE_COUNT ? RUX_TYPE_SIZES[entry.type] : 0;  // once per frame read
    uint64_t row_bytes = 0;
    uint64_t byte_count = 0;
    uint64_t end = 0;
    if (entry.location == 0 || element_size == 0 || entry.flags != 0 ||
        __builtin_mul_overflow(entry.N, element_size, &row_bytes) ||
        __builtin_mul_overflow(row_bytes, static_cast<uint64_t>(entry.M), &byte_count)) {
        return false;
    }
    if (byte_count != 0 &&
        (__builtin_add_overflow(static_cast<uint64_t>(entry.location), byte_count, &end) ||
         end > static_cast<uint64_t>(handle->file_size))) {
        return false;
    }
    return entry.frame < handle->header.index_allocated_entries &&
           entry.id < handle->file_names.count + handle->frame_names.count;
}

struct rux_index_search {
    static constexpr int64_t kNone = -1;

    explicit rux_index_search(const rux_handle *handle);
    // The position of (1) for the key; kNone when the version 2 search finds
    // nothing or the index is empty.
    int64_t find(uint64_t frame, uint16_t id);

  private:
    // (frame, id) as one number in the version 2 order. The version 1 search
    // looks at frames only and goes past every entry whose frame is not
    // above the key's: its entries count with id 0 and its keys with id
    // 0xFFFF, so that one comparison serves both, and never finds.
    __extension__ typedef unsigned __int128 Key;
    static constexpr Key kNoKey = ~static_cast<Key>(0);

    // One probe: the range it split, the probed entry and which way the key
    // went (-1: past the entry, 1: before it, 0: found it). Over this probe
    // and the ones above it, the smallest entry the key went before and the
    // largest it went past (plus one; 0 for none). A larger key passes a
    // probe above the other way only if the smallest entry it went before is
    // not above it; a smaller key, only if the largest one it went past is not
    // below it. So the first probe that a new key passes otherwise is found
    // by walking up from the last one while the next one up still changes.
    struct Step {
        int64_t lo;
        int64_t hi;
        Key entry;
        Key least_before;
        Key most_past_plus_one;
        int8_t way;
    };
    // Ranges halve at every probe, so no search of 2^63 entries takes more.
    static constexpr int kMaxSteps = 66;

    Key entry_key(const rux_index_entry &entry) const;
    int first_changed_step(Key key) const;
    int64_t search_from(int step, int64_t lo, int64_t hi, Key key);

    const rux_index_buffer &index_;
    bool v2_;
    Step steps_[kMaxSteps];
    int step_count_ = 0;
    bool searched_ = false;
    Key last_ = 0;
    int64_t last_result_ = kNone;
};

// Extends handle->index_checked_entries over the used entries while each is
// not before the one ahead of it (by (frame, id) in the version 2 layout, by
// frame in the version 1 layout); true when it covers them all. On an index
// in order, a walk meets what rux_find_chunk's searches meet.
bool rux_index_check_order(rux_handle *handle);

// (2): calls visit(position) for every entry that rux_index_find_sorted
// returns for (frame, id) for some id, in increasing id. The probes of
// the searches for every id of the frame form one tree: a probe of another
// frame sends all of them the same way, one of this frame splits them at its
// id. Walking that tree costs O(log n + chunks of the frame) on a sorted index.
template <typename Visit>
void rux_index_for_each_in_frame(const rux_index_buffer &index, uint64_t frame, int64_t lo,
                                 int64_t hi, int32_t ids_above, int32_t ids_below, Visit &visit) {
    while (lo <= hi && ids_above + 1 < ids_below) {
        const int64_t mid = lo + (hi - lo) / 2;
        const rux_index_entry entry = rux_index_entry_load(&index.data[mid]);
        const int32_t id = entry.id;
        if (entry.frame < frame || (entry.frame == frame && id <= ids_above)) {
            lo = mid + 1;
        } else if (entry.frame > frame || id >= ids_below) {
            hi = mid - 1;
        } else {
            // The searches for smaller ids go left, for larger ones right.
            rux_index_for_each_in_frame(index, frame, lo, mid - 1, ids_above, id, visit);
            visit(mid);
            lo = mid + 1;
            ids_above = id;
        }
    }
}

#endif
