// Records kept per item and found by item handle without hashing.
//
// The service hands out item handles whose low kItemIndexBits bits are a
// dense index + 1, with a generation above them that changes when the index
// is reused. A record lives at its handle's index and is checked against the
// whole handle, so a data change finds its item with one comparison and a
// table of 20,000 items costs a vector, not 20,000 nodes. A handle that does
// not fit that scheme (tests choose their own; an index still held by an
// older handle; an index far beyond the others) is kept in a hash map beside.
// The places come in fixed blocks that never move: growing the table copies
// nothing and leaves no freed copy of itself behind in the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ostrand {

constexpr int kItemIndexBits = 22;
constexpr uint32_t kItemIndexMask = (1u << kItemIndexBits) - 1;

template <typename T>
class ItemTable {
public:
    // `first` is the handle (0 while the place is free), `second` the record.
    struct Entry {
        uint32_t first = 0;
        T second{};
    };

    template <bool Const>
    class Iter {
        using Table = std::conditional_t<Const, const ItemTable, ItemTable>;
        using Overflow = std::conditional_t<Const, typename std::unordered_map<uint32_t, Entry>::const_iterator,
                                            typename std::unordered_map<uint32_t, Entry>::iterator>;

    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Entry;
        using difference_type = std::ptrdiff_t;
        using reference = std::conditional_t<Const, const Entry&, Entry&>;
        using pointer = std::conditional_t<Const, const Entry*, Entry*>;

        Iter() = default;
        reference operator*() const { return at_dense() ? t_->place(i_) : o_->second; }
        pointer operator->() const { return &**this; }
        Iter& operator++() {
            if (at_dense()) {
                ++i_;
                skip_free();
            } else {
                ++o_;
            }
            return *this;
        }
        friend bool operator==(const Iter& a, const Iter& b) { return a.i_ == b.i_ && (a.at_dense() || a.o_ == b.o_); }

    private:
        friend class ItemTable;
        Iter(Table* t, size_t i, Overflow o) : t_(t), i_(i), o_(o) { skip_free(); }
        bool at_dense() const { return i_ < t_->places_; }
        void skip_free() {
            while (at_dense() && t_->place(i_).first == 0) ++i_;
        }
        Table* t_ = nullptr;
        size_t i_ = 0; // places_ once in the overflow
        Overflow o_{};
    };
    using iterator = Iter<false>;
    using const_iterator = Iter<true>;

    iterator begin() { return iterator(this, 0, overflow_.begin()); }
    iterator end() { return iterator(this, places_, overflow_.end()); }
    const_iterator begin() const { return const_iterator(this, 0, overflow_.begin()); }
    const_iterator end() const { return const_iterator(this, places_, overflow_.end()); }

    iterator find(uint32_t handle) {
        const size_t i = index_of(handle);
        if (i < places_ && place(i).first == handle) return iterator(this, i, overflow_.begin());
        if (overflow_.empty()) return end();
        auto o = overflow_.find(handle);
        return o == overflow_.end() ? end() : iterator(this, places_, o);
    }
    const_iterator find(uint32_t handle) const {
        const size_t i = index_of(handle);
        if (i < places_ && place(i).first == handle) return const_iterator(this, i, overflow_.begin());
        if (overflow_.empty()) return end();
        auto o = overflow_.find(handle);
        return o == overflow_.end() ? end() : const_iterator(this, places_, o);
    }
    // The record of `handle`, or null: find() without an iterator, for the
    // paths every data change takes.
    T* get(uint32_t handle) {
        const size_t i = index_of(handle);
        if (i < places_) {
            Entry& e = place(i);
            if (e.first == handle) return &e.second;
        }
        if (overflow_.empty()) return nullptr;
        auto o = overflow_.find(handle);
        return o == overflow_.end() ? nullptr : &o->second.second;
    }
    T& at(uint32_t handle) {
        auto it = find(handle);
        if (it == end()) throw std::out_of_range("ItemTable::at");
        return it->second;
    }

    // The record of `handle`, made (value-initialised) when there was none.
    std::pair<iterator, bool> try_emplace(uint32_t handle) {
        if (auto it = find(handle); it != end()) return {it, false};
        const size_t i = index_of(handle);
        // The vector grows for indexes near the ones in use, never for a stray one.
        if (handle != 0 && i >= places_ && i < 2 * places_ + kDenseSlack) grow(i + 1);
        if (handle != 0 && i < places_ && place(i).first == 0) {
            place(i).first = handle;
            ++size_;
            return {iterator(this, i, overflow_.begin()), true};
        }
        auto [o, added] = overflow_.try_emplace(handle);
        o->second.first = handle;
        ++size_;
        return {iterator(this, places_, o), true};
    }
    T& operator[](uint32_t handle) { return try_emplace(handle).first->second; }

    // Erases the record `it` points at; the iterator to the next one.
    iterator erase(iterator it) {
        --size_;
        if (it.at_dense()) {
            Entry& e = place(it.i_);
            e.first = 0;
            std::destroy_at(&e.second); // the place keeps no memory of the record
            std::construct_at(&e.second);
            ++it;
            return it;
        }
        return iterator(this, places_, overflow_.erase(it.o_));
    }
    size_t erase(uint32_t handle) {
        auto it = find(handle);
        if (it == end()) return 0;
        erase(it);
        return 1;
    }
    template <typename Pred>
    size_t erase_if(Pred pred) {
        size_t n = 0;
        for (auto it = begin(); it != end();) {
            if (pred(*it)) {
                it = erase(it);
                ++n;
            } else {
                ++it;
            }
        }
        return n;
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() {
        blocks_.clear();
        places_ = 0;
        overflow_.clear();
        size_ = 0;
    }

private:
    static constexpr size_t kDenseSlack = 1024;
    // (handle & mask) - 1; a handle with no index bits wraps to SIZE_MAX.
    static size_t index_of(uint32_t handle) { return static_cast<size_t>(handle & kItemIndexMask) - 1; }

    static constexpr size_t kBlockBits = 10; // 1024 places a block
    static constexpr size_t kBlock = size_t{1} << kBlockBits;
    Entry& place(size_t i) { return blocks_[i >> kBlockBits][i & (kBlock - 1)]; }
    const Entry& place(size_t i) const { return blocks_[i >> kBlockBits][i & (kBlock - 1)]; }
    void grow(size_t places) {
        while (blocks_.size() * kBlock < places) blocks_.push_back(std::make_unique<Entry[]>(kBlock));
        places_ = places;
    }

    std::vector<std::unique_ptr<Entry[]>> blocks_;
    size_t places_ = 0; // in use from the blocks, free or not
    std::unordered_map<uint32_t, Entry> overflow_;
    size_t size_ = 0;
};

} // namespace ostrand
