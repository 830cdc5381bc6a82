#pragma once

#include <QString>

namespace pellatrix {

/// The per-user settings: QSettings in INI format, organisation "Quennet", application
/// "Pellatrix", every key in the group "Pellatrix". Each read and write goes to the store.
class SettingsStore {
public:
    /// The user's own store (~/.config/Quennet/Pellatrix.conf).
    SettingsStore();
    /// A store in the INI file `iniPath` (tests point this at a temporary folder).
    explicit SettingsStore(QString iniPath);

    /// The stored text of `key`, or `defaultValue` when the key does not exist.
    QString GetSetting(const QString& key, const QString& defaultValue) const;
    /// As above with a truth value as default: false reads as "False", true as "True".
    QString GetSetting(const QString& key, bool defaultValue) const;
    /// Stores `value` under `key` at once. Throws FsError when the store cannot be written,
    /// also when another running copy holds the store's lock for `lockWaitMs` milliseconds.
    void SaveSetting(const QString& key, const QString& value, int lockWaitMs = kLockWaitMs);

    /// How long a write waits by default for a lock that another running copy holds.
    static constexpr int kLockWaitMs = 1000;

private:
    QString m_iniPath;  // empty: the user's own store
};

}  // namespace pellatrix
