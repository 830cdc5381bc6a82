// Prints the text of the X clipboard, so the end-to-end script can read what the program under
// test copied (a message box's text after Ctrl+C, the fixed text after Ctrl+A Ctrl+C).
#include <QClipboard>
#include <QGuiApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QByteArray text = QGuiApplication::clipboard()->text().toUtf8();
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout);
    return 0;
}
