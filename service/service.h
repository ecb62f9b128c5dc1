#pragma once
// The relay as a service: started from the settings store as they stand,
// every status line and notice logged on standard error, SIGTERM and SIGINT
// ending it after delivering what it took, SIGHUP reopening the trace file,
// and systemd told how it is doing.
#include <QObject>
#include <QString>

namespace zv {

class Relay;
class SettingsStore;

class Service : public QObject {
    Q_OBJECT

  public:
    Service(SettingsStore& settings, Relay& relay, QObject* parent = nullptr);

    // Starts, runs until stopped and returns the exit status: 1 when the
    // start cannot serve (nothing listens) or a stop could not deliver all.
    // `trace`: a trace file for this run in place of the stored one.
    int run(const QString& trace);

  private:
    bool start();  // false: nothing to serve with (said)

    SettingsStore& settings_;
    Relay& relay_;
};

}  // namespace zv
