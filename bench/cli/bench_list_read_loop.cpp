// The floor ottodo list is measured against, as a whole process: list the
// class directories of a task data directory, list each one, read every file
// into memory. Prints the number of files and bytes read.
//
//   bench_list_read_loop TASKDATA

#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_list_read_loop TASKDATA\n");
        return 2;
    }
    const std::string root = std::string(argv[1]) + "/";
    DIR* top = ::opendir(root.c_str());
    if (!top)
        return 1;
    long files = 0, bytes = 0;
    std::string data;
    char buffer[4096];
    while (dirent* d = ::readdir(top)) {
        if (d->d_name[0] == '.' || d->d_type != DT_DIR)
            continue;
        const std::string dir = root + d->d_name + "/";
        DIR* list = ::opendir(dir.c_str());
        if (!list)
            continue;
        while (dirent* f = ::readdir(list)) {
            if (f->d_name[0] == '.')
                continue;
            const int fd = ::open((dir + f->d_name).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                continue;
            data.clear();
            for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
                data.append(buffer, static_cast<std::size_t>(n));
            ::close(fd);
            ++files;
            bytes += static_cast<long>(data.size());
        }
        ::closedir(list);
    }
    ::closedir(top);
    std::printf("%ld files, %ld bytes\n", files, bytes);
    return 0;
}
