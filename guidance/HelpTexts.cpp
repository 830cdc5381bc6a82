#include "guidance/HelpTexts.h"

namespace pellatrix::help {

namespace {

// Message boxes break lines with a carriage return alone.
constexpr const char* CR = "\r";

// The examples name places every user can write to on this platform.
#ifdef _WIN32
constexpr const char* kExample1 = "C:\\test\\newfolder1\\out.txt";
constexpr const char* kExample2 = "C:\\test\\newfolder2\\this.txt";
constexpr const char* kExample3 = "C:\\test\\newfolder3\\junk.jnk";
#else
constexpr const char* kExample1 = "/tmp/test/newfolder1/out.txt";
constexpr const char* kExample2 = "/tmp/test/newfolder2/this.txt";
constexpr const char* kExample3 = "/tmp/test/newfolder3/junk.jnk";
#endif

}  // namespace

const char* const kFormatHelpClosing =
    "Make sure each entry is separated by an enter (carriage return). Open text file(s) in "
    "Notepad to confirm this.";

const char* const kViewSampleQuestion = "Would you like to view a sample file?";

const char* const kOpenSamplesFolderQuestion =
    "Would you like this software to open the folder where these sample files are stored (so "
    "that you can view them before working with them)?";

std::array<std::string, 8> formatHelpPieces() {
    return {
        std::string("The *contents* of your text files should look like:") + CR + CR,
        std::string(kExample1) + CR,
        std::string(kExample2) + CR,
        std::string(kExample3) + CR + CR,
        std::string("They should not look like:") + CR,
        std::string("out.txt") + CR,
        std::string("this.txt") + CR,
        std::string("junk.jnk") + CR + CR,
    };
}

std::array<std::string, 4> contentHelpPieces() {
    return {
        std::string("If you would like to create files and put different text in each file you "
                    "can create a text file that looks like this:") +
            CR + CR,
        std::string(kExample1) + ">first" + CR,
        std::string(kExample2) + ">second" + CR,
        std::string(kExample3) + ">third",
    };
}

}  // namespace pellatrix::help
