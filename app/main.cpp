#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/Form1.h"
#include "engine/FileSizeLimit.h"
#include "shell/ProductInfo.h"
#include "shell/ProgramFiles.h"
#include "shell/QtPlatform.h"
#include "shell/SettingsStore.h"

namespace {

constexpr const char* kHelp =
    "Usage: pellatrix [--help | --version]\n"
    "\n"
    "Opens the Pellatrix window, in which you gather list files and then create every file\n"
    "that they name, with a fixed text or the text written on each line after '>'.\n"
    "For scripts and terminals use pellatrix-cli, the same job on the command line.\n"
    "See pellatrix(1) and pellatrix-cli(1).\n";

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Answers --help and --version, or says why no window can open, before Qt is started: without
// a display Qt would abort with advice about reinstalling.
bool answeredWithoutWindow(int argc, char* argv[], int& status) {
    bool platformGiven = isSet("QT_QPA_PLATFORM");
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kHelp, stdout);
            status = std::fflush(stdout) == 0 ? 0 : 1;
            return true;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("pellatrix %s\n", PELLATRIX_VERSION);
            status = std::fflush(stdout) == 0 ? 0 : 1;
            return true;
        }
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) {
            platformGiven = true;
        }
    }
    if (!platformGiven && !isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY")) {
        std::fputs(
            "pellatrix: cannot open a window: no display (DISPLAY and WAYLAND_DISPLAY are "
            "empty); for the command line use pellatrix-cli\n",
            stderr);
        status = 1;
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (int status = 0; answeredWithoutWindow(argc, argv, status)) {
        return status;
    }
    pellatrix::IgnoreFileSizeSignal();
    QApplication app(argc, argv);
    // Before any QSettings exists, so the store lands in Quennet/Pellatrix.
    QCoreApplication::setOrganizationName(QString::fromLatin1(pellatrix::product::kOrganisation));
    QCoreApplication::setApplicationName(QString::fromLatin1(pellatrix::product::kProductName));

    pellatrix::QtPlatform platform;
    pellatrix::SettingsStore settings;
    pellatrix::Form1 window(platform, settings,
                            pellatrix::ProgramFilesFolder(QCoreApplication::applicationDirPath()));
    window.show();
    return app.exec();
}
