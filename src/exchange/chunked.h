// Chunked<T>: a sequence that is cheap to copy and cheap to change a little.
//
// The phase program builder copies a tile's whole schedule for every placement
// it tries, changes a few elements and throws most copies away. Elements live
// in chunks of 128 behind atomic reference counts; a change copies only the
// chunks it touches that are still shared (copy-on-write), and copies never
// see each other's changes.
//
// Invariants: element i lives in chunk i / 128 at offset i % 128; every chunk
// but the last holds exactly 128 elements, the last 1 to 128; an empty
// sequence has no chunks. Index preconditions are the caller's arithmetic and
// are asserted in debug builds only.
//
// The chunk list is itself shared in groups of 32 chunk references, so a copy
// costs one count increment per 32 chunks rather than one per chunk; a change
// copies the group references on its way to a shared chunk as well. (The
// group size is a parameter only so that tests reach many groups cheaply.)
//
// A borrowed slice, a span from `chunk` and an iterator stay valid until this
// sequence (not a copy of it) is changed or destroyed, as with std::vector.
#pragma once

#include <algorithm>
#include <atomic>
#include <cassert>
#include <concepts>
#include <cstddef>
#include <iterator>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace tarn_exchange {

namespace chunked_detail {

inline constexpr std::size_t kChunkSize = 128;

// A fixed block of room for kCapacity items and its reference count. Items
// [0, size) are alive; the rest is raw storage.
template <class Item, std::size_t kCapacity>
class Block {
 public:
  Block() noexcept {}
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  ~Block() { std::destroy_n(items_, size_); }

  std::size_t size() const noexcept { return size_; }
  Item* data() noexcept { return items_; }
  const Item* data() const noexcept { return items_; }

  void push_back(Item item) noexcept {
    assert(size_ < kCapacity);
    std::construct_at(items_ + size_, std::move(item));
    ++size_;
  }

  // Insert at `offset` into a block with room left.
  void insert(std::size_t offset, Item item) noexcept {
    assert(size_ < kCapacity && offset <= size_);
    if (offset == size_) {
      push_back(std::move(item));
      return;
    }
    std::construct_at(items_ + size_, std::move(items_[size_ - 1]));
    std::move_backward(items_ + offset, items_ + size_ - 1, items_ + size_);
    items_[offset] = std::move(item);
    ++size_;
  }

  // Insert at `offset` into a full block; the item pushed off the end is
  // returned for the next block.
  Item insert_full(std::size_t offset, Item item) noexcept {
    assert(size_ == kCapacity && offset < kCapacity);
    Item carry = std::move(items_[kCapacity - 1]);
    std::move_backward(items_ + offset, items_ + kCapacity - 1, items_ + kCapacity);
    items_[offset] = std::move(item);
    return carry;
  }

  Item erase(std::size_t offset) noexcept {
    assert(offset < size_);
    Item removed = std::move(items_[offset]);
    std::move(items_ + offset + 1, items_ + size_, items_ + offset);
    --size_;
    std::destroy_at(items_ + size_);
    return removed;
  }

  void truncate(std::size_t n) noexcept {
    assert(n <= size_);
    std::destroy_n(items_ + n, size_ - n);
    size_ = n;
  }

 private:
  template <class, std::size_t>
  friend class BlockRef;

  std::atomic<std::size_t> refs_{1};
  std::size_t size_ = 0;
  union {
    Item items_[kCapacity];
  };
};

// Owning reference to a block. Copying increments the count; the last
// reference frees the block.
template <class Item, std::size_t kCapacity>
class BlockRef {
  using Node = Block<Item, kCapacity>;

 public:
  static BlockRef make() { return BlockRef(new Node()); }

  BlockRef(const BlockRef& other) noexcept : block_(other.block_) {
    // Relaxed suffices: the new reference is derived from one we hold.
    block_->refs_.fetch_add(1, std::memory_order_relaxed);
  }
  BlockRef(BlockRef&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  BlockRef& operator=(BlockRef other) noexcept {
    std::swap(block_, other.block_);
    return *this;
  }
  ~BlockRef() {
    if (block_ != nullptr && block_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete block_;
    }
  }

  Node& operator*() const noexcept { return *block_; }
  Node* operator->() const noexcept { return block_; }
  const Node* get() const noexcept { return block_; }

  // True when no other reference exists, so the block may change in place.
  // Acquire pairs with the release of other holders' decrements, so their
  // last reads of the block happen before our writes.
  bool unique() const noexcept { return block_->refs_.load(std::memory_order_acquire) == 1; }

  BlockRef clone() const {
    BlockRef copy = make();
    std::uninitialized_copy_n(block_->items_, block_->size_, copy.block_->items_);
    copy.block_->size_ = block_->size_;
    return copy;
  }

 private:
  explicit BlockRef(Node* block) noexcept : block_(block) {}

  Node* block_;
};

}  // namespace chunked_detail

// Result of Chunked::slice: borrows the elements when the range lies inside
// one chunk, owns a copy otherwise. Either way it reads as a span.
template <class T>
class ChunkedSlice {
 public:
  explicit ChunkedSlice(std::span<const T> borrowed) noexcept : items_(borrowed) {}
  explicit ChunkedSlice(std::vector<T> owned) noexcept : items_(std::move(owned)) {}

  std::span<const T> span() const noexcept {
    if (const auto* borrowed = std::get_if<std::span<const T>>(&items_)) return *borrowed;
    return std::span<const T>(std::get<std::vector<T>>(items_));
  }
  bool borrowed() const noexcept { return std::holds_alternative<std::span<const T>>(items_); }
  std::size_t size() const noexcept { return span().size(); }
  bool empty() const noexcept { return span().empty(); }
  const T& operator[](std::size_t index) const noexcept {
    assert(index < size());
    return span()[index];
  }
  auto begin() const noexcept { return span().begin(); }
  auto end() const noexcept { return span().end(); }

 private:
  std::variant<std::span<const T>, std::vector<T>> items_;
};

template <class T, std::size_t kChunksPerGroup = 32>
class Chunked {
  static_assert(kChunksPerGroup >= 1);
  static_assert(std::is_nothrow_move_constructible_v<T> && std::is_nothrow_move_assignable_v<T>,
                "elements are shifted inside chunks with no way back");
  static_assert(std::is_copy_constructible_v<T>, "shared chunks are copied before a change");

  static constexpr std::size_t kGroupSize = kChunksPerGroup;
  using Chunk = chunked_detail::Block<T, chunked_detail::kChunkSize>;
  using ChunkRef = chunked_detail::BlockRef<T, chunked_detail::kChunkSize>;
  using Group = chunked_detail::Block<ChunkRef, kGroupSize>;
  using GroupRef = chunked_detail::BlockRef<ChunkRef, kGroupSize>;

 public:
  static constexpr std::size_t kChunkSize = chunked_detail::kChunkSize;

  // Reads every element in order, chunk by chunk.
  class const_iterator {
   public:
    using iterator_concept = std::forward_iterator_tag;
    using iterator_category = std::forward_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = const T*;
    using reference = const T&;

    const_iterator() = default;

    reference operator*() const noexcept { return *item_; }
    pointer operator->() const noexcept { return item_; }
    const_iterator& operator++() noexcept {
      if (++item_ == chunk_end_) {
        // Groups and chunks are never empty, so the next one has an element.
        if (++slot_ == (*group_)->size()) {
          slot_ = 0;
          if (++group_ == groups_end_) {
            item_ = nullptr;  // the end iterator
            return *this;
          }
        }
        enter_chunk();
      }
      return *this;
    }
    const_iterator operator++(int) noexcept {
      const_iterator old = *this;
      ++*this;
      return old;
    }
    // Every element has its own address, and the end iterator has none.
    friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept {
      return a.item_ == b.item_;
    }

   private:
    friend class Chunked;
    const_iterator(const GroupRef* group, const GroupRef* groups_end) noexcept
        : group_(group), groups_end_(groups_end) {
      if (group_ != groups_end_) enter_chunk();
    }
    void enter_chunk() noexcept {
      const Chunk& chunk = *(*group_)->data()[slot_];
      item_ = chunk.data();
      chunk_end_ = item_ + chunk.size();
    }

    const GroupRef* group_ = nullptr;
    const GroupRef* groups_end_ = nullptr;
    std::size_t slot_ = 0;
    const T* item_ = nullptr;
    const T* chunk_end_ = nullptr;
  };
  using iterator = const_iterator;
  using value_type = T;
  using size_type = std::size_t;

  Chunked() = default;

  std::size_t len() const noexcept { return len_; }
  std::size_t size() const noexcept { return len_; }
  bool empty() const noexcept { return len_ == 0; }

  const T& operator[](std::size_t index) const noexcept {
    assert(index < len_);
    return chunk_at(index / kChunkSize).data()[index % kChunkSize];
  }

  void set(std::size_t index, T value) {
    assert(index < len_);
    unique_chunk(index / kChunkSize).data()[index % kChunkSize] = std::move(value);
  }

  void push(T value) {
    if (len_ % kChunkSize == 0) append_chunk();
    unique_chunk(len_ / kChunkSize).push_back(std::move(value));
    ++len_;
  }

  // Two values in order (the two words of one instruction).
  void extend(T first, T second) {
    push(std::move(first));
    push(std::move(second));
  }

  // Shifts the later elements of the chunk up; a full chunk hands its last
  // element to the front of the next one, and so on to the end.
  void insert(std::size_t index, T value) {
    assert(index <= len_);
    if (index == len_) {
      push(std::move(value));
      return;
    }
    std::size_t k = index / kChunkSize;
    std::size_t offset = index % kChunkSize;
    while (true) {
      if (k == chunk_count()) {
        append_chunk();
        unique_chunk(k).push_back(std::move(value));
        break;
      }
      Chunk& chunk = unique_chunk(k);
      if (chunk.size() < kChunkSize) {
        chunk.insert(offset, std::move(value));
        break;
      }
      value = chunk.insert_full(offset, std::move(value));
      ++k;
      offset = 0;
    }
    ++len_;
  }

  // Shifts the later elements down; each following chunk hands its first
  // element to the end of the chunk before it.
  T remove(std::size_t index) {
    assert(index < len_);
    const std::size_t chunks = chunk_count();
    const std::size_t k = index / kChunkSize;
    Chunk* previous = &unique_chunk(k);
    T removed = previous->erase(index % kChunkSize);
    for (std::size_t j = k + 1; j < chunks; ++j) {
      const Chunk& current = chunk_at(j);
      if (j + 1 == chunks && current.size() == 1) {
        // This chunk is about to be dropped: copying it first would be waste.
        previous->push_back(T(current.data()[0]));
        break;
      }
      Chunk& chunk = unique_chunk(j);
      previous->push_back(chunk.erase(0));
      previous = &chunk;
    }
    --len_;
    if (len_ % kChunkSize == 0) drop_last_chunk();
    return removed;
  }

  void truncate(std::size_t new_len) {
    assert(new_len <= len_);
    const std::size_t keep_chunks = (new_len + kChunkSize - 1) / kChunkSize;
    const std::size_t keep_groups = (keep_chunks + kGroupSize - 1) / kGroupSize;
    groups_.erase(groups_.begin() + static_cast<std::ptrdiff_t>(keep_groups), groups_.end());
    // Whatever keeps all its items stays shared.
    const std::size_t last_group_chunks = keep_chunks - (keep_groups == 0 ? 0 : (keep_groups - 1) * kGroupSize);
    if (keep_groups != 0 && groups_.back()->size() != last_group_chunks) {
      unique_group(keep_groups - 1).truncate(last_group_chunks);
    }
    const std::size_t tail = new_len % kChunkSize;
    if (tail != 0 && chunk_at(keep_chunks - 1).size() != tail) {
      unique_chunk(keep_chunks - 1).truncate(tail);
    }
    len_ = new_len;
  }

  // Borrowed when [start, end) lies inside one chunk, an owned copy otherwise.
  ChunkedSlice<T> slice(std::size_t start, std::size_t end) const {
    assert(start <= end && end <= len_);
    if (start == end) return ChunkedSlice<T>(std::span<const T>());
    if (start / kChunkSize == (end - 1) / kChunkSize) {
      return ChunkedSlice<T>(
          std::span<const T>(chunk_at(start / kChunkSize).data() + start % kChunkSize, end - start));
    }
    return ChunkedSlice<T>(to_vector(start, end));
  }

  std::vector<T> to_vector(std::size_t start, std::size_t end) const {
    std::vector<T> out;
    out.reserve(end - start);
    append_to(out, start, end);
    return out;
  }

  // Appends elements [start, end) to `out`, one chunk piece at a time.
  void append_to(std::vector<T>& out, std::size_t start, std::size_t end) const {
    assert(start <= end && end <= len_);
    while (start < end) {
      const std::size_t offset = start % kChunkSize;
      const std::size_t count = std::min(end - start, kChunkSize - offset);
      const T* items = chunk_at(start / kChunkSize).data() + offset;
      out.insert(out.end(), items, items + count);
      start += count;
    }
  }

  const_iterator begin() const noexcept {
    return const_iterator(groups_.data(), groups_.data() + groups_.size());
  }
  const_iterator end() const noexcept { return const_iterator(); }

  std::size_t chunk_count() const noexcept { return (len_ + kChunkSize - 1) / kChunkSize; }
  // The elements of chunk k; equal data() of two sequences means a shared chunk.
  std::span<const T> chunk(std::size_t k) const noexcept {
    assert(k < chunk_count());
    const Chunk& c = chunk_at(k);
    return std::span<const T>(c.data(), c.size());
  }

  // Shared groups and chunks compare without reading their elements.
  friend bool operator==(const Chunked& a, const Chunked& b)
    requires std::equality_comparable<T>
  {
    if (a.len_ != b.len_) return false;
    for (std::size_t g = 0; g < a.groups_.size(); ++g) {
      const Group& x = *a.groups_[g];
      const Group& y = *b.groups_[g];
      if (&x == &y) continue;
      for (std::size_t s = 0; s < x.size(); ++s) {
        const Chunk& cx = *x.data()[s];
        const Chunk& cy = *y.data()[s];
        if (&cx != &cy && !std::equal(cx.data(), cx.data() + cx.size(), cy.data())) return false;
      }
    }
    return true;
  }

 private:
  const Chunk& chunk_at(std::size_t k) const noexcept {
    return *groups_[k / kGroupSize]->data()[k % kGroupSize];
  }

  Group& unique_group(std::size_t g) {
    GroupRef& ref = groups_[g];
    if (!ref.unique()) ref = ref.clone();
    return *ref;
  }

  // A chunk changes in place only when neither it nor its group is shared.
  Chunk& unique_chunk(std::size_t k) {
    ChunkRef& ref = unique_group(k / kGroupSize).data()[k % kGroupSize];
    if (!ref.unique()) ref = ref.clone();
    return *ref;
  }

  // Adds an empty chunk after the last one; the caller fills it at once.
  void append_chunk() {
    const std::size_t chunks = chunk_count();
    if (chunks % kGroupSize == 0) groups_.push_back(GroupRef::make());
    unique_group(groups_.size() - 1).push_back(ChunkRef::make());
  }

  // Drops the last chunk, which the caller has just emptied.
  void drop_last_chunk() {
    if (groups_.back()->size() == 1) {
      groups_.pop_back();
    } else {
      Group& group = unique_group(groups_.size() - 1);
      group.truncate(group.size() - 1);
    }
  }

  std::vector<GroupRef> groups_;
  std::size_t len_ = 0;
};

// The first index at or after `from` whose element does not satisfy
// `before`, which must hold for a prefix of the elements (a bisection).
template <class T, std::size_t G, class Before>
[[nodiscard]] std::size_t partition_point(const Chunked<T, G>& items, std::size_t from, Before before) {
  std::size_t low = from;
  std::size_t high = items.len();
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    if (before(items[middle])) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

}  // namespace tarn_exchange
