// Byte views (borrowed input) and byte buffers (owned output).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <utility>

#include "common/result.hpp"

namespace korrin {

// The core stores 16- and 32-bit samples with plain stores and reads the
// bit stream with byte-swapped wide loads: it is built for little-endian
// hosts only, and writes no branch for the other order.
static_assert(std::endian::native == std::endian::little, "the core assumes a little-endian host");

using ByteView = std::span<const std::uint8_t>;
using MutableByteView = std::span<std::uint8_t>;

// Room a producer leaves around its output so that a consumer can wrap it
// (a WAV header in front, a pad byte behind) without copying the body again.
struct Framing {
    std::size_t front = 0;
    std::size_t back = 0;
    bool back_if_odd = false;  // leave the back room only behind an odd number of bytes

    std::size_t back_for(std::size_t size) const noexcept { return back_if_odd && size % 2 == 0 ? 0 : back; }
};

// Where a caller wants its results' memory to come from: blocks of its own,
// such as the very objects it will hand on, so that a result is written once
// where it ends up. A block is asked for only once the result's exact size
// is known and every check before it has passed.
struct BlockSource {
    void* context = nullptr;
    // A block of `size` bytes, uninitialised, with a handle for `release`;
    // null when there is no memory.
    std::uint8_t* (*acquire)(void* context, std::size_t size, void** handle) noexcept = nullptr;
    // Gives a block back (the buffer holding it is gone).
    void (*release)(void* context, void* handle) noexcept = nullptr;
};

// An owned array of bytes, allocated once and not initialised: every producer
// writes each byte of its output exactly once. It may carry reserved room
// before and after its contents (see Framing), which `expand` reveals.
class ByteBuffer {
  public:
    ByteBuffer() noexcept = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& other) noexcept { swap(other); }
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        ByteBuffer(std::move(other)).swap(*this);
        return *this;
    }
    ~ByteBuffer() { drop(); }

    // A buffer of `size` bytes with `framing` reserved around them, from
    // `source` when one is given and from malloc otherwise, or an
    // OutOfMemory error. A source must outlive the buffers it fills.
    static Result<ByteBuffer> allocate(std::size_t size, Framing framing = {},
                                       const BlockSource* source = nullptr) noexcept {
        std::size_t total = size;
        if (__builtin_add_overflow(total, framing.front, &total) ||
            __builtin_add_overflow(total, framing.back_for(size), &total))
            return out_of_memory();
        ByteBuffer buffer;
        if (source != nullptr) {
            buffer.block_ = source->acquire(source->context, total, &buffer.handle_);
            if (buffer.block_ == nullptr) return out_of_memory();
            buffer.source_ = source;
        } else {
            // malloc(0) may return null; keep one byte so that null means failure.
            buffer.block_ = static_cast<std::uint8_t*>(std::malloc(total == 0 ? 1 : total));
            if (buffer.block_ == nullptr) return out_of_memory();
        }
        buffer.begin_ = framing.front;
        buffer.size_ = size;
        buffer.capacity_ = total;
        return buffer;
    }

    // A new buffer holding a copy of `bytes`.
    static Result<ByteBuffer> copy_of(ByteView bytes, Framing framing = {},
                                      const BlockSource* source = nullptr) noexcept {
        auto buffer = allocate(bytes.size(), framing, source);
        if (buffer && !bytes.empty()) __builtin_memcpy(buffer->data(), bytes.data(), bytes.size());
        return buffer;
    }

    std::uint8_t* data() noexcept { return block_ == nullptr ? nullptr : block_ + begin_; }
    const std::uint8_t* data() const noexcept { return block_ == nullptr ? nullptr : block_ + begin_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    std::uint8_t* begin() noexcept { return data(); }
    std::uint8_t* end() noexcept { return data() + size_; }
    const std::uint8_t* begin() const noexcept { return data(); }
    const std::uint8_t* end() const noexcept { return data() + size_; }

    ByteView view() const noexcept { return {data(), size_}; }
    MutableByteView mutable_view() noexcept { return {data(), size_}; }
    operator ByteView() const noexcept { return view(); }  // implicit: a buffer reads as a view

    // The source's handle of the block, when the block came from `source`
    // and the contents are the whole of it; null otherwise.
    void* whole_block_from(const BlockSource* source) const noexcept {
        return source_ == source && source != nullptr && begin_ == 0 && size_ == capacity_ ? handle_ : nullptr;
    }

    std::size_t front_room() const noexcept { return begin_; }
    std::size_t back_room() const noexcept { return capacity_ - begin_ - size_; }

    // Grows the contents into the reserved room: `front` bytes before them,
    // `back` bytes after. Returns false, changing nothing, when there is not
    // that much room. The revealed bytes are uninitialised.
    bool expand(std::size_t front, std::size_t back) noexcept {
        if (front > front_room() || back > back_room()) return false;
        begin_ -= front;
        size_ += front + back;
        return true;
    }

    // Keeps the `size` bytes that start `offset` bytes in (both cut to the
    // contents); the bytes dropped in front become front room, those dropped
    // behind become back room. Nothing moves.
    void narrow(std::size_t offset, std::size_t size) noexcept {
        if (offset > size_) offset = size_;
        if (size > size_ - offset) size = size_ - offset;
        begin_ += offset;
        size_ = size;
    }

    // Drops everything after the first `size` bytes (no effect when larger).
    void truncate(std::size_t size) noexcept {
        if (size < size_) size_ = size;
    }

    // Gives the buffer contents of `size` bytes with exactly `back` bytes of
    // room behind them, keeping the room in front and the first min(size,
    // old size) bytes; later bytes are uninitialised. The block may move.
    // On failure nothing changes.
    Result<void> resize(std::size_t size, std::size_t back) noexcept {
        std::size_t total = begin_;
        if (__builtin_add_overflow(total, size, &total) || __builtin_add_overflow(total, back, &total))
            return out_of_memory();
        if (total == 0) total = 1;
        if (total != capacity_) {
            // A source's blocks keep their size.
            if (source_ != nullptr) return out_of_memory();
            void* block = std::realloc(block_, total);
            if (block == nullptr) return out_of_memory();
            block_ = static_cast<std::uint8_t*>(block);
            capacity_ = total;
        }
        size_ = size;
        return ok();
    }

    void swap(ByteBuffer& other) noexcept {
        std::swap(block_, other.block_);
        std::swap(begin_, other.begin_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        std::swap(source_, other.source_);
        std::swap(handle_, other.handle_);
    }

  private:
    void drop() noexcept {
        if (source_ != nullptr)
            source_->release(source_->context, handle_);
        else
            std::free(block_);
    }

    const BlockSource* source_ = nullptr;  // null: the block is malloc's
    void* handle_ = nullptr;
    std::uint8_t* block_ = nullptr;
    std::size_t begin_ = 0;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace korrin
