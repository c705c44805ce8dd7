#include "archive/input_collection.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "archive/path_utils.h"

namespace {

std::string_view extension_key(const std::string& path)
{
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos) return path;
    return std::string_view(path).substr(dot + 1);
}

}  // namespace

bool FileEntry::operator<(const FileEntry& other) const
{
    return extension_key(path) < extension_key(other.path);
}

DirWalker::~DirWalker()
{
    destroy_dir_walker(*this);
}

std::vector<std::string> collect_arguments(int count, const char* const* args)
{
    std::vector<std::string> texts;
    for (int i = 1; i < count; ++i) texts.emplace_back(args[i]);
    return texts;
}

InputSpec split_input_spec(const std::string& arg)
{
    InputSpec input;
    std::string dir = arg;
    for (char& c : dir) {
        if (c == '\\') c = '/';
    }
    if (dir == "." || dir == "..") dir += "/*";

    size_t pos = dir.rfind('/');
    if (PATHS_HAVE_DRIVES && wildcard_compare("?:*", dir.c_str()) == 0) {
        if (pos == 2) {
            // "D:/..." with no further '/': the drive's root is read as "D:/."
            dir.insert(2, "/.");
            pos = 4;
        } else if (pos == std::string::npos) {
            // "D:..." names the drive's current directory "D:."
            const std::string rest = dir.substr(2);
            if (rest == "." || rest == "..") {
                pos = dir.size();
            } else {
                dir.insert(2, ".");
                pos = 2;
            }
        }
    }

    if (pos == std::string::npos) {
        input.pattern = dir;
    } else {
        input.pattern = pos < dir.size() ? dir.substr(pos + 1) : std::string();
        input.dir = pos == 0 ? std::string("/") : dir.substr(0, pos);
    }
    if (PATHS_HAVE_DRIVES && wildcard_compare("?:", input.dir.c_str()) == 0) input.dir += ".";
    if (input.pattern.empty()) input.pattern = "*";
    return input;
}

void start_dir_walker(DirWalker& walker, const std::string& dir)
{
    destroy_dir_walker(walker);
    const char* name = dir.empty() ? "." : dir.c_str();
    if (!path_fits(name)) {
        report_path_too_long(name);
    } else {
        walker.handle = open_directory(name);
    }
    walker.prefix = (dir.empty() || dir == "/") ? dir : dir + "/";
}

void walk_directory(FileList& list, DirWalker& walker, const std::string& pattern)
{
    if (walker.handle == nullptr) return;
    // The names in byte order, whatever order the system reads them in, so
    // that the same tree gives the same list, and the same archive, on every
    // system (the sort by extension that follows keeps this order for equal
    // keys).
    std::vector<std::string> names;
    while (read_directory(walker.handle, walker.entry)) names.emplace_back(walker.entry.name);
    std::sort(names.begin(), names.end());
    for (const std::string& entry_name : names) {
        const char* name = entry_name.c_str();
        if (wildcard_compare(pattern.c_str(), name) != 0) continue;
        // "." and ".." are never files and never entered.
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;

        walker.current.path = walker.prefix;
        walker.current.path += name;
        // Where '\\' is no separator it may stand in a name, but the paths
        // of this program take it for one: such a file cannot be read, and
        // is reported rather than lost in silence.
        if (PATH_SEPARATOR != '\\' && std::strchr(name, '\\') != nullptr) {
            std::printf("Error: cannot open Input file %s\n", walker.current.path.c_str());
            continue;
        }
        if (!path_fits(walker.current.path.c_str())) {
            report_path_too_long(walker.current.path.c_str());
            continue;
        }
        query_path_status(walker.current.path.c_str(), walker.status);
        walker.current.size = walker.status.size;

        if (walker.status.kind == KIND_FILE) {
            list.entries.push_back(walker.current);
        } else if (walker.status.kind == KIND_DIRECTORY && list.recursive && !walker.status.is_link) {
            DirWalker sub;
            start_dir_walker(sub, walker.current.path);
            walk_directory(list, sub, "*");
            destroy_dir_walker(sub);
        }
    }
}

void destroy_dir_walker(DirWalker& walker)
{
    close_directory(walker.handle);
    std::string().swap(walker.prefix);
    std::string().swap(walker.current.path);
}

FileList collect_inputs(const std::vector<std::string>& inputs, bool recursive)
{
    FileList list;
    list.recursive = recursive;
    for (const std::string& arg : inputs) {
        const InputSpec input = split_input_spec(arg);
        DirWalker walker;
        start_dir_walker(walker, input.dir);
        walk_directory(list, walker, input.pattern);
        destroy_dir_walker(walker);
    }
    return list;
}
