#pragma once
// Instances: `--instance NAME` runs a bridge of its own (one per device) with
// its own settings file, and one program per instance at a time.
#include <QString>

namespace zv {

// Letters, digits, '-', '_' and '.'; at most 64 characters; not "." or "..".
bool validInstanceName(const QString& name);

// The settings file: the default one without a name, else NAME.ini beside it.
QString instanceSettingsPath(const QString& name);

// A folder of this user's alone, /tmp/<name>-<uid>, made 0700 if missing;
// empty when it cannot be made or somebody else's stands at that name. It
// stands in for $XDG_RUNTIME_DIR outside a login session.
QString privateTmpFolder(const QString& name);

// A lock file in the runtime folder ($XDG_RUNTIME_DIR), held (flock) while
// this object lives; the kernel releases it when the process ends, however
// it ends. The file holds the owner's process id, for the message.
class InstanceLock {
  public:
    explicit InstanceLock(const QString& name);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    bool ok() const { return error_.isEmpty(); }
    QString error() const { return error_; }  // why the lock is not ours
    QString path() const { return path_; }

  private:
    int fd_ = -1;
    QString path_;
    QString error_;
};

}  // namespace zv
