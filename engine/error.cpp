#include "engine/error.h"

#include <cstdio>

const char* error_archive_name = "archive";

void fail_with_line(std::string line)
{
    throw Failure{std::move(line), 1};
}

void fail_damaged(const char* what)
{
    fail_with_line(std::string("Error: archive ") + error_archive_name + " is damaged: " + what + "\n");
}

void fail_archive_write()
{
    fail_with_line(std::string("Error: cannot write Archive file ") + error_archive_name + "\n");
}

void fail_encoding(const char* what)
{
    fail_with_line(std::string("Error: ") + what + "\n");
}

void fail_no_memory()
{
    fail_with_line("No memory \n");
}

int report_failure(const Failure& failure)
{
    std::fputs(failure.line.c_str(), stdout);
    std::fflush(stdout);
    return failure.exit_code;
}
