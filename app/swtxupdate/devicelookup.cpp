#include "app/swtxupdate/devicelookup.h"

#include "app/swtxupdate/interruptnotifier.h"
#include "controller/statustext.h"
#include "tftp/deviceaddress.h"

#include <QEventLoop>

#include <cstdio>

#include <unistd.h>

DeviceLookup::DeviceLookup(const QList<DeviceTarget> &targets, const QString &localAddress, QObject *parent)
    : QObject(parent)
    , m_targets(targets)
    , m_localAddress(localAddress)
    , m_results(targets.size())
{
}

bool DeviceLookup::run(InterruptNotifier &interruption)
{
    if (interruption.wasInterrupted())
        return false;
    QEventLoop loop;
    for (int index = 0; index < m_targets.size(); ++index) {
        m_pendingIds.append(QHostInfo::lookupHost(m_targets.at(index).host, this, [this, index, &loop](const QHostInfo &host) {
            lookedUp(index, host);
            if (m_pendingIds.isEmpty())
                loop.quit();
        }));
    }
    connect(&interruption, &InterruptNotifier::interrupted, &loop, &QEventLoop::quit);
    if (!m_pendingIds.isEmpty())
        loop.exec();
    for (const int id : std::as_const(m_pendingIds))
        QHostInfo::abortHostLookup(id);
    m_abandoned = !m_pendingIds.isEmpty();
    return !m_abandoned;
}

void DeviceLookup::lookedUp(int index, const QHostInfo &host)
{
    m_pendingIds.removeOne(host.lookupId());
    const std::optional<QHostAddress> address = Tftp::reachableAddress(host.addresses(), m_localAddress);
    if (address) {
        m_results[index].address = *address;
        return;
    }
    Tftp::TransferResult notFound{ host.addresses().isEmpty() ? Tftp::TransferResult::HostNotFound
                                                              : Tftp::TransferResult::NoReachableAddress };
    notFound.text = m_targets.at(index).host;
    m_results[index].failure = statusText(notFound);
}

int DeviceLookup::exitStatus(int status) const
{
    if (m_abandoned) {
        std::fflush(nullptr);
        ::_exit(status);
    }
    return status;
}

QString DeviceLookup::duplicate() const
{
    for (int second = 1; second < m_targets.size(); ++second) {
        for (int first = 0; first < second; ++first) {
            const QHostAddress &address = m_results.at(second).address;
            if (!address.isNull() && address == m_results.at(first).address
                && m_targets.at(first).port == m_targets.at(second).port) {
                return QStringLiteral("devices %1 and %2 are the same transmitter (%3 port %4)")
                        .arg(m_targets.at(first).label, m_targets.at(second).label, address.toString())
                        .arg(m_targets.at(second).port);
            }
        }
    }
    return {};
}
