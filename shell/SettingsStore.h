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
    /// Stores `value` under `key` at once. Throws FsError when the store cannot be written.
    void SaveSetting(const QString& key, const QString& value);

private:
    QString m_iniPath;  // empty: the user's own store
};

}  // namespace pellatrix
