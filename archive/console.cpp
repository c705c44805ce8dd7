#include "archive/console.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/error.h"

namespace {

// The usage text; each line carries its own trailing blanks.
const char* const USAGE_LINES[] = {
    "Zendal Archiver v.2.5.  Demo version.                                           \n",
    "Block-sorting file archiver with typed filters for text, code, media and DNA.   \n",
    "Usage: Zendal <command> -<switch ..> <archive> <files...> <in path> <out path>   \n",
    "<Commands>                                                                     \n",
    " a                 Add files to archive                                        \n",
    " x                 Extract files in destination path                           \n",
    " l                 List archive                                                \n",
    "                                                                               \n",
    "<Switches>                                                                    \n",
    " t<0...99>         number of task (0=autodetect,default=1)                      \n",
    " r                 Recurse subdirectories                                      \n",
    " s                 Solid Mode ON                                               \n",
    " v                 Verbose Mode                                                \n",
    " m                 [default -m4] Compression Method/Memory (-m0 ... -m8)       \n",
    "                                                                               \n",
    "< Examples of compression >                                                    \n",
    "Zendal a c:\\archive c:\\infile                                                 \n",
    "Zendal a -m0 c:\\archive c:\\infile                                             \n",
    "Zendal a -r -t4 c:\\archive c:\\path                                            \n",
    "Zendal a -r -s archive path                                                     \n",
    "Zendal a -r archive path\\*.bmp                                                 \n",
    "Zendal a -r -m2 -t2 archive *                                                   \n",
    "< Example of decompression >                                                   \n",
    "Zendal x -t0 c:\\archive c:\\outpath                                            \n",
    "Zendal x -t4 archive outpath                                                    \n",
    "Zendal x archive outpath\\*.bmp                                                 \n",
    "                                                                               \n",
    " Suppor for multi method for compression/decompression                         \n"
};

}  // namespace

void print_banner()
{
    std::fputs(USAGE_LINES[0], stdout);
    std::fputs(USAGE_LINES[1], stdout);
}

void print_usage()
{
    std::string text;
    for (const char* line : USAGE_LINES) text += line;
    fail_with_line(text);
}
