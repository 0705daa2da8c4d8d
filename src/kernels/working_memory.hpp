// Memory for the arrays a call needs only while it runs, kept by the thread
// between its calls.
//
// A call on 10^4 boxes allocates and frees megabytes of arrays.  Once glibc
// has handed the freed top of its heap back to the system, the next call
// faults every page in again: about 570 page faults for `nms` on 10^4 boxes,
// a fifth of its time.  A thread keeps one block instead, as large as its
// largest call needed (up to `kept_at_most`), and a call carves its arrays
// from it; what does not fit comes from the heap, and the block grows for
// the next call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <new>

namespace halvex::kernels {

class CallMemory final : public std::pmr::memory_resource {
public:
    static constexpr std::size_t kept_at_most = std::size_t{64} << 20;

    // Takes the thread's block, unless a call further up this thread holds it.
    CallMemory() {
        Kept& kept = thread_kept();
        if (kept.held) return;
        kept.held = holds_ = true;
        block_ = kept.block.get();
        size_ = kept.size;
    }

    // Gives the block back, grown to what this call asked for in all.
    ~CallMemory() override {
        if (!holds_) return;
        Kept& kept = thread_kept();
        if (asked_ > kept.size && asked_ <= kept_at_most) {
            kept.block.reset();
            kept.block.reset(new (std::nothrow) std::byte[asked_]);
            kept.size = kept.block ? asked_ : 0;
        }
        kept.held = false;
    }

    CallMemory(const CallMemory&) = delete;
    CallMemory& operator=(const CallMemory&) = delete;

private:
    struct Kept {
        std::unique_ptr<std::byte[]> block;
        std::size_t size = 0;
        bool held = false;
    };
    static Kept& thread_kept() {
        thread_local Kept kept;
        return kept;
    }

    // Arrays are carved one after the other and never reused within the
    // call: a call's arrays live about as long as the call.
    void* do_allocate(std::size_t bytes, std::size_t alignment) override {
        asked_ += bytes + alignment;
        const auto base = reinterpret_cast<std::uintptr_t>(block_);
        const std::size_t start = ((base + used_ + alignment - 1) & ~(std::uintptr_t{alignment} - 1)) - base;
        if (block_ != nullptr && start <= size_ && bytes <= size_ - start) {
            used_ = start + bytes;
            return block_ + start;
        }
        return ::operator new(bytes, std::align_val_t{alignment});
    }

    void do_deallocate(void* pointer, std::size_t bytes, std::size_t alignment) override {
        const auto* byte = static_cast<const std::byte*>(pointer);
        if (block_ != nullptr && byte >= block_ && byte < block_ + size_) return;
        ::operator delete(pointer, bytes, std::align_val_t{alignment});
    }

    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

    std::byte* block_ = nullptr;
    std::size_t size_ = 0;   // of the block
    std::size_t used_ = 0;   // of the block, so far
    std::size_t asked_ = 0;  // by the call in all, with room for alignment
    bool holds_ = false;
};

}  // namespace halvex::kernels
