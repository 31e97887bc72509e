#pragma once
// What a directory tree holds, to show that a run changed and lost nothing,
// and a way to make permission bits bind on the programs a test starts.
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

// Relative path -> kind and, for a regular file, its bytes.
inline std::map<std::string, std::string> TreeState(const std::string& root)
{
    namespace fs = std::filesystem;
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = fs::relative(it->path(), root, ec).string();
        const fs::file_status st = it->symlink_status(ec);
        if (fs::is_regular_file(st)) {
            std::ifstream in(it->path(), std::ios::binary);
            out[name] = "file:" + std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        } else if (fs::is_directory(st)) {
            out[name] = "dir";
        } else if (fs::is_fifo(st)) {
            out[name] = "fifo";
        } else {
            out[name] = "other";
        }
    }
    return out;
}

inline std::string FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// As root a process ignores permission bits. Dropping the override from the
// bounding set keeps it in this process but not in the programs it starts,
// so that a directory made read-only is read-only for them. True when a
// program started now cannot write into a read-only directory.
inline bool ChildrenObeyPermissions(const std::string& scratchDir)
{
    if (::geteuid() == 0) {
        ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
        ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
    }
    const std::string dir = scratchDir + "/probe-readonly";
    ::mkdir(dir.c_str(), 0555);
    ::chmod(dir.c_str(), 0555);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const std::string script = "{ echo x > '" + dir + "/x'; } 2>/dev/null";
        ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::unlink((dir + "/x").c_str());
    ::rmdir(dir.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) != 0;
}
