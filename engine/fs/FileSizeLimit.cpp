#include "engine/fs/FileSizeLimit.h"

#include <csignal>

namespace pellatrix {

void IgnoreFileSizeSignal() {
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

}  // namespace pellatrix
