#ifndef ERRAND_CHUNKEDVECTOR_P_H
#define ERRAND_CHUNKEDVECTOR_P_H

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

/**
 * A sequence with cheap insertion and removal anywhere: the list model's rows.
 *
 * The elements live in chunks of at most 2 * ChunkSize, in order, with the index of each chunk's
 * first element kept beside it. Finding an index is a binary search over the chunks; inserting
 * or erasing moves at most one chunk's elements and shifts the later chunks' start indexes,
 * which are plain integers. So an insertion in the middle of 100k rows costs a few hundred
 * moves instead of the tens of thousands a deque needs.
 *
 * Invariants (checkInvariants() verifies them): no chunk is empty or longer than 2 * ChunkSize;
 * starts[k] is the sum of the sizes of the chunks before k; count is the sum of all sizes.
 * A chunk that shrinks below a quarter of ChunkSize is merged with a neighbour when the two fit
 * in one chunk, so the number of chunks stays proportional to size() / ChunkSize.
 */
template<typename T, int ChunkSize = 256>
class ChunkedVector
{
    static_assert(ChunkSize >= 2, "chunks must be able to split");

public:
    int size() const { return count; }
    bool empty() const { return count == 0; }

    const T &operator[](int i) const
    {
        const int k = chunkOf(i);
        return chunks[std::size_t(k)][std::size_t(i - starts[std::size_t(k)])];
    }
    T &operator[](int i)
    {
        const int k = chunkOf(i);
        return chunks[std::size_t(k)][std::size_t(i - starts[std::size_t(k)])];
    }
    const T &front() const { return chunks.front().front(); }

    /** Inserts @p value before index @p i (0..size()). */
    void insert(int i, T value)
    {
        if (chunks.empty()) {
            chunks.emplace_back();
            starts.push_back(0);
        }
        // An index at a chunk boundary goes to the end of the earlier chunk: appends stay appends.
        const int k = i == count ? int(chunks.size()) - 1 : chunkOf(i);
        std::vector<T> &chunk = chunks[std::size_t(k)];
        chunk.insert(chunk.begin() + (i - starts[std::size_t(k)]), std::move(value));
        ++count;
        shiftStarts(k + 1, 1);
        if (int(chunk.size()) > 2 * ChunkSize)
            split(k);
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
            const int k = chunkOf(i);
            std::vector<T> &chunk = chunks[std::size_t(k)];
            const int offset = i - starts[std::size_t(k)];
            const int here = std::min(n, int(chunk.size()) - offset);
            chunk.erase(chunk.begin() + offset, chunk.begin() + offset + here);
            count -= here;
            n -= here;
            shiftStarts(k + 1, -here);
            rebalance(k);
        }
    }

    /** Removes the last element (the destruction order of the rows matters to their owners). */
    void popBack()
    {
        chunks.back().pop_back();
        --count;
        if (chunks.back().empty()) {
            chunks.pop_back();
            starts.pop_back();
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
        const int lastChunk = chunkOf(end - 1);
        // The first chunk whose last element in range fails the predicate.
        int lo = 0;
        int hi = lastChunk;
        while (lo < hi) {
            const int mid = lo + (hi - lo) / 2;
            if (pred(chunks[std::size_t(mid)].back()))
                lo = mid + 1;
            else
                hi = mid;
        }
        const std::vector<T> &chunk = chunks[std::size_t(lo)];
        const int limit = std::min(int(chunk.size()), end - starts[std::size_t(lo)]);
        return starts[std::size_t(lo)] + int(std::partition_point(chunk.begin(), chunk.begin() + limit, pred) - chunk.begin());
    }

    /** The first index in @p from..@p end - 1 whose element satisfies @p pred, else @p end. */
    template<typename Pred>
    int findFrom(int from, int end, Pred pred) const
    {
        while (from < end) {
            const int k = chunkOf(from);
            const std::vector<T> &chunk = chunks[std::size_t(k)];
            const int begin = from - starts[std::size_t(k)];
            const int stop = std::min(int(chunk.size()), begin + (end - from));
            const auto it = std::find_if(chunk.begin() + begin, chunk.begin() + stop, pred);
            if (it != chunk.begin() + stop)
                return starts[std::size_t(k)] + int(it - chunk.begin());
            from = starts[std::size_t(k)] + stop;
        }
        return end;
    }

    /** Verifies the invariants above; for the tests. */
    bool checkInvariants() const
    {
        if (chunks.size() != starts.size())
            return false;
        int total = 0;
        for (std::size_t k = 0; k < chunks.size(); ++k) {
            const int n = int(chunks[k].size());
            if (n == 0 || n > 2 * ChunkSize || starts[k] != total)
                return false;
            total += n;
        }
        return total == count;
    }

    /** How many chunks hold the elements; for the tests. */
    int chunkCount() const { return int(chunks.size()); }

private:
    int chunkOf(int i) const
    {
        // The last chunk whose start is not beyond i.
        return int(std::upper_bound(starts.begin(), starts.end(), i) - starts.begin()) - 1;
    }

    void shiftStarts(int from, int delta)
    {
        for (auto it = starts.begin() + from; it != starts.end(); ++it)
            *it += delta;
    }

    void split(int k)
    {
        std::vector<T> &chunk = chunks[std::size_t(k)];
        std::vector<T> tail(std::make_move_iterator(chunk.begin() + ChunkSize), std::make_move_iterator(chunk.end()));
        chunk.resize(ChunkSize);
        chunks.insert(chunks.begin() + k + 1, std::move(tail));
        starts.insert(starts.begin() + k + 1, starts[std::size_t(k)] + ChunkSize);
    }

    // Drops an emptied chunk, or merges a small one into a neighbour it fits with.
    void rebalance(int k)
    {
        const int n = int(chunks[std::size_t(k)].size());
        if (n == 0) {
            removeChunk(k);
            return;
        }
        if (n >= ChunkSize / 4)
            return;
        if (k + 1 < int(chunks.size()) && n + int(chunks[std::size_t(k + 1)].size()) <= 2 * ChunkSize)
            mergeInto(k, k + 1);
        else if (k > 0 && n + int(chunks[std::size_t(k - 1)].size()) <= 2 * ChunkSize)
            mergeInto(k - 1, k);
    }

    // Appends chunk @p next to chunk @p k and drops it.
    void mergeInto(int k, int next)
    {
        std::vector<T> &into = chunks[std::size_t(k)];
        std::vector<T> &from = chunks[std::size_t(next)];
        into.insert(into.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
        removeChunk(next);
    }

    void removeChunk(int k)
    {
        chunks.erase(chunks.begin() + k);
        starts.erase(starts.begin() + k);
    }

    std::vector<std::vector<T>> chunks;
    std::vector<int> starts;
    int count = 0;
};

#endif // ERRAND_CHUNKEDVECTOR_P_H
