// The master's side of `a` with tasks: every file is cut into pieces, each
// piece is posted as a CompressJob to an idle task; every task writes its
// entries into a part file of its own, and the end phase joins them into the
// archive. Until then the run leaves the archive as it found it.
#pragma once
#include <cstdint>

struct TaskTable;

// Pieces are at least this long: a file of up to N times this size is cut
// into pieces of this size, a longer one into N equal pieces and the rest.
constexpr int64_t MIN_PIECE_SIZE = 8 << 20;
// The unit in which append_file copies.
constexpr uint32_t APPEND_CHUNK_SIZE = 1 << 20;

// Forms the part-file paths of the run (the current directory, the
// archive's file name and the task number). A file of one of those names
// that an interrupted run left behind (empty, or entries that its control
// file accounts for) is removed, with one line; any other one makes the run
// refuse: it is neither this run's nor to be joined into the archive.
void prepare_part_files(TaskTable& table);

// Posts the pieces of one file, whose entries will hold name and dir; false
// when the file was refused (its path does not fit a job slot), after a
// line saying so.
bool post_file_pieces(TaskTable& table, const char* path, const char* name, const char* dir);

// End phase of `a`: stops every task once its jobs are done, then joins the
// part files into the archive entry by entry, in task order, and deletes them
// and the control file. A file cut into pieces of which one failed (it could
// not be opened, it shrank, a read failed) is left out whole, with a line.
// Returns the bytes this run appended to the archive.
int64_t finish_compress_tasks(TaskTable& table);
