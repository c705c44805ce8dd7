#include "tasks/extract_dispatch.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "archive/entry_reader.h"
#include "archive/extractor.h"
#include "archive/path_utils.h"
#include "archive/settings.h"
#include "engine/error.h"
#include "tasks/task_master.h"

namespace {

struct ArchiveReader {
    FileHandle handle = NO_FILE;
    int64_t size = 0;
    ~ArchiveReader() { close_file(handle); }
};

// The entries of the archive up to the first damaged one, each judged whole
// before any is posted: its header, its length, its chunks and its piece.
// The damage, if any, goes to *damage: the entries before it are extracted
// first, as one process extracts them before it meets the damage.
std::vector<EntryFacts> walk_archive(const char* pattern, Failure* damage, bool* damaged)
{
    ArchiveReader archive;
    archive.handle = open_archive_file(archive_path);
    archive.size = file_length(archive.handle);
    const PieceTotals totals = tally_pieces(archive.handle, archive.size);
    std::vector<EntryFacts> entries;
    EntryHeader header;
    *damaged = false;
    for (int64_t offset = 0; offset < archive.size; offset += static_cast<int64_t>(header.length)) {
        try {
            check_entry(archive.handle, offset, archive.size, totals, &header);
            if (offset == 0 && header.reset == 0)
                fail_damaged("an entry continues a solid run that was not decoded before it");
        } catch (const Failure& failure) {
            *damage = failure;
            *damaged = true;
            break;
        }
        EntryFacts e;
        e.offset = offset;
        e.length = static_cast<int64_t>(header.length);
        e.reset = header.reset;
        e.file = std::string(header.dir) + header.name;
        e.match = entry_matches_wildcard(header.dir, header.name, pattern);
        collapse_separators(&e.file[0]);
        e.file.resize(std::strlen(e.file.c_str()));
        std::replace(e.file.begin(), e.file.end(), '\\', '/');
        e.piece_start = header.piece_offset;
        e.piece_stop = e.piece_start + static_cast<uint64_t>(header.piece_length);
        entries.push_back(e);
    }
    return entries;
}

// Union-find over entry indexes.
int root_of(std::vector<int>& parent, int i)
{
    while (parent[i] != i) i = parent[i] = parent[parent[i]];
    return i;
}

void join(std::vector<int>& parent, int a, int b)
{
    a = root_of(parent, a);
    b = root_of(parent, b);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
}

}  // namespace

std::vector<std::vector<int>> form_chains(std::vector<EntryFacts>& entries)
{
    const int n = static_cast<int>(entries.size());
    // An entry is decoded when it is written, or when a later entry of its
    // solid run (reset flag 0) is decoded and continues its state.
    std::vector<bool> needed(entries.size(), false);
    for (int i = n - 1; i >= 0; --i)
        needed[i] = entries[i].match || (i + 1 < n && needed[i + 1] && entries[i + 1].reset == 0);
    std::vector<int> parent(entries.size());
    std::iota(parent.begin(), parent.end(), 0);
    std::map<std::string, std::vector<int>> pieces_of_file;
    for (int i = 0; i < n; ++i) {
        if (!needed[i]) continue;
        if (entries[i].reset == 0 && i > 0) join(parent, i, i - 1);
        if (entries[i].match) pieces_of_file[entries[i].file].push_back(i);
    }
    for (auto& file : pieces_of_file) {
        std::vector<int>& pieces = file.second;
        std::sort(pieces.begin(), pieces.end(), [&entries](int a, int b) {
            return entries[a].piece_start != entries[b].piece_start ? entries[a].piece_start < entries[b].piece_start
                                                                    : entries[a].piece_stop < entries[b].piece_stop;
        });
        // Pieces that overlap (or an empty file, which replaces what was
        // there) are copies of one file: one worker writes them all, in
        // archive order, and each ends the file as in one process.
        bool copies = false;
        uint64_t reach = 0;
        for (size_t k = 0; k < pieces.size(); ++k) {
            const EntryFacts& e = entries[pieces[k]];
            // An empty file [0, 0) sorts first, whichever copy it is.
            if ((k > 0 && e.piece_start < reach) || (e.piece_stop == 0 && pieces.size() > 1)) copies = true;
            reach = std::max(reach, e.piece_stop);
        }
        for (int i : pieces) {
            if (copies) join(parent, pieces[0], i);
            // The disjoint pieces of one file are written by several
            // workers at once: only a piece that reaches the file's end
            // cuts off what an older, longer file left past it.
            entries[i].write_flag = copies || entries[i].piece_stop == reach ? 2 : 1;
        }
    }

    std::map<int, std::vector<int>> by_root;
    for (int i = 0; i < n; ++i)
        if (needed[i]) by_root[root_of(parent, i)].push_back(i);
    std::vector<std::vector<int>> chains;
    std::vector<int64_t> weight;
    for (auto& c : by_root) chains.push_back(std::move(c.second));
    std::vector<size_t> order(chains.size());
    std::iota(order.begin(), order.end(), 0);
    for (const auto& c : chains) {
        int64_t w = 0;
        for (int i : c) w += entries[i].length;
        weight.push_back(w);
    }
    std::stable_sort(order.begin(), order.end(), [&weight](size_t a, size_t b) { return weight[a] > weight[b]; });
    std::vector<std::vector<int>> sorted;
    for (size_t k : order) sorted.push_back(std::move(chains[k]));
    return sorted;
}

namespace {

// A task's place in the chain it works through.
struct ChainCursor {
    int chain = -1;
    size_t next = 0;           // position of the next entry to post
    size_t replay_until = 0;   // positions below this were posted before
};

void wait_until_no_task_is_busy(TaskTable& table)
{
    WaitPacer pacer;
    for (int i = 1; i <= table.count;) {
        if (task_is_free(table, i)) {
            ++i;
        } else {
            pacer.pause();
        }
    }
}

void post_chains(TaskTable& table, const std::vector<EntryFacts>& entries,
                 const std::vector<std::vector<int>>& chains);

}  // namespace

void dispatch_solid_runs(TaskTable& table, const char* pattern)
{
    Failure damage;
    bool damaged = false;
    std::vector<EntryFacts> entries = walk_archive(pattern, &damage, &damaged);
    const std::vector<std::vector<int>> chains = form_chains(entries);
    if (!chains.empty()) post_chains(table, entries, chains);
    if (damaged) {
        // The entries before the damage are extracted, then the run fails
        // with the damage line.
        wait_until_no_task_is_busy(table);
        throw damage;
    }
}

namespace {

void post_chains(TaskTable& table, const std::vector<EntryFacts>& entries, const std::vector<std::vector<int>>& chains)
{
    // A job slot holds the destination whole or not at all.
    if (std::strlen(dest_dir) + 1 > EXTRACT_DIR_ROOM)
        fail_with_line(std::string("Error: path too long: ") + dest_dir + "\n");
    // The jobs of an earlier destination end first: they may write the same files.
    wait_until_no_task_is_busy(table);

    size_t to_post = 0;
    for (const auto& c : chains) to_post += c.size();
    std::vector<ChainCursor> cursor(static_cast<size_t>(table.count) + 1);
    size_t next_chain = 0;
    WaitPacer pacer;
    while (to_post > 0) {
        bool posted = false;
        for (int t = 1; t <= table.count && to_post > 0; ++t) {
            ChainCursor& c = cursor[t];
            const bool chain_done = c.chain < 0 || c.next == chains[c.chain].size();
            if (chain_done && next_chain == chains.size()) {
                // Nothing more for this task: its worker ends rather than
                // wait idle for the other tasks.
                stop_task_when_free(table, t);
                continue;
            }
            if (!task_is_free(table, t)) continue;
            if (chain_done) c = ChainCursor{static_cast<int>(next_chain++), 0, 0};
            const std::vector<int>& chain = chains[c.chain];
            if (claim_task(table, t) && c.next > 0 && entries[chain[c.next]].reset == 0) {
                // A fresh worker has none of the run's state: it decodes the
                // run again from its first entry, writing nothing until it
                // reaches the entries not yet posted.
                c.replay_until = std::max(c.replay_until, c.next);
                while (c.next > 0 && entries[chain[c.next]].reset == 0) --c.next;
            }
            const EntryFacts& e = entries[chain[c.next]];
            const bool replay = c.next < c.replay_until;
            post_extract_job(table, t, e.offset, dest_dir, replay ? 0 : e.write_flag);
            if (!replay) --to_post;
            ++c.next;
            posted = true;
        }
        if (posted) {
            pacer.reset();
        } else {
            pacer.pause();
        }
    }
}

}  // namespace

void finish_extract_tasks(TaskTable& table)
{
    std::printf(" Decompression verify \n");
    stop_all_tasks(table);
    close_control_file(table);
}
