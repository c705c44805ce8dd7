// The master's side of `x` with tasks. The archive is walked once; the
// entries to decode are grouped into chains that one worker must decode in
// archive order: a solid run (from its entry with the reset flag up to its
// last entry that is written), and every entry of a file that the archive
// holds more than one piece or copy of (so that one process puts the file
// together, as in one process). Each chain goes whole to one task, an entry
// at a time; the longest chains go first.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct TaskTable;

// What the dispatch needs of one entry.
struct EntryFacts {
    int64_t offset = 0;
    int64_t length = 0;
    uint8_t reset = 1;
    bool match = false;
    std::string file;  // the stored path, the key of the output file
    uint64_t piece_start = 0, piece_stop = 0;
    uint8_t write_flag = 0;  // of its job: 0 decode only, 1 write, 2 write and end the file there
};

// The chains of entries to decode, each in archive order, longest (in entry
// bytes) first; sets the write_flag of every entry that is written.
std::vector<std::vector<int>> form_chains(std::vector<EntryFacts>& entries);

// Hands the entries of the archive whose lower-cased file names match the
// pattern (and the entries their solid runs need) to the tasks, for the
// current destination, a whole run to one task; an entry outside any solid
// run is a run of its own. Returns once every entry is posted.
void dispatch_solid_runs(TaskTable& table, const char* pattern);

// End phase of `x`: waits for the last jobs, stops every task and deletes
// the control file.
void finish_extract_tasks(TaskTable& table);
