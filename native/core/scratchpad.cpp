// A bump-pointer arena of fixed capacity. It never grows: a request that outruns its scratch
// space gets a refusal and falls back to ordinary allocation, which keeps the arena's memory
// bounded per pooled request.
#include "scratchpad.h"

#include <cstdint>
#include <cstdlib>

namespace {
constexpr size_t kBufferAlignment = 64;  // one cache line; the callers' default alignment
}

extern "C" qmk_err scratchpad_init(ScratchpadArena *arena, size_t capacity) {
    if (!arena) return QMK_ERR_BAD_ARG;
    arena->buffer = nullptr;
    arena->capacity = 0;
    arena->offset = 0;
    arena->is_dynamic = 0;
    if (capacity == 0) return QMK_OK;
    if (capacity > SIZE_MAX - (kBufferAlignment - 1)) return QMK_ERR_OVERFLOW;
    // aligned_alloc wants a size that is a multiple of the alignment.
    const size_t rounded = (capacity + kBufferAlignment - 1) & ~(kBufferAlignment - 1);
    void *memory = std::aligned_alloc(kBufferAlignment, rounded);
    if (!memory) return QMK_ERR_NOMEM;
    arena->buffer = static_cast<unsigned char *>(memory);
    arena->capacity = capacity;
    arena->is_dynamic = 1;
    return QMK_OK;
}

extern "C" qmk_err scratchpad_alloc(ScratchpadArena *arena, size_t size, size_t alignment,
                                    void **out) {
    if (!arena || !out) return QMK_ERR_BAD_ARG;
    if (alignment == 0) alignment = 1;
    if (alignment & (alignment - 1)) return QMK_ERR_BAD_ARG;
    if (!arena->buffer) return QMK_ERR_ARENA_EXHAUSTED;
    // Align the address, not the offset: an alignment above the buffer's own must still hold.
    const uintptr_t base = reinterpret_cast<uintptr_t>(arena->buffer);
    const uintptr_t cursor = base + arena->offset;
    if (cursor > UINTPTR_MAX - (alignment - 1)) return QMK_ERR_OVERFLOW;
    const uintptr_t start = (cursor + alignment - 1) & ~static_cast<uintptr_t>(alignment - 1);
    const size_t start_offset = start - base;
    if (start_offset > arena->capacity || size > arena->capacity - start_offset)
        return QMK_ERR_ARENA_EXHAUSTED;
    *out = arena->buffer + start_offset;
    arena->offset = start_offset + size;
    return QMK_OK;
}

extern "C" void scratchpad_destroy(ScratchpadArena *arena) {
    if (!arena) return;
    if (arena->is_dynamic) std::free(arena->buffer);
    arena->buffer = nullptr;
    arena->capacity = 0;
    arena->offset = 0;
    arena->is_dynamic = 0;
}
