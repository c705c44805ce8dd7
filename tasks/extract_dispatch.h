// The master's side of `x` with tasks. The archive is walked once; the
// entries to decode are grouped into chains that one worker must decode in
// archive order: a solid run (from its entry with the reset flag up to its
// last entry that is written), and every entry of a file that the archive
// holds more than one piece or copy of (so that one process puts the file
// together, as in one process). Each chain goes whole to one task, an entry
// at a time; the longest chains go first.
#pragma once

struct TaskTable;

// Hands the entries of the archive whose lower-cased file names match the
// pattern (and the entries their solid runs need) to the tasks, for the
// current destination, a whole run to one task; an entry outside any solid
// run is a run of its own. Returns once every entry is posted.
void dispatch_solid_runs(TaskTable& table, const char* pattern);

// End phase of `x`: waits for the last jobs, stops every task and deletes
// the control file.
void finish_extract_tasks(TaskTable& table);
