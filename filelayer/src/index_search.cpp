// The searches of rux_find_chunk, repeated for runs of keys (index_search.h).
#include "index_search.h"

namespace {

template <typename Key>
int8_t way(Key entry, Key key) {
    return entry < key ? -1 : (entry > key ? 1 : 0);
}

}  // namespace

rux_index_search::rux_index_search(const rux_handle *handle)
    : index_(handle->file_index), v2_(rux_has_v2_layout(handle->header)) {}

rux_index_search::Key rux_index_search::entry_key(const rux_index_entry &entry) const {
    return static_cast<Key>(entry.frame) << 16 | (v2_ ? entry.id : 0u);
}

int rux_index_search::first_changed_step(Key key) const {
    int first = step_count_;
    if (key > last_) {
        while (first > 0 && steps_[first - 1].least_before <= key) {
            --first;
        }
    } else {
        while (first > 0 && steps_[first - 1].most_past_plus_one > key) {
            --first;
        }
    }
    // A found entry is passed one way or the other by any other key.
    if (first == step_count_ && step_count_ > 0 && steps_[step_count_ - 1].way == 0) {
        --first;
    }
    return first;
}

int64_t rux_index_search::find(uint64_t frame, uint16_t id) {
    if (index_.size == 0) {
        return kNone;
    }
    const Key key = static_cast<Key>(frame) << 16 | (v2_ ? id : 0xFFFFu);
    int first_new = 0;
    if (searched_) {
        if (key == last_) {
            return last_result_;
        }
        // The probes above the first one that this key passes the other way
        // are the same for both keys, and so are the ranges they leave.
        first_new = first_changed_step(key);
        if (first_new == step_count_) {
            // Every probe as before, so the same end: nothing found in the
            // version 2 layout, the same position in the version 1 layout.
            last_ = key;
            return last_result_;
        }
    }
    const auto size = static_cast<int64_t>(index_.size);
    const int64_t lo = first_new == 0 ? 0 : steps_[first_new].lo;
    const int64_t hi = first_new == 0 ? (v2_ ? size - 1 : size) : steps_[first_new].hi;
    return search_from(first_new, lo, hi, key);
}

int64_t rux_index_search::search_from(int step, int64_t lo, int64_t hi, Key key) {
    int64_t result = kNone;
    bool found = false;
    Key least_before = step == 0 ? kNoKey : steps_[step - 1].least_before;
    Key most_past_plus_one = step == 0 ? 0 : steps_[step - 1].most_past_plus_one;
    while (v2_ ? lo <= hi : hi - lo > 1) {
        assert(step < kMaxSteps);
        const int64_t mid = lo + (hi - lo) / 2;
        const rux_index_entry entry = rux_index_entry_load(&index_.data[mid]);
        const Key probed = entry_key(entry);
        const int8_t w = way(probed, key);
        if (w > 0 && probed < least_before) {
            least_before = probed;
        } else if (w < 0 && probed >= most_past_plus_one) {
            most_past_plus_one = probed + 1;
        }
        steps_[step++] = Step{lo, hi, probed, least_before, most_past_plus_one, w};
        if (w == 0) {
            result = mid;
            found = true;
            break;
        }
        if (w < 0) {
            lo = v2_ ? mid + 1 : mid;
        } else {
            hi = v2_ ? mid - 1 : mid;
        }
    }
    if (!found && !v2_) {
        result = lo;
    }
    step_count_ = step;
    searched_ = true;
    last_ = key;
    last_result_ = result;
    return result;
}

bool rux_index_check_order(rux_handle *handle) {
    const rux_index_buffer &index = handle->file_index;
    const bool v2 = rux_has_v2_layout(handle->header);
    uint64_t i = handle->index_checked_entries;
    rux_index_entry before{};
    if (i > 0) {
        before = rux_index_entry_load(&index.data[i - 1]);
    }
    for (; i < index.size; ++i) {
        const rux_index_entry entry = rux_index_entry_load(&index.data[i]);
        const bool ordered = i == 0 || before.frame < entry.frame ||
                             (before.frame == entry.frame && (!v2 || before.id <= entry.id));
        if (!ordered) {
            break;
        }
        before = entry;
    }
    handle->index_checked_entries = i;
    return i == index.size;
}
