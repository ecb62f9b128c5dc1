#pragma once
// Counts the writes of a settings file by watching its folder with inotify.
// QSettings writes a whole new file and renames it over the old one, once per
// sync; only those renames count (it also opens the old file for writing to
// lock it, which is no write).
#include <QString>

namespace zv::test {

class FileWrites {
  public:
    explicit FileWrites(const QString& path);
    ~FileWrites();
    FileWrites(const FileWrites&) = delete;
    FileWrites& operator=(const FileWrites&) = delete;

    bool ok() const { return fd_ >= 0; }
    // Writes since the last call (or since construction).
    int take();

  private:
    int fd_ = -1;
    QString name_;
};

}  // namespace zv::test
