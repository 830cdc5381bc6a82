#include <QApplication>

#include "app/Form1.h"
#include "engine/FileSizeLimit.h"
#include "shell/ProductInfo.h"
#include "shell/ProgramFiles.h"
#include "shell/QtPlatform.h"
#include "shell/SettingsStore.h"

int main(int argc, char* argv[]) {
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
