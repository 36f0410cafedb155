// The name -> id map. Its public face is a fixed array of bucket heads with
// chains in insertion order. Behind the array, in the same allocation, lives
// what keeps its cost independent of how names fall into buckets:
//  - the buckets in use, each with its chain's tail: adding is O(1) however
//    long a chain grows, and releasing visits only these buckets (walking all
//    57557 heads would touch every page of the array, which the anonymous
//    mapping otherwise leaves to the kernel);
//  - every distinct name with its first node, under a hash keyed per map: a
//    file of names built to collide in the bucket hash cannot make lookups
//    walk long chains.
#include <sys/mman.h>

#include <cassert>
#include <cstring>

#include "containers.h"
#include "sys_io.h"

namespace {

// An open-addressing table of (key, node); key 0 marks an empty slot.
struct Slot {
    uint64_t key;
    rux_name_id_node *node;
};

struct SlotTable {
    Slot *slots;
    uint64_t capacity;  // a power of two, or 0 before the first add
    uint64_t used;
};

struct MapIndex {
    SlotTable tails;  // key: bucket + 1; node: the chain's last node
    SlotTable names;  // key: keyed name hash (never 0); node: the name's first node
    uint64_t seed;
};

constexpr uint64_t kInitialSlots = 16;

size_t array_bytes() {
    return static_cast<size_t>(RUX_NAME_ID_MAP_BUCKETS) * sizeof(rux_name_id_node);
}

size_t mapping_bytes() {
    return array_bytes() + sizeof(MapIndex);
}

MapIndex *index_of(const rux_name_id_map *map) {
    static_assert(RUX_NAME_ID_MAP_BUCKETS * sizeof(rux_name_id_node) % alignof(MapIndex) == 0,
                  "the index follows the bucket array aligned");
    return reinterpret_cast<MapIndex *>(reinterpret_cast<uint8_t *>(map->buckets) + array_bytes());
}

uint64_t mix(uint64_t value) {
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdULL;
    value ^= value >> 33;
    value *= 0xc4ceb9fe1a85ec53ULL;
    return value ^ (value >> 33);
}

uint64_t keyed_hash(const MapIndex &index, const char *name) {
    uint64_t hash = index.seed;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(name); *c != 0; ++c) {
        hash = (hash ^ *c) * 0x100000001b3ULL;
    }
    hash = mix(hash);
    return hash == 0 ? 1 : hash;
}

// The slot holding `key` for which `matches` holds, or the empty slot where it
// would go. The table is never more than half full, so an empty slot exists.
template <typename Matches>
Slot *table_find(const SlotTable &table, uint64_t key, Matches matches) {
    const uint64_t mask = table.capacity - 1;
    for (uint64_t i = mix(key) & mask;; i = (i + 1) & mask) {
        Slot *slot = &table.slots[i];
        if (slot->key == 0 || (slot->key == key && matches(slot->node))) {
            return slot;
        }
    }
}

// Makes room for one more key, keeping the table at most half full. On
// failure the table is unchanged.
int table_reserve(SlotTable *table) {
    if (table->capacity != 0 && 2 * (table->used + 1) <= table->capacity) {
        return RUX_SUCCESS;
    }
    const uint64_t capacity = table->capacity == 0 ? kInitialSlots : 2 * table->capacity;
    auto *slots = static_cast<Slot *>(rux_sys_calloc(static_cast<size_t>(capacity), sizeof(Slot)));
    if (slots == nullptr) {
        return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
    }
    SlotTable grown{slots, capacity, table->used};
    for (uint64_t i = 0; i < table->capacity; ++i) {
        const Slot &old = table->slots[i];
        if (old.key != 0) {
            // Distinct entries of one key stay distinct: the new slot is the
            // first empty one on the key's probe sequence.
            *table_find(grown, old.key, [](const rux_name_id_node *) { return false; }) = old;
        }
    }
    rux_sys_free(table->slots);
    *table = grown;
    return RUX_SUCCESS;
}

Slot *find_tail(const MapIndex &index, uint64_t bucket) {
    return table_find(index.tails, bucket + 1, [](const rux_name_id_node *) { return true; });
}

Slot *find_name(const MapIndex &index, uint64_t hash, const char *name) {
    return table_find(index.names, hash, [name](const rux_name_id_node *node) {
        return std::strcmp(node->name, name) == 0;
    });
}

char *copy_name(const char *name) {
    const size_t length = std::strlen(name) + 1;
    char *copy = static_cast<char *>(rux_sys_malloc(length));
    if (copy != nullptr) {
        std::memcpy(copy, name, length);
    }
    return copy;
}

}  // namespace

uint64_t rux_name_hash(const char *name) {
    uint64_t hash = 5381;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(name); *c != 0; ++c) {
        hash = hash * 33 + *c;
    }
    return hash;
}

int rux_name_id_map_init(rux_name_id_map *map) {
    if (map == nullptr || map->buckets != nullptr || map->bucket_count != 0) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    // One anonymous mapping for the heads and the index behind them: the
    // kernel hands out zero pages as they are touched, so the pages of heads
    // that no name reaches cost nothing. (A heap allocation this size is
    // cleared in full by calloc once the allocator reuses freed memory for it,
    // which is most of what an open of a small file would cost.)
    void *memory = rux_sys_mmap(nullptr, mapping_bytes(), PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
    }
    map->buckets = static_cast<rux_name_id_node *>(memory);
    map->bucket_count = RUX_NAME_ID_MAP_BUCKETS;
    // The address is as good a key as any this process can't be made to guess.
    index_of(map)->seed = mix(reinterpret_cast<uintptr_t>(map->buckets) ^ 0x9e3779b97f4a7c15ULL);
    return RUX_SUCCESS;
}

// Adding a name twice stores it twice; lookups find the first. Everything that
// can fail (table room, the copy, the node) happens before anything is linked,
// so a failed add leaves the map as it was.
int rux_name_id_map_add(rux_name_id_map *map, const char *name, uint16_t id) {
    if (map == nullptr || map->buckets == nullptr || map->bucket_count == 0 || name == nullptr) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    assert(map->bucket_count == RUX_NAME_ID_MAP_BUCKETS);
    MapIndex &index = *index_of(map);
    const uint64_t bucket = rux_name_hash(name) % map->bucket_count;
    rux_name_id_node *head = &map->buckets[bucket];
    int result = table_reserve(&index.tails);
    if (result == RUX_SUCCESS) {
        result = table_reserve(&index.names);
    }
    if (result != RUX_SUCCESS) {
        return result;
    }
    char *copy = copy_name(name);
    if (copy == nullptr) {
        return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
    }
    rux_name_id_node *node = head;
    Slot *tail = find_tail(index, bucket);
    // Whether the bucket is in use comes from the tails, not from the head:
    // reading an untouched head first would map the zero page only for the
    // write that follows to fault again and copy it.
    if (tail->key != 0) {
        assert(head->name != nullptr && tail->node->next == nullptr);
        node = static_cast<rux_name_id_node *>(rux_sys_calloc(1, sizeof(rux_name_id_node)));
        if (node == nullptr) {
            rux_sys_free(copy);
            return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
        }
        tail->node->next = node;
    } else {
        tail->key = bucket + 1;
        ++index.tails.used;
    }
    tail->node = node;
    node->name = copy;
    node->id = id;
    node->next = nullptr;
    const uint64_t hash = keyed_hash(index, name);
    Slot *first = find_name(index, hash, name);
    if (first->key == 0) {
        *first = Slot{hash, node};
        ++index.names.used;
    }
    return RUX_SUCCESS;
}

uint16_t rux_name_id_map_lookup(const rux_name_id_map *map, const char *name) {
    if (map == nullptr || map->buckets == nullptr || map->bucket_count == 0 || name == nullptr) {
        return RUX_NAME_ID_NONE;
    }
    const MapIndex &index = *index_of(map);
    if (index.names.capacity == 0) {
        return RUX_NAME_ID_NONE;
    }
    const Slot *found = find_name(index, keyed_hash(index, name), name);
    return found->key == 0 ? RUX_NAME_ID_NONE : found->node->id;
}

int rux_name_id_map_release(rux_name_id_map *map) {
    if (map == nullptr || map->buckets == nullptr || map->bucket_count == 0) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    MapIndex &index = *index_of(map);
    for (uint64_t i = 0; i < index.tails.capacity; ++i) {
        const uint64_t key = index.tails.slots[i].key;
        if (key == 0) {
            continue;
        }
        rux_name_id_node *head = &map->buckets[key - 1];
        rux_sys_free(head->name);
        for (rux_name_id_node *node = head->next; node != nullptr;) {
            rux_name_id_node *next = node->next;
            rux_sys_free(node->name);
            rux_sys_free(node);
            node = next;
        }
        *head = rux_name_id_node{};
    }
    rux_sys_free(index.tails.slots);
    rux_sys_free(index.names.slots);
    index.tails = SlotTable{};
    index.names = SlotTable{};
    // The map is empty now: if the unmapping fails, it can be released again.
    if (rux_sys_munmap(map->buckets, mapping_bytes()) != 0) {
        return RUX_ERROR_IO;
    }
    *map = rux_name_id_map{};
    return RUX_SUCCESS;
}
