#include "sys/aligned.h"

#include <cstdlib>
#include <limits>

namespace sys {

void* MEMALLOC_ALIGN(size_t size, size_t alignment) {
    if (size > std::numeric_limits<size_t>::max() - alignment) return nullptr;
    return std::calloc(size + alignment, 1);
}

void MEMALLOC_FREE(void* block) {
    if (block) std::free(block);
}

bool AlignedBuffer::reset(size_t size) {
    block_.reset();
    data_ = nullptr;
    size_ = 0;
    void* b = MEMALLOC_ALIGN(size == 0 ? 1 : size);
    if (!b) return false;
    block_.reset(b);
    data_ = MEMADDR_ALIGN(b);
    size_ = size;
    return true;
}

}  // namespace sys
