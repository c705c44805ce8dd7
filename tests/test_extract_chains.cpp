// The chains in which the master of `x` with tasks hands entries out: solid
// runs decoded from their reset entry on, the pieces and copies of one file,
// the write flags that say which job may end a file, and the order.
#include <gtest/gtest.h>

#include <vector>

#include "tasks/extract_dispatch.h"

namespace {

using Chains = std::vector<std::vector<int>>;

// An entry of `length` bytes holding [start, stop) of file; reset 0 continues a solid run.
EntryFacts entry(const char* file, bool match, uint8_t reset, uint64_t start, uint64_t stop, int64_t length = 100)
{
    EntryFacts e;
    e.file = file, e.match = match, e.reset = reset;
    e.piece_start = start, e.piece_stop = stop, e.length = length;
    return e;
}

// The chains of entries, with the write flag of each entry after them.
std::pair<Chains, std::vector<int>> chains_and_flags(std::vector<EntryFacts> entries)
{
    std::pair<Chains, std::vector<int>> out = {form_chains(entries), {}};
    for (const EntryFacts& e : entries) out.second.push_back(e.write_flag);
    return out;
}

}  // namespace

TEST(ExtractChains, SolidRunsGoFromTheirStartToTheirLastWrittenEntryHeaviestFirst)
{
    // Run 0-3 is wanted up to entry 2 only, run 4-5 not at all; 6 stands alone.
    const auto [chains, flags] = chains_and_flags(
        {entry("a", false, 1, 0, 10), entry("b", false, 0, 0, 10), entry("c", true, 0, 0, 10),
         entry("d", false, 0, 0, 10), entry("e", false, 1, 0, 10), entry("f", false, 0, 0, 10),
         entry("g", true, 1, 0, 10, 500)});
    EXPECT_EQ(chains, Chains({{6}, {0, 1, 2}}));
    EXPECT_EQ(flags, std::vector<int>({0, 0, 2, 0, 0, 0, 2}));
    EXPECT_TRUE(chains_and_flags({entry("a", false, 1, 0, 10), entry("b", false, 0, 0, 10)}).first.empty());
}

TEST(ExtractChains, PiecesOfAFileGoApartAndCopiesOfItTogether)
{
    // Disjoint pieces, stored in any order, are chains of their own; only the
    // piece that reaches the file's end may cut the file off there.
    EXPECT_EQ(chains_and_flags({entry("f", true, 1, 200, 300), entry("f", true, 1, 0, 100),
                                entry("f", true, 1, 100, 200), entry("g", true, 1, 0, 5)}),
              std::make_pair(Chains({{0}, {1}, {2}, {3}}), std::vector<int>({2, 1, 1, 2})));
    // Overlapping pieces, or an empty file beside another piece, are copies:
    // one chain in archive order (with the solid run of one of them), and
    // each copy ends the file as it stands.
    for (const uint64_t first_stop : {uint64_t(0), uint64_t(150)})
        EXPECT_EQ(chains_and_flags({entry("x", false, 1, 0, 10), entry("f", true, 0, 0, first_stop),
                                    entry("g", true, 1, 0, 10, 50), entry("f", true, 1, 100, 200)}),
                  std::make_pair(Chains({{0, 1, 3}, {2}}), std::vector<int>({0, 2, 2, 2})))
            << first_stop;
}
