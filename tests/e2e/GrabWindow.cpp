// Writes the pixels of an X window (its id as a number) as a binary PPM image on standard
// output, so the end-to-end script can look at what the program under test drew: the notice
// inside the window, the colours of the selected row.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <cstdio>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: e2e_grab WINDOW\n", stderr);
        return 2;
    }
    const auto window = static_cast<WId>(QByteArray(argv[1]).toULongLong(nullptr, 0));
    const QImage image =
        QGuiApplication::primaryScreen()->grabWindow(window).toImage().convertToFormat(
            QImage::Format_RGB888);
    if (image.isNull()) {
        return 1;
    }
    std::printf("P6\n%d %d\n255\n", image.width(), image.height());
    for (int y = 0; y < image.height(); ++y) {
        std::fwrite(image.constScanLine(y), 3, static_cast<std::size_t>(image.width()), stdout);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
