#include "store/paths.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

static std::string dir = "./";
static std::string database = "./DataBase/";

static std::string directory_part(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return "";
    return path.substr(0, slash + 1);
}

std::string program_dir_from(const char *program_path)
{
    std::string path = program_path ? program_path : "";
    std::string found = directory_part(path);
    if (!found.empty())
        return found;
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        exe[n] = '\0';
        found = directory_part(exe);
        if (!found.empty())
            return found;
    }
    return "./";
}

void program_dir_set(const std::string &d)
{
    dir = d;
    database = d + "DataBase/";
}

const std::string &program_dir()
{
    return dir;
}

const std::string &database_dir()
{
    return database;
}

std::string database_path(const char *name)
{
    return database + name;
}

std::string join_path(const std::string &first, const char *second)
{
    return first + second;
}

bool ensure_dir(const std::string &path)
{
    DIR *d = opendir(path.c_str());
    if (d) {
        closedir(d);
        return true;
    }
    return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

bool ensure_database_dir()
{
    return ensure_dir(database);
}
