#include "shell/SettingsStore.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <memory>
#include <utility>

#include "engine/fs/FsError.h"
#include "shell/ProductInfo.h"

namespace pellatrix {

namespace {

const QString kGroup = QStringLiteral("Pellatrix");

std::string local8Bit(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

// What the system says about writing into `file`'s folder and the file itself; "" when both
// look writable (a full disk, for example, only shows while writing).
QString writeFailureReason(const QString& file) {
    const QFileInfo info(file);
    QTemporaryFile probe(info.absolutePath() + QStringLiteral("/.pellatrix-probe-XXXXXX"));
    if (!probe.open()) {
        return probe.errorString();
    }
    if (info.exists()) {
        QFile existing(file);
        if (!existing.open(QIODevice::WriteOnly | QIODevice::Append)) {
            return existing.errorString();
        }
    }
    return QString();
}

// QSettings waits for its lock file without a bound, so a lock it can never take (a folder in
// its place) would freeze the window at the next write. Take the lock here first, with a bound,
// and hand it back before QSettings takes it.
void ensureLockable(const QString& file, int lockWaitMs) {
    const QString lockPath = file + QStringLiteral(".lock");
    const auto fail = [&](const QString& why) {
        throw FsError(kErrPathFileAccess,
                      local8Bit("Cannot lock the settings store '" + file + "': " + why));
    };
    const QFileInfo lockInfo(lockPath);
    if (lockInfo.exists() && !lockInfo.isFile()) {
        fail("'" + lockPath + "' is " + (lockInfo.isDir() ? "a folder" : "not a regular file") +
             ", not a lock file");
    }
    QDir().mkpath(QFileInfo(file).absolutePath());
    QLockFile lock(lockPath);
    if (lock.tryLock(lockWaitMs)) {
        lock.unlock();
        return;
    }
    if (lock.error() == QLockFile::LockFailedError) {
        fail("'" + lockPath + "' is held by another running copy");
    }
    const QString reason = writeFailureReason(lockPath);
    fail("cannot create '" + lockPath + "'" + (reason.isEmpty() ? QString() : ": " + reason));
}

// One QSettings per call: nothing is cached by us, and sync() before reading picks up what a
// second running copy wrote.
std::unique_ptr<QSettings> openStore(const QString& iniPath) {
    if (iniPath.isEmpty()) {
        // Qt would name a user-scope INI store "Pellatrix.ini"; the store is known as
        // ~/.config/Quennet/Pellatrix.conf (the usual name of an INI store on Linux).
        const QString path =
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
            QLatin1Char('/') + QString::fromLatin1(product::kOrganisation) + QLatin1Char('/') +
            QString::fromLatin1(product::kProductName) + QStringLiteral(".conf");
        return std::make_unique<QSettings>(path, QSettings::IniFormat);
    }
    return std::make_unique<QSettings>(iniPath, QSettings::IniFormat);
}

}  // namespace

SettingsStore::SettingsStore() = default;

SettingsStore::SettingsStore(QString iniPath) : m_iniPath(std::move(iniPath)) {}

QString SettingsStore::GetSetting(const QString& key, const QString& defaultValue) const {
    auto settings = openStore(m_iniPath);
    settings->sync();
    settings->beginGroup(kGroup);
    if (!settings->contains(key)) {
        return defaultValue;
    }
    const QVariant value = settings->value(key);
    // A hand-edited store may hold an unquoted list; keep it as the one text it was written as.
    if (value.typeId() == QMetaType::QStringList) {
        return value.toStringList().join(QStringLiteral(", "));
    }
    return value.toString();
}

QString SettingsStore::GetSetting(const QString& key, bool defaultValue) const {
    return GetSetting(key, defaultValue ? QStringLiteral("True") : QStringLiteral("False"));
}

void SettingsStore::SaveSetting(const QString& key, const QString& value, int lockWaitMs) {
    auto settings = openStore(m_iniPath);
    ensureLockable(settings->fileName(), lockWaitMs);
    settings->sync();
    settings->beginGroup(kGroup);
    const bool existed = settings->contains(key);
    const QVariant previous = settings->value(key);
    settings->setValue(key, value);
    settings->sync();
    // A malformed store file (hand-edited, half-written by something else) leaves a sticky
    // FormatError although Qt rewrites the file cleanly; only a store we cannot write fails.
    const QSettings::Status status = settings->status();
    if (status == QSettings::NoError ||
        (status == QSettings::FormatError && settings->isWritable())) {
        return;
    }
    // Qt keeps the unsaved value in its per-file cache, where later reads in this process would
    // find it; put the old state back so a failed write changes nothing.
    if (existed) {
        settings->setValue(key, previous);
    } else {
        settings->remove(key);
    }
    const QString file = settings->fileName();
    const QString reason = writeFailureReason(file);
    throw FsError(kErrPathFileAccess,
                  local8Bit("Cannot write the setting '" + key + "' to '" + file + "'" +
                            (reason.isEmpty() ? QString() : ": " + reason)));
}

}  // namespace pellatrix
