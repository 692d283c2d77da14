#ifndef ERRAND_CHUNKEDVECTOR_P_H
#define ERRAND_CHUNKEDVECTOR_P_H

#include <QtCore/QTypeInfo>
#include <QtCore/QtGlobal>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

/** The key of an element that is its own key. */
struct ChunkedVectorIdentity
{
    template<typename T>
    const T &operator()(const T &value) const noexcept
    {
        return value;
    }
};

/**
 * A sequence with cheap insertion and removal anywhere: the list model's rows.
 *
 * The elements live in chunks of at most 2 * ChunkSize, in order. A Fenwick tree over the chunk
 * sizes finds the chunk of an index, and the index of a chunk's first element, in O(log C) steps
 * over one small array (C chunks), and takes a size change in as many. Inserting or erasing
 * therefore moves at most one chunk's elements plus O(log C) integers, so placing a row in the
 * middle of a million costs about what placing one among a thousand does; a deque moves half
 * the rows.
 *
 * Each chunk keeps free slots at both ends, and a change moves the shorter side of it: taking the
 * first element, as a draining queue does, moves nothing. Elements are moved as bytes, so T must
 * be relocatable (QTypeInfo), as Qt's own containers assume.
 *
 * Searches. KeyOf gives an element's key (the element itself by default); partitionPoint()'s
 * predicate takes keys. The key of each chunk's last element is kept in one array, the fences,
 * so that the search for a chunk reads that small array instead of one element in every chunk it
 * probes, each in memory of its own that a large list no longer keeps in cache. A key changed in
 * place must go through update(), which keeps the fences true.
 *
 * Invariants (checkInvariants() verifies them): no chunk is empty or longer than 2 * ChunkSize,
 * and its elements lie within its slots; the tree holds the chunk sizes (prefix(k) is the sum of
 * the sizes of the chunks before k); each fence is its chunk's last key; count is the sum of all
 * sizes. A chunk that shrinks below a quarter of ChunkSize is merged with a neighbour when the two
 * fit in one chunk, so the number of chunks stays proportional to size() / ChunkSize. Splits and
 * merges rebuild the tree in O(C), once per O(ChunkSize) changes.
 */
template<typename T, int ChunkSize = 128, typename KeyOf = ChunkedVectorIdentity>
class ChunkedVector
{
    static_assert(ChunkSize >= 2, "chunks must be able to split");
    static_assert(QTypeInfo<T>::isRelocatable, "elements are moved as bytes");

public:
    using Key = std::decay_t<decltype(KeyOf()(std::declval<const T &>()))>;

    ChunkedVector() = default;
    ~ChunkedVector()
    {
        for (Chunk &chunk : chunks)
            release(chunk);
    }
    Q_DISABLE_COPY(ChunkedVector)

    int size() const { return count; }
    bool empty() const { return count == 0; }

    const T &operator[](int i) const { return at(locate(i)); }
    /** An element to change in place; a change of its key goes through update() instead. */
    T &operator[](int i) { return at(locate(i)); }
    const T &front() const { return *chunks.front().begin(); }

    /** Calls @p change with element @p i, which may change its key. */
    template<typename Change>
    void update(int i, Change &&change)
    {
        const Place p = locate(i);
        std::forward<Change>(change)(at(p));
        fence(p.chunk);
    }

    /** Inserts @p value before index @p i (0..size()). */
    void insert(int i, T value)
    {
        if (chunks.empty()) {
            chunks.push_back(Chunk { std::allocator<T>().allocate(Capacity), Capacity / 2, 0 });
            fences.emplace_back();
            rebuild();
        }
        // The end goes to the last chunk: appends stay appends.
        const Place p = i == count ? Place { int(chunks.size()) - 1, chunks.back().size } : locate(i);
        Chunk &chunk = chunks[std::size_t(p.chunk)];
        new (openGap(chunk, p.offset)) T(std::move(value));
        ++chunk.size;
        ++count;
        add(p.chunk, 1);
        if (chunk.size > 2 * ChunkSize)
            split(p.chunk);
        else
            fence(p.chunk);
    }

    /** Inserts @p n default-constructed elements before index @p i. */
    void insertDefault(int i, int n)
    {
        for (int j = 0; j < n; ++j)
            insert(i + j, T());
    }

    /** Removes the @p n elements from index @p i on. */
    void erase(int i, int n = 1)
    {
        while (n > 0) {
            const Place p = locate(i);
            Chunk &chunk = chunks[std::size_t(p.chunk)];
            const int here = std::min(n, chunk.size - p.offset);
            T *const from = chunk.begin() + p.offset;
            std::destroy(from, from + here);
            const int after = chunk.size - p.offset - here;
            if (p.offset < after) { // the head moves up over the gap
                relocate(chunk.begin() + here, chunk.begin(), p.offset);
                chunk.first += here;
            } else {
                relocate(from, from + here, after);
            }
            chunk.size -= here;
            count -= here;
            n -= here;
            add(p.chunk, -here);
            if (chunk.size > 0)
                fence(p.chunk);
            rebalance(p.chunk);
        }
    }

    /** Removes the last element (the destruction order of the rows matters to their owners). */
    void popBack()
    {
        Chunk &chunk = chunks.back();
        std::destroy_at(chunk.begin() + --chunk.size);
        --count;
        if (chunk.size == 0) {
            // The tree without its last node is the tree of the remaining chunks.
            release(chunk);
            chunks.pop_back();
            fences.pop_back();
            tree.pop_back();
        } else {
            add(int(chunks.size()) - 1, -1);
            fence(int(chunks.size()) - 1);
        }
    }

    /** Moves the element at @p from so that it ends up at index @p to. */
    void move(int from, int to)
    {
        T value = std::move((*this)[from]);
        erase(from);
        insert(to, std::move(value));
    }

    /**
     * The first index in 0..@p end at which @p pred, given the element's key, is false, for a
     * range [0, end) partitioned by @p pred (true first): one binary search over the fences, one
     * inside a chunk.
     */
    template<typename Pred>
    int partitionPoint(int end, Pred pred) const
    {
        if (end <= 0)
            return 0;
        const Place last = locate(end - 1);
        // The first chunk whose last element in range fails the predicate.
        const int k = partitionPoint(fences.data(), last.chunk, pred);
        const Chunk &chunk = chunks[std::size_t(k)];
        const int inChunk = k == last.chunk ? last.offset + 1 : chunk.size;
        return prefix(k) + partitionPoint(chunk.begin(), inChunk, [&pred](const T &value) { return pred(KeyOf()(value)); });
    }

    /** The first index in @p from..@p end - 1 whose element satisfies @p pred, else @p end. */
    template<typename Pred>
    int findFrom(int from, int end, Pred pred) const
    {
        if (from >= end)
            return end;
        Place p = locate(from);
        for (int start = from - p.offset; start < end; start += chunks[std::size_t(p.chunk++)].size, p.offset = 0) {
            const T *const first = chunks[std::size_t(p.chunk)].begin();
            const T *const stop = first + std::min(chunks[std::size_t(p.chunk)].size, end - start);
            const T *const it = std::find_if(first + p.offset, stop, pred);
            if (it != stop)
                return start + int(it - first);
        }
        return end;
    }

    /** Verifies the invariants above; for the tests. */
    bool checkInvariants() const
    {
        if (tree.size() != chunks.size() + 1 || fences.size() != chunks.size())
            return false;
        int total = 0;
        for (std::size_t k = 0; k < chunks.size(); ++k) {
            const Chunk &chunk = chunks[k];
            if (chunk.size == 0 || chunk.size > 2 * ChunkSize || chunk.first < 0 || chunk.first + chunk.size > Capacity
                || prefix(int(k)) != total || !(fences[k] == KeyOf()(chunk.end()[-1])))
                return false;
            total += chunk.size;
        }
        return total == count;
    }

    /** How many chunks hold the elements; for the tests. */
    int chunkCount() const { return int(chunks.size()); }

private:
    // Every chunk gets its full size at once: growing one would move it again.
    static constexpr int Capacity = 2 * ChunkSize + 1;

    // Capacity slots, of which size, from first on, hold elements.
    struct Chunk
    {
        T *buffer;
        int first;
        int size;
        T *begin() const { return buffer + first; }
        T *end() const { return buffer + first + size; }
    };

    struct Place
    {
        int chunk;
        int offset;
    };

    T &at(const Place &p) const { return chunks[std::size_t(p.chunk)].begin()[p.offset]; }

    // std::partition_point() over @p n values, without a branch per step: where the values to
    // search fall is unpredictable, and so would every branch be. Each step asks the memory for
    // both values the next step may read, so that a search through a chunk the cache no longer
    // holds waits about once for the two instead of once for each value it reads.
    template<typename V, typename Pred>
    static int partitionPoint(const V *values, int n, Pred pred)
    {
        if (n <= 0)
            return 0;
        const V *base = values;
        while (n > 1) {
            const int half = n / 2;
            const int next = (n - half) / 2;
            prefetch(base + next);
            prefetch(base + half + next);
            base = pred(base[half]) ? base + half : base;
            n -= half;
        }
        return int(base - values) + (pred(*base) ? 1 : 0);
    }

    template<typename V>
    static void prefetch(const V *value)
    {
#if defined(__GNUC__)
        __builtin_prefetch(value);
#else
        Q_UNUSED(value)
#endif
    }

    static void relocate(T *to, const T *from, int n)
    {
        if (n > 0)
            std::memmove(static_cast<void *>(to), static_cast<const void *>(from), std::size_t(n) * sizeof(T));
    }

    static void release(Chunk &chunk)
    {
        std::destroy(chunk.begin(), chunk.end());
        std::allocator<T>().deallocate(chunk.buffer, Capacity);
    }

    // Keeps the fence of chunk @p k, which holds elements.
    void fence(int k)
    {
        const Chunk &chunk = chunks[std::size_t(k)];
        fences[std::size_t(k)] = KeyOf()(chunk.end()[-1]);
    }

    // Frees the slot for a new element at @p offset of a chunk that has a free slot, by moving
    // the shorter side of the chunk away from it; when that side has no room, the elements are
    // first centred in the slots.
    T *openGap(Chunk &chunk, int offset)
    {
        bool head = offset < chunk.size - offset;
        if (head ? chunk.first == 0 : chunk.first + chunk.size == Capacity) {
            const int first = (Capacity - chunk.size) / 2;
            relocate(chunk.buffer + first, chunk.begin(), chunk.size);
            chunk.first = first;
            head = head ? first > 0 : first + chunk.size == Capacity;
        }
        if (head) {
            relocate(chunk.begin() - 1, chunk.begin(), offset);
            --chunk.first;
        } else {
            relocate(chunk.begin() + offset + 1, chunk.begin() + offset, chunk.size - offset);
        }
        return chunk.begin() + offset;
    }

    // The chunk holding index @p i (0..size()-1) and the offset in it: a descent of the tree.
    Place locate(int i) const
    {
        const int n = int(chunks.size());
        int node = 0;
        for (int step = topStep; step > 0; step >>= 1) {
            if (node + step <= n && tree[std::size_t(node + step)] <= i) {
                node += step;
                i -= tree[std::size_t(node)];
            }
        }
        return Place { node, i };
    }

    // The number of elements in the chunks before chunk @p k.
    int prefix(int k) const
    {
        int sum = 0;
        for (; k > 0; k -= k & -k)
            sum += tree[std::size_t(k)];
        return sum;
    }

    void add(int k, int delta)
    {
        for (std::size_t node = std::size_t(k) + 1; node < tree.size(); node += node & (0 - node))
            tree[node] += delta;
    }

    // Builds the tree from the chunk sizes in O(C).
    void rebuild()
    {
        const std::size_t n = chunks.size();
        tree.assign(n + 1, 0);
        for (std::size_t node = 1; node <= n; ++node) {
            tree[node] += chunks[node - 1].size;
            const std::size_t parent = node + (node & (0 - node));
            if (parent <= n)
                tree[parent] += tree[node];
        }
        topStep = 1;
        while (std::size_t(topStep) * 2 <= n)
            topStep *= 2;
    }

    void split(int k)
    {
        Chunk tail { std::allocator<T>().allocate(Capacity), 0, chunks[std::size_t(k)].size - ChunkSize };
        tail.first = (Capacity - tail.size) / 2;
        relocate(tail.begin(), chunks[std::size_t(k)].begin() + ChunkSize, tail.size);
        chunks[std::size_t(k)].size = ChunkSize;
        chunks.insert(chunks.begin() + k + 1, tail);
        fences.insert(fences.begin() + k + 1, Key());
        fence(k);
        fence(k + 1);
        rebuild();
    }

    // Drops an emptied chunk, or merges a small one into a neighbour it fits with.
    void rebalance(int k)
    {
        const int n = chunks[std::size_t(k)].size;
        if (n == 0) {
            release(chunks[std::size_t(k)]);
            chunks.erase(chunks.begin() + k);
            fences.erase(fences.begin() + k);
        } else if (n >= ChunkSize / 4) {
            return;
        } else if (k + 1 < int(chunks.size()) && n + chunks[std::size_t(k + 1)].size <= 2 * ChunkSize) {
            mergeInto(k, k + 1);
        } else if (k > 0 && n + chunks[std::size_t(k - 1)].size <= 2 * ChunkSize) {
            mergeInto(k - 1, k);
        } else {
            return;
        }
        rebuild();
    }

    // Appends chunk @p next to chunk @p k and drops it.
    void mergeInto(int k, int next)
    {
        Chunk &into = chunks[std::size_t(k)];
        Chunk &from = chunks[std::size_t(next)];
        if (into.first + into.size + from.size > Capacity) {
            relocate(into.buffer, into.begin(), into.size);
            into.first = 0;
        }
        relocate(into.end(), from.begin(), from.size);
        into.size += from.size;
        from.size = 0; // moved away: nothing to destroy
        release(from);
        chunks.erase(chunks.begin() + next);
        fences.erase(fences.begin() + next);
        fence(k);
    }

    std::vector<Chunk> chunks;
    // The key of each chunk's last element.
    std::vector<Key> fences;
    // Fenwick tree over the chunk sizes, 1-based (tree[0] unused); topStep is the largest power
    // of two not above the number of chunks.
    std::vector<int> tree { 0 };
    int topStep = 0;
    int count = 0;
};

#endif // ERRAND_CHUNKEDVECTOR_P_H
