// The worker side of a run with tasks: a copy of the program started with
// -p<i> polls its status byte in the control file, runs each job posted to
// it and reports the task idle again, until it is told to stop or has been
// idle too long.
#pragma once

// Worker loop of `a`: each CompressJob becomes one entry appended to the
// worker's archive path (the archive for task 1, its part file for the
// others). Returns the exit code of the process, 1.
int run_compress_worker();

// Worker loop of `x`: each ExtractJob decodes one entry of the archive into
// the job's destination. Returns the exit code of the process, 1.
int run_extract_worker();
