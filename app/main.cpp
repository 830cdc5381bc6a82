#include <unistd.h>
#include <QApplication>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/Form1.h"
#include "engine/fs/FileSizeLimit.h"
#include "shell/ProductInfo.h"
#include "shell/ProgramFiles.h"
#include "shell/QtPlatform.h"
#include "shell/SettingsStore.h"

namespace {

constexpr const char* kHelp =
    "Usage: pellatrix [OPTION]... [LIST]...\n"
    "\n"
    "Opens the Pellatrix window, in which you gather list files and then create every file\n"
    "that they name, with a fixed text or the text written on each line after '>'.\n"
    "Each LIST is added to the window's list as if it had been dropped on it: a file as it\n"
    "is, a folder with every file of its tree. A name that begins with '-' follows '--'.\n"
    "\n"
    "  -h, --help     show this help and exit\n"
    "      --version  show the version and exit\n"
    "\n"
    "Qt's own options (-platform NAME, -style NAME, -reverse ...) are passed on to Qt.\n"
    "An unknown option is a usage error (exit status 2).\n"
    "For scripts and terminals use pellatrix-cli, the same job on the command line.\n"
    "See pellatrix(1) and pellatrix-cli(1).\n";

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Qt's own options, which QApplication takes out of the arguments: those that take a value
// (as the next argument or after '='), and those that do not.
constexpr const char* kQtValueOptions[] = {"platform",        "platformpluginpath",
                                           "platformtheme",   "plugin",
                                           "qwindowgeometry", "qwindowicon",
                                           "qwindowtitle",    "style",
                                           "stylesheet",      "display",
                                           "session",         "name",
                                           "title",           "visual",
                                           "geometry",        "qmljsdebugger"};
constexpr const char* kQtFlagOptions[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

// The option's name without its dashes and without "=value"; empty for a non-option.
std::string optionName(const char* arg) {
    std::string_view name(arg);
    name.remove_prefix(name.starts_with("--") ? 2 : 1);
    return std::string(name.substr(0, name.find('=')));
}

bool qtOption(const char* arg, bool& takesNext) {
    const std::string name = optionName(arg);
    const bool withValue = std::strchr(arg, '=') != nullptr;
    for (const char* known : kQtValueOptions) {
        if (name == known) {
            takesNext = !withValue;
            return true;
        }
    }
    for (const char* known : kQtFlagOptions) {
        if (name == known && !withValue) {
            takesNext = false;
            return true;
        }
    }
    return false;
}

// Answers --help and --version, refuses an unknown option (exit 2), or says why no window can
// open, before Qt is started: without a display Qt would abort with advice about reinstalling.
bool answeredWithoutWindow(int argc, char* argv[], int& status) {
    bool platformGiven = isSet("QT_QPA_PLATFORM");
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0) {
            break;
        }
        if (arg[0] != '-' || arg[1] == '\0') {
            continue;  // a list file ("-" too: a file of that name, as a drop would give it)
        }
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::fputs(kHelp, stdout);
            status = std::fflush(stdout) == 0 ? 0 : 1;
            return true;
        }
        if (std::strcmp(arg, "--version") == 0) {
            std::printf("pellatrix %s\n", PELLATRIX_VERSION);
            status = std::fflush(stdout) == 0 ? 0 : 1;
            return true;
        }
        bool takesNext = false;
        if (!qtOption(arg, takesNext) || (takesNext && i + 1 >= argc)) {
            std::fprintf(stderr,
                         "pellatrix: %s '%s'\nTry 'pellatrix --help' for more information.\n",
                         takesNext ? "option requires an argument:" : "unrecognized option", arg);
            status = 2;
            return true;
        }
        if (optionName(arg) == "platform") {
            platformGiven = true;
        }
        i += takesNext ? 1 : 0;
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

// The list files named after Qt took its own options out: each as the exact bytes given, a
// relative one made full against the working folder, as a drop names its files.
std::vector<std::string> listFileArguments(int argc, char* argv[]) {
    std::vector<std::string> paths;
    std::string cwd;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg(argv[i]);
        if (options && arg == "--") {
            options = false;
            continue;
        }
        if (arg.empty()) {
            continue;
        }
        if (arg.front() != '/') {
            if (cwd.empty()) {
                std::vector<char> buffer(4096);
                while (getcwd(buffer.data(), buffer.size()) == nullptr && errno == ERANGE) {
                    buffer.resize(buffer.size() * 2);
                }
                cwd = buffer.data();
            }
            arg = (cwd == "/" ? cwd : cwd + "/") + arg;
        }
        paths.push_back(std::move(arg));
    }
    return paths;
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
    // After the window is shown, as a drop comes: a folder's tree is added with the window there.
    if (auto paths = listFileArguments(argc, argv); !paths.empty()) {
        QMetaObject::invokeMethod(
            &window, [&window, paths] { window.addListFiles(paths); }, Qt::QueuedConnection);
    }
    return app.exec();
}
