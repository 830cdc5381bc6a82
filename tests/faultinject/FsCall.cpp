// One call of the real file-system adapter, for the fault-injection tests: runs it (under the
// preloaded fault library) and prints "ok" or the failure's number and description.
//   fault_fs_call write PATH BYTES    writes BYTES bytes of 'x'
//   fault_fs_call mkdir PATH
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/fs/FsError.h"
#include "engine/posix/PosixFileSystem.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: fault_fs_call write PATH BYTES | mkdir PATH\n", stderr);
        return 2;
    }
    const std::string call = argv[1];
    const std::string path = argv[2];
    // As in the programs: a file-size limit is a failed write, not the end of the process.
    std::signal(SIGXFSZ, SIG_IGN);
    pellatrix::PosixFileSystem fs;
    try {
        if (call == "write" && argc == 4) {
            fs.writeFile(path, std::string(std::strtoull(argv[3], nullptr, 10), 'x'), {});
        } else if (call == "mkdir") {
            fs.createFolder(path);
        } else {
            return 2;
        }
        std::printf("ok\n");
    } catch (const pellatrix::FsError& e) {
        std::printf("%d %s\n", e.number(), e.what());
    }
    return 0;
}
