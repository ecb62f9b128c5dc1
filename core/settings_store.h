#pragma once
// The per-user settings store: an INI file with one section, "settings".
// Keys compare without regard to letter case and keep the spelling of their
// first writer. Every write reaches the file before write returns. The
// file and its folder are private to the user from creation on, because the
// file holds the (obfuscated) encryption key.
#include <QString>
#include <memory>
#include <optional>

class QSettings;

namespace zv {

class SettingsStore {
  public:
    // Opens (does not yet create) the file at `path`.
    explicit SettingsStore(QString path);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // $XDG_CONFIG_HOME (default ~/.config)/Tandro ZV Server/Tandro ZV Server.ini
    static QString defaultPath();

    const QString& path() const { return path_; }

    // Takes the group and other permissions off an existing folder and file
    // (a store made by hand or by an older version may have 0755 and 0644).
    // Returns what it did or could not do, for the operator; empty: nothing.
    QString makePrivate();

    // Why an existing file cannot be read (no permission, not an INI file);
    // empty when it can, or does not exist yet.
    QString readError() const;

    // The stored value as written, or `defaultValue` when the key does not
    // exist; empty when the value cannot be read in full (see readInFull).
    QString read(const QString& key, const QString& defaultValue) const;
    // The same, but nothing when the key exists and its value cannot be read
    // as written: QSettings took it for a list or a typed value ("a, b",
    // "@Variant(...)") and the file no longer holds its text.
    std::optional<QString> readInFull(const QString& key, const QString& defaultValue) const;
    // Raises zv::Error(errc::FileAccess, ...) when the file cannot be written.
    void write(const QString& key, const QString& value);

  private:
    QString findKey(const QString& key) const;  // stored spelling, or empty
    // The text of entry `stored` ("settings/com port") as the file holds it.
    std::optional<QString> textAsWritten(const QString& stored) const;
    void keepAsWritten();
    void createPrivately();

    QString path_;
    std::unique_ptr<QSettings> settings_;
};

}  // namespace zv
