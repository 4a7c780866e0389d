#pragma once
// The sums of a centre update, filled range by range in sample order and then
// turned into the new centres.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"
#include "runtime/random/random_source.hpp"

namespace corvalinth::kmeans {

// Every sum is the left-to-right sum, from +0.0, of its cluster's samples in
// sample order, however the work is shared out: a split update gives each
// worker a block of features of every cluster (narrow rows, column-major
// views) or whole clusters (wide rows of adjacent features), never a range of
// samples. A fit keeps one for all its iterations.
class CentreSums {
public:
    // The buffers for k clusters of the rows of x (std::bad_alloc when they
    // cannot be allocated). The sums start cleared.
    CentreSums(const SampleMatrix& x, std::size_t k);

    // Every sum +0.0 and every count 0: a new update begins. With `only`
    // (one flag per cluster), only the flagged clusters begin again; the
    // others keep their counts, and their sums are not used.
    void clear(const std::uint8_t* only = nullptr);
    // Adds rows [begin, end) into the sums of the clusters their labels
    // (labels[begin .. end - 1]) name; with `only`, just the rows whose
    // cluster is flagged (the same flags as clear's). The ranges of one
    // update must come in sample order, each starting where the previous one
    // ended. A label not below k is an internal failure.
    void add(const std::uint64_t* labels, std::size_t begin, std::size_t end, const std::uint8_t* only = nullptr);
    // The same as add for each range [s, s + block) of [begin, end) in turn
    // (the last one cut at end), all clusters, in one hand-off to the pool.
    void add_blocks(const std::uint64_t* labels, std::size_t begin, std::size_t end, std::size_t block);
    // Whether add_here takes rows: rows of adjacent features whose update is
    // shared out by clusters, so that a pass may instead add each piece of
    // rows, all clusters, on the thread that labelled it, the pieces in
    // sample order.
    bool adds_here() const { return by_clusters_; }
    // The same as add(labels, begin, end) (all clusters), on the calling
    // thread alone. Only where adds_here().
    void add_here(const std::uint64_t* labels, std::size_t begin, std::size_t end);
    // The means, truly divided by the counts, into `out` (k x d, storage
    // reused). Each empty cluster, in increasing cluster order, takes a copy of
    // sample uniform_index(n). With `only` and `kept`, each cluster not
    // flagged takes row c of `kept` instead: the caller's proof that it is
    // that cluster's mean (its members have not changed since `kept` was
    // their mean), and an unflagged cluster must not be empty. Leaves the
    // sums to be cleared.
    void finish(runtime::RandomSource& rng, CentreMatrix& out, const CentreMatrix* kept = nullptr,
                const std::uint8_t* only = nullptr);

    const std::vector<std::uint64_t>& counts() const { return counts_; }

private:
    // Features [j_lo, j_hi) of every cluster; split by features, the block
    // counts the count_share-th of counting_blocks_ shares of each range's
    // rows (none: kNoShare).
    static constexpr std::size_t kNoShare = ~std::size_t{0};
    struct Block {
        std::size_t j_lo, j_hi;
        std::size_t count_share = kNoShare;
    };

    void add_by_clusters(const std::uint64_t* labels, std::size_t begin, std::size_t end, const std::uint8_t* only);
    // The flagged clusters' sums of rows [begin, end) when split by features,
    // the flagged samples listed once for all blocks; false (nothing added)
    // where it does not apply or the list cannot be had.
    bool add_listed(const std::uint64_t* labels, std::size_t begin, std::size_t end, const std::uint8_t* only);
    // Block p's k x width sums.
    double* block_sums(std::size_t p) { return sums_[p].data() + offsets_[p]; }
    // Rows [begin, end) by the carried sums, one contiguous range of clusters
    // (all their features) per block's worker, balanced by the counts of the
    // last update (balance_).
    void add_carried_by_clusters(const std::uint64_t* labels, std::size_t begin, std::size_t end);
    // Rows [begin, end) a `block` at a time, all blocks of features (the
    // update not split by clusters).
    void add_ranges(const std::uint64_t* labels, std::size_t begin, std::size_t end, std::size_t block,
                    const std::uint8_t* only);
    // Block p's counts of its share of the rows (split by features), a cache
    // line of counts from either end of their buffer.
    static constexpr std::size_t kCountsPad = 64 / sizeof(std::uint64_t);
    std::uint64_t* block_counts(std::size_t p) { return block_counts_[p].data() + kCountsPad; }
    // The blocks' counts added into the counts, and cleared.
    void gather_block_counts();

    SampleMatrix x_;
    std::size_t k_;
    bool by_clusters_ = false;
    // Whether every block's sums fit the carried sums (the runs kernel then
    // takes only longer runs), and whether a whole row's do, so that a call
    // whose labels take the carried sums splits by clusters across the
    // blocks' workers instead (add_carried_by_clusters).
    bool carried_fits_ = false;
    bool carried_by_clusters_ = false;
    std::size_t counting_blocks_ = 0;
    std::vector<Block> blocks_;
    // One k x width buffer per block (one k x d buffer when unsplit or split
    // by clusters), and the counts. When split by features, each block's sums
    // start offsets_[p] values into their buffer, on a cache line of their
    // own, with room after them: the workers add to their blocks all the
    // time, and no two blocks' sums may share a cache line.
    std::vector<std::vector<double>> sums_;
    std::vector<std::size_t> offsets_;
    std::vector<std::uint64_t> counts_;
    std::vector<std::uint64_t> range_counts_;
    std::vector<std::vector<std::uint64_t>> block_counts_;
    // The split by clusters of the carried sums: the k x d sums the parts
    // share (each part gathers its own clusters' rows from the blocks, and
    // the kernel reads and writes only those), and the counts of the last
    // update that counted any sample.
    std::vector<double> part_sums_;
    std::vector<std::uint64_t> balance_;
    // Split by features: the listed masked sums' list (room for
    // listed_room_ samples, kept from call to call; null until needed) and
    // each stretch's length.
    std::unique_ptr<std::uint64_t[]> listed_;
    std::size_t listed_room_ = 0;
    std::vector<std::size_t> listed_lengths_;
};

// New k x d centres: the mean of each cluster's samples, summed from +0.0 in
// sample order and truly divided by the count. Each empty cluster, in
// increasing cluster order, takes a copy of sample uniform_index(n).
// Labels must be below k (InternalFailure otherwise). When the update is
// split, each worker owns a block of features or whole clusters and scans all
// samples in order, so the centres are the same for any number of workers.
CentreMatrix update_centres(const SampleMatrix& x, const std::vector<std::uint64_t>& labels, std::size_t k,
                            runtime::RandomSource& rng);
// The same into `out`, with `counts` as the per-cluster counts; both keep
// their storage from one call to the next (a fit keeps them for all its
// iterations).
void update_centres(const SampleMatrix& x, const std::vector<std::uint64_t>& labels, std::size_t k,
                    runtime::RandomSource& rng, CentreMatrix& out, std::vector<std::uint64_t>& counts);

}  // namespace corvalinth::kmeans
