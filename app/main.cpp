#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/MainWindow.h"
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
    "is, a folder with every file of its tree. Every name after '--', and every name of an\n"
    "existing file, is a LIST, whatever it looks like.\n"
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

bool existsHere(const char* path) {
    struct stat st {};
    return lstat(path, &st) == 0;
}

// The command line divided: QApplication is given only its own options (and their values), so
// a list file named like one of them (after "--", or an existing file) never reaches Qt, which
// would take it wherever it stands.
struct CommandLine {
    std::vector<char*> qtArguments;  // the program's name and Qt's options, ending in nullptr
    std::vector<std::string> lists;  // as given
    bool platformGiven = false;
};

// Divides the command line; answers --help and --version, refuses an unknown option (exit 2), or
// says why no window can open, before Qt is started: without a display Qt would abort with
// advice about reinstalling. True when it answered and the program ends with `status`.
bool answeredWithoutWindow(int argc, char* argv[], CommandLine& line, int& status) {
    line.platformGiven = isSet("QT_QPA_PLATFORM");
    line.qtArguments.push_back(argv[0]);
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        char* arg = argv[i];
        if (options && std::strcmp(arg, "--") == 0) {
            options = false;
            continue;
        }
        // A list file: every argument after "--", one that is no option ("-" too: a file of
        // that name, as a drop would give it), and one that names an existing file (but for
        // the questions to the program itself).
        const bool question = std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0 ||
                              std::strcmp(arg, "--version") == 0;
        if (!options || arg[0] != '-' || arg[1] == '\0' || (!question && existsHere(arg))) {
            line.lists.emplace_back(arg);
            continue;
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
            line.platformGiven = true;
        }
        line.qtArguments.push_back(arg);
        if (takesNext) {
            line.qtArguments.push_back(argv[++i]);
        }
    }
    line.qtArguments.push_back(nullptr);
    if (!line.platformGiven && !isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY")) {
        std::fputs(
            "pellatrix: cannot open a window: no display (DISPLAY and WAYLAND_DISPLAY are "
            "empty); for the command line use pellatrix-cli\n",
            stderr);
        status = 1;
        return true;
    }
    return false;
}

// The list files as a drop names them: each as the exact bytes given, a relative one made full
// against the working folder.
std::vector<std::string> fullPaths(std::vector<std::string> lists) {
    std::vector<std::string> paths;
    std::string cwd;
    for (std::string& arg : lists) {
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
    CommandLine line;
    if (int status = 0; answeredWithoutWindow(argc, argv, line, status)) {
        return status;
    }
    pellatrix::IgnoreFileSizeSignal();
    int qtArgc = static_cast<int>(line.qtArguments.size()) - 1;
    QApplication app(qtArgc, line.qtArguments.data());
    // Before any QSettings exists, so the store lands in Quennet/Pellatrix.
    QCoreApplication::setOrganizationName(QString::fromLatin1(pellatrix::product::kOrganisation));
    QCoreApplication::setApplicationName(QString::fromLatin1(pellatrix::product::kProductName));

    pellatrix::QtPlatform platform;
    pellatrix::SettingsStore settings;
    pellatrix::MainWindow window(
        platform, settings, pellatrix::ProgramFilesFolder(QCoreApplication::applicationDirPath()));
    window.show();
    // After the window is shown, as a drop comes: a folder's tree is added with the window there.
    if (auto paths = fullPaths(std::move(line.lists)); !paths.empty()) {
        QMetaObject::invokeMethod(
            &window, [&window, paths] { window.addListFiles(paths); }, Qt::QueuedConnection);
    }
    return app.exec();
}
