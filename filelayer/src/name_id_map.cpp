#include <cstring>

#include "containers.h"
#include "sys_io.h"

uint64_t rux_name_hash(const char *name) {
    uint64_t hash = 5381;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(name); *c != 0; ++c) {
        hash = hash * 33 + *c;
    }
    return hash;
}

static char *copy_name(const char *name) {
    const size_t length = std::strlen(name) + 1;
    char *copy = static_cast<char *>(rux_sys_malloc(length));
    if (copy != nullptr) {
        std::memcpy(copy, name, length);
    }
    return copy;
}

int rux_name_id_map_init(rux_name_id_map *map) {
    if (map == nullptr || map->buckets != nullptr || map->bucket_count != 0) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    map->buckets = static_cast<rux_name_id_node *>(
        rux_sys_calloc(RUX_NAME_ID_MAP_BUCKETS, sizeof(rux_name_id_node)));
    if (map->buckets == nullptr) {
        return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
    }
    map->bucket_count = RUX_NAME_ID_MAP_BUCKETS;
    return RUX_SUCCESS;
}

// Adding a name twice stores it twice; lookups find the first. The copy is
// made before any node is linked, so a failed allocation leaves no nameless
// node in a chain (which would hide the nodes behind it from lookups).
int rux_name_id_map_add(rux_name_id_map *map, const char *name, uint16_t id) {
    if (map == nullptr || map->buckets == nullptr || map->bucket_count == 0 || name == nullptr) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    char *copy = copy_name(name);
    if (copy == nullptr) {
        return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
    }
    rux_name_id_node *node = &map->buckets[rux_name_hash(name) % map->bucket_count];
    if (node->name != nullptr) {
        while (node->next != nullptr) {
            node = node->next;
        }
        auto *added = static_cast<rux_name_id_node *>(rux_sys_calloc(1, sizeof(rux_name_id_node)));
        if (added == nullptr) {
            rux_sys_free(copy);
            return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
        }
        node->next = added;
        node = added;
    }
    node->name = copy;
    node->id = id;
    node->next = nullptr;
    return RUX_SUCCESS;
}

uint16_t rux_name_id_map_lookup(const rux_name_id_map *map, const char *name) {
    if (map == nullptr || map->buckets == nullptr || map->bucket_count == 0 || name == nullptr) {
        return RUX_NAME_ID_NONE;
    }
    for (const rux_name_id_node *node = &map->buckets[rux_name_hash(name) % map->bucket_count];
         node != nullptr && node->name != nullptr; node = node->next) {
        if (std::strcmp(node->name, name) == 0) {
            return node->id;
        }
    }
    return RUX_NAME_ID_NONE;
}

int rux_name_id_map_release(rux_name_id_map *map) {
    if (map == nullptr || map->buckets == nullptr || map->bucket_count == 0) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    for (uint64_t bucket = 0; bucket < map->bucket_count; ++bucket) {
        rux_name_id_node *head = &map->buckets[bucket];
        rux_sys_free(head->name);
        for (rux_name_id_node *node = head->next; node != nullptr;) {
            rux_name_id_node *next = node->next;
            rux_sys_free(node->name);
            rux_sys_free(node);
            node = next;
        }
    }
    rux_sys_free(map->buckets);
    *map = rux_name_id_map{};
    return RUX_SUCCESS;
}
