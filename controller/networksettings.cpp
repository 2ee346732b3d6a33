#include "controller/qtftp.h"

#include "controller/savedsettings.h"

#include <QNetworkInterface>
#include <QRegularExpression>

void QTftp::loadNetworkInterfaces()
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &networkInterface : interfaces) {
        const QList<QNetworkAddressEntry> entries = networkInterface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                m_ifsList.append(networkInterface.humanReadableName() + QStringLiteral(" -- ") + entry.ip().toString());
        }
    }
}

QString QTftp::loadNetoworkIf()
{
    return SavedSettings::interfaceName();
}

QString QTftp::loadNetworkAddr()
{
    return SavedSettings::deviceAddress();
}

void QTftp::saveNetworkIf(QString ifName)
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &networkInterface : interfaces) {
        if (networkInterface.humanReadableName() == ifName) {
            SavedSettings::setInterfaceName(networkInterface.name());
            return;
        }
    }
}

void QTftp::saveNetworkAddr(QString addr)
{
    SavedSettings::setDeviceAddress(addr);
}

int QTftp::savedInterfaceIndex()
{
    const QString savedName = loadNetoworkIf();
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &networkInterface : interfaces) {
        if (networkInterface.name() != savedName)
            continue;
        // The name is text, not a pattern ("Ethernet (2)"), and must be
        // followed by the separator so that en1 never selects en10's entry.
        const QRegularExpression ownEntries(QRegularExpression::anchoredPattern(
                QRegularExpression::escape(networkInterface.humanReadableName() + QStringLiteral(" -- ")) + QStringLiteral(".*")));
        return int(m_ifsList.indexOf(ownEntries));
    }
    return 0;
}
