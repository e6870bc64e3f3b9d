// A BlockSource for tests: blocks from malloc, with a record of every block
// asked for and given back, and a switch that makes it run out of memory.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/bytes.hpp"

namespace korrin::test_support {

class RecordingSource {
  public:
    RecordingSource() : source_{this, acquire, release} {}
    RecordingSource(const RecordingSource&) = delete;
    RecordingSource& operator=(const RecordingSource&) = delete;

    const BlockSource* get() const noexcept { return &source_; }

    bool exhausted = false;          // when set, every request fails
    std::vector<std::size_t> sizes;  // the size of each block asked for
    std::size_t released = 0;        // blocks given back
    std::size_t outstanding() const noexcept { return sizes.size() - failed_ - released; }

  private:
    static std::uint8_t* acquire(void* context, std::size_t size, void** handle) noexcept {
        auto* self = static_cast<RecordingSource*>(context);
        self->sizes.push_back(size);
        if (self->exhausted) {
            ++self->failed_;
            return nullptr;
        }
        void* block = std::malloc(size == 0 ? 1 : size);
        *handle = block;
        return static_cast<std::uint8_t*>(block);
    }
    static void release(void* context, void* handle) noexcept {
        ++static_cast<RecordingSource*>(context)->released;
        std::free(handle);
    }

    BlockSource source_;
    std::size_t failed_ = 0;
};

}  // namespace korrin::test_support
