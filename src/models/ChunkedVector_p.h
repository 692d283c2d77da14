#ifndef ERRAND_CHUNKEDVECTOR_P_H
#define ERRAND_CHUNKEDVECTOR_P_H

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

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
 * Invariants (checkInvariants() verifies them): no chunk is empty or longer than 2 * ChunkSize;
 * the tree holds the chunk sizes (prefix(k) is the sum of the sizes of the chunks before k);
 * count is the sum of all sizes. A chunk that shrinks below a quarter of ChunkSize is merged with
 * a neighbour when the two fit in one chunk, so the number of chunks stays proportional to
 * size() / ChunkSize. Splits and merges rebuild the tree in O(C), once per O(ChunkSize) changes.
 */
template<typename T, int ChunkSize = 128>
class ChunkedVector
{
    static_assert(ChunkSize >= 2, "chunks must be able to split");

public:
    int size() const { return count; }
    bool empty() const { return count == 0; }

    const T &operator[](int i) const
    {
        const Place p = locate(i);
        return chunks[std::size_t(p.chunk)][std::size_t(p.offset)];
    }
    T &operator[](int i)
    {
        const Place p = locate(i);
        return chunks[std::size_t(p.chunk)][std::size_t(p.offset)];
    }
    const T &front() const { return chunks.front().front(); }

    /** Inserts @p value before index @p i (0..size()). */
    void insert(int i, T value)
    {
        if (chunks.empty()) {
            chunks.emplace_back().reserve(Capacity);
            rebuild();
        }
        // The end goes to the last chunk: appends stay appends.
        const Place p = i == count ? Place{int(chunks.size()) - 1, int(chunks.back().size())} : locate(i);
        std::vector<T> &chunk = chunks[std::size_t(p.chunk)];
        chunk.insert(chunk.begin() + p.offset, std::move(value));
        ++count;
        add(p.chunk, 1);
        if (int(chunk.size()) > 2 * ChunkSize)
            split(p.chunk);
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
            std::vector<T> &chunk = chunks[std::size_t(p.chunk)];
            const int here = std::min(n, int(chunk.size()) - p.offset);
            chunk.erase(chunk.begin() + p.offset, chunk.begin() + p.offset + here);
            count -= here;
            n -= here;
            add(p.chunk, -here);
            rebalance(p.chunk);
        }
    }

    /** Removes the last element (the destruction order of the rows matters to their owners). */
    void popBack()
    {
        chunks.back().pop_back();
        --count;
        if (chunks.back().empty()) {
            // The tree without its last node is the tree of the remaining chunks.
            chunks.pop_back();
            tree.pop_back();
        } else {
            add(int(chunks.size()) - 1, -1);
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
     * The first index in 0..@p end at which @p pred is false, for a range [0, end) partitioned
     * by @p pred (true first): one binary search over the chunks, one inside a chunk.
     */
    template<typename Pred>
    int partitionPoint(int end, Pred pred) const
    {
        if (end <= 0)
            return 0;
        const Place last = locate(end - 1);
        // The first chunk whose last element in range fails the predicate.
        int lo = 0;
        int hi = last.chunk;
        while (lo < hi) {
            const int mid = lo + (hi - lo) / 2;
            if (pred(chunks[std::size_t(mid)].back()))
                lo = mid + 1;
            else
                hi = mid;
        }
        const std::vector<T> &chunk = chunks[std::size_t(lo)];
        const auto limit = chunk.begin() + (lo == last.chunk ? last.offset + 1 : int(chunk.size()));
        return prefix(lo) + int(std::partition_point(chunk.begin(), limit, pred) - chunk.begin());
    }

    /** The first index in @p from..@p end - 1 whose element satisfies @p pred, else @p end. */
    template<typename Pred>
    int findFrom(int from, int end, Pred pred) const
    {
        if (from >= end)
            return end;
        Place p = locate(from);
        for (int start = from - p.offset; start < end; start += int(chunks[std::size_t(p.chunk++)].size()), p.offset = 0) {
            const std::vector<T> &chunk = chunks[std::size_t(p.chunk)];
            const auto stop = chunk.begin() + std::min(int(chunk.size()), end - start);
            const auto it = std::find_if(chunk.begin() + p.offset, stop, pred);
            if (it != stop)
                return start + int(it - chunk.begin());
        }
        return end;
    }

    /** Verifies the invariants above; for the tests. */
    bool checkInvariants() const
    {
        if (tree.size() != chunks.size() + 1)
            return false;
        int total = 0;
        for (std::size_t k = 0; k < chunks.size(); ++k) {
            const int n = int(chunks[k].size());
            if (n == 0 || n > 2 * ChunkSize || prefix(int(k)) != total)
                return false;
            total += n;
        }
        return total == count;
    }

    /** How many chunks hold the elements; for the tests. */
    int chunkCount() const { return int(chunks.size()); }

private:
    // Every chunk gets its full size at once: growing one would reallocate and move it again.
    static constexpr std::size_t Capacity = 2 * ChunkSize + 1;

    struct Place
    {
        int chunk;
        int offset;
    };

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
        return Place{node, i};
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
            tree[node] += int(chunks[node - 1].size());
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
        std::vector<T> &chunk = chunks[std::size_t(k)];
        std::vector<T> tail;
        tail.reserve(Capacity);
        tail.insert(tail.end(), std::make_move_iterator(chunk.begin() + ChunkSize), std::make_move_iterator(chunk.end()));
        chunk.resize(ChunkSize);
        chunks.insert(chunks.begin() + k + 1, std::move(tail));
        rebuild();
    }

    // Drops an emptied chunk, or merges a small one into a neighbour it fits with.
    void rebalance(int k)
    {
        const int n = int(chunks[std::size_t(k)].size());
        if (n == 0) {
            chunks.erase(chunks.begin() + k);
        } else if (n >= ChunkSize / 4) {
            return;
        } else if (k + 1 < int(chunks.size()) && n + int(chunks[std::size_t(k + 1)].size()) <= 2 * ChunkSize) {
            mergeInto(k, k + 1);
        } else if (k > 0 && n + int(chunks[std::size_t(k - 1)].size()) <= 2 * ChunkSize) {
            mergeInto(k - 1, k);
        } else {
            return;
        }
        rebuild();
    }

    // Appends chunk @p next to chunk @p k and drops it.
    void mergeInto(int k, int next)
    {
        std::vector<T> &into = chunks[std::size_t(k)];
        std::vector<T> &from = chunks[std::size_t(next)];
        into.insert(into.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
        chunks.erase(chunks.begin() + next);
    }

    std::vector<std::vector<T>> chunks;
    // Fenwick tree over the chunk sizes, 1-based (tree[0] unused); topStep is the largest power
    // of two not above the number of chunks.
    std::vector<int> tree { 0 };
    int topStep = 0;
    int count = 0;
};

#endif // ERRAND_CHUNKEDVECTOR_P_H
