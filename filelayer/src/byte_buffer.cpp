#include <cstring>

#include "containers.h"
#include "sys_io.h"

int rux_byte_buffer_init(rux_byte_buffer *buffer, uint64_t capacity) {
    if (buffer == nullptr || capacity == 0 || buffer->data != nullptr || buffer->size != 0 ||
        buffer->reserved != 0) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    if (capacity > SIZE_MAX) {
        return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
    }
    buffer->data = static_cast<uint8_t *>(rux_sys_calloc(capacity, 1));
    if (buffer->data == nullptr) {
        return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
    }
    buffer->reserved = capacity;
    return RUX_SUCCESS;
}

int rux_byte_buffer_append(rux_byte_buffer *buffer, const void *source, uint64_t length) {
    if (buffer == nullptr || buffer->data == nullptr || source == nullptr || length == 0 ||
        buffer->reserved == 0) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    if (length > UINT64_MAX - buffer->size) {
        return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
    }
    const uint64_t needed = buffer->size + length;
    if (needed > buffer->reserved) {
        const uint64_t capacity = rux_doubled_capacity(buffer->reserved, needed);
        void *grown = (capacity == 0 || capacity > SIZE_MAX)
                          ? nullptr
                          : rux_sys_realloc(buffer->data, static_cast<size_t>(capacity));
        if (grown == nullptr) {
            rux_sys_free(buffer->data);
            buffer->data = nullptr;
            return RUX_ERROR_MEMORY_ALLOCATION_FAILED;
        }
        buffer->data = static_cast<uint8_t *>(grown);
        std::memset(buffer->data + needed, 0, static_cast<size_t>(capacity - needed));
        buffer->reserved = capacity;
    }
    std::memcpy(buffer->data + buffer->size, source, static_cast<size_t>(length));
    buffer->size = needed;
    return RUX_SUCCESS;
}

int rux_byte_buffer_release(rux_byte_buffer *buffer) {
    if (buffer == nullptr) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    if (buffer->reserved == 0) {
        return RUX_SUCCESS;
    }
    if (buffer->data == nullptr) {
        return RUX_ERROR_INVALID_ARGUMENT;
    }
    rux_sys_free(buffer->data);
    *buffer = rux_byte_buffer{};
    return RUX_SUCCESS;
}
