// The master's side of `a` with tasks: every file is cut into pieces, each
// piece is posted as a CompressJob to an idle task; task 1 writes its
// entries into the archive, every other task into a part file of its own,
// which the end phase appends to the archive.
#pragma once
#include <cstdint>

struct TaskTable;

// Pieces are at least this long: a file of up to N times this size is cut
// into pieces of this size, a longer one into N equal pieces and the rest.
constexpr int64_t MIN_PIECE_SIZE = 8 << 20;
// The unit in which append_file copies.
constexpr uint32_t APPEND_CHUNK_SIZE = 1 << 20;

// Forms the part-file paths of the run (the current directory, the
// archive's file name and the task number) and refuses the run when a file
// of one of those names exists already: it is neither this run's nor to be
// joined into the archive.
void prepare_part_files(TaskTable& table);

// Posts the pieces of one file; false when the file was refused (its path
// does not fit a job slot), after a line saying so.
bool post_file_pieces(TaskTable& table, const char* path);

// End phase of `a`: stops every task once its jobs are done, appends the part
// files to the archive in task order, deletes them and the control file.
void finish_compress_tasks(TaskTable& table);

// Appends the source file to the destination (created when missing);
// returns the count of bytes appended.
int64_t append_file(TaskTable& table, const char* source, const char* destination);
