#include "service/service.h"

#include <signal.h>

#include <QCoreApplication>
#include <cstring>

#include "cipher/error.h"
#include "core/hangup_signal.h"
#include "core/process_log.h"
#include "core/relay.h"
#include "core/settings_store.h"
#include "core/stored_settings.h"
#include "net/tcp_server.h"
#include "serial/serial_line.h"
#include "service/systemd_notify.h"

namespace zv {

namespace {
const QString kTitle = QStringLiteral("Tandro ZV Server");

QString errorText(const Error& e) {
    return QString::number(e.number()) + QStringLiteral(" - ") +
           QString::fromStdString(e.description());
}
}  // namespace

Service::Service(SettingsStore& settings, Relay& relay, QObject* parent)
    : QObject(parent), settings_(settings), relay_(relay) {}

// The stored settings as they stand: the line opened, the listeners of the
// stored mode listening when automatic listening is on.
bool Service::start() {
    QStringList notices;
    if (const QString done = settings_.makePrivate(); !done.isEmpty()) notices << done;
    const RelayConfig config = readRelayConfig(settings_, &notices);
    relay_.setBindAddress(config.bindAddress);
    relay_.setAllowedClients(config.allowedClients);
    relay_.setPassPhrase(config.key.passPhrase);
    relay_.setTransparent(config.transparent);
    relay_.trace().setPath(config.traceFile);
    for (const QString& notice : notices) logLine(notice);

    if (!config.comPortStored) {
        logLine(QStringLiteral("Com Port error: Please select a com port first"));
    } else if (config.comPort != 0) {
        SerialLine& line = relay_.line();
        try {
            line.setSettings(config.line);
            line.open(config.comPort);
        } catch (const Error& e) {
            logLine(kTitle +
                    QStringLiteral(": VB6 runtime error%1(com%2): ")
                        .arg(config.comPort == 7 ? "" : " ")
                        .arg(config.comPort) +
                    errorText(e));
        }
    }

    if (config.comPortStored) relay_.say(QStringLiteral("closed"));

    // Mode 2 listens with listener 1 on the second port number.
    const std::optional<qint32> first = config.ports[config.mode == ListenerMode::Port2 ? 1 : 0];
    const bool both = config.mode == ListenerMode::Both;
    if (config.autoListen != Switch::On || config.mode == ListenerMode::Other) {
        logLine(
            QStringLiteral("cannot serve: automatic listening is off (autoconnect=1 in the "
                           "settings turns it on); ending with status 1"));
        return false;
    }
    try {
        if (!first || (both && !config.ports[1]))
            throw Error(errc::TypeMismatch, "Type mismatch: a stored port is no number");
        relay_.server(0).setLocalPort(*first);
        if (both) relay_.server(1).setLocalPort(*config.ports[1]);
        relay_.listen(0);
        if (both) relay_.listen(1);
        relay_.say(QStringLiteral("listening on port %1").arg(*first) +
                   (both ? QStringLiteral(" and %1").arg(*config.ports[1]) : QString()));
    } catch (const Error& e) {
        logLine(kTitle + QStringLiteral(": VB6 runtime error (load): ") + errorText(e));
        logLine(
            QStringLiteral("cannot serve: a listener could not start (see above); ending "
                           "with status 1"));
        return false;
    }
    return true;
}

int Service::run(const QString& trace) {
    TerminationSignals termination;
    if (!termination.ok()) {
        logLine(termination.error());
        return 1;
    }
    if (const QString why = settings_.readError(); !why.isEmpty()) {
        logLine(why + QStringLiteral("; ending with status 1"));
        return 1;
    }
    SystemdNotify systemd;
    // The relay says its caption on every event ("com data sent to port 1"
    // per device block): the log and systemd hear it when it changes.
    connect(&relay_, &Relay::statusChanged, this,
            [&systemd, last = QString()](const QString& caption) mutable {
                if (caption == last) return;
                last = caption;
                logLine(caption);
                systemd.status(caption);
            });
    connect(&termination, &TerminationSignals::terminationRequested, this,
            [this, &systemd](int number) {
                logLine(QStringLiteral("ending on signal %1 (%2)%3")
                            .arg(number)
                            .arg(QString::fromLocal8Bit(strsignal(number)))
                            .arg(relay_.stopping() ? QStringLiteral(": at once") : QString()));
                systemd.stopping();
                relay_.stop();
            });
    connect(&relay_, &Relay::stopped, this,
            [](qint64 undelivered) { QCoreApplication::exit(undelivered > 0 ? 1 : 0); });
    logLine(QStringLiteral("running without a window, settings in ") + settings_.path());
    if (!start()) return 1;
    if (!trace.isEmpty()) relay_.trace().setPath(trace);
    HangupSignal hangup;  // logrotate moved the trace file: start a new one
    if (!hangup.error().isEmpty()) logLine(QStringLiteral("SIGHUP: ") + hangup.error());
    connect(&hangup, &HangupSignal::hangUp, this, [this] {
        relay_.trace().reopen();
        if (relay_.trace().on()) logLine(QStringLiteral("trace file reopened"));
    });
    systemd.ready();
    return QCoreApplication::exec();
}

}  // namespace zv
