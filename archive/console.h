// The program's fixed console texts: the usage text, whose first two lines
// are the banner.
#pragma once

// Prints the usage text and ends the process with exit code 1.
[[noreturn]] void print_usage();

// Prints the two banner lines.
void print_banner();
