#include "tests/support/udprelay.h"

#include <QNetworkDatagram>

UdpRelay::UdpRelay(const QHostAddress &server, quint16 serverPort, QObject *parent)
    : QObject(parent)
    , m_server(server)
    , m_serverPort(serverPort)
{
    connect(&m_listener, &QUdpSocket::readyRead, this, [this] { forwardToServer(m_listener, m_serverPort); });
    connect(&m_serverFacing, &QUdpSocket::readyRead, this, &UdpRelay::forwardToClient);
}

void UdpRelay::forwardToServer(QUdpSocket &clientFacing, quint16 serverPort)
{
    while (clientFacing.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = clientFacing.receiveDatagram();
        m_clientAddress = datagram.senderAddress();
        m_clientPort = quint16(datagram.senderPort());
        const bool chosenData = !m_lostData.isEmpty() && datagram.data().startsWith(m_lostData);
        if (chosenData)
            m_lostData.clear();
        if (chosenData || loseAtRandom())
            ++m_droppedToServer;
        else
            m_serverFacing.writeDatagram(datagram.data(), m_server, serverPort);
    }
}

void UdpRelay::forwardToClient()
{
    while (m_serverFacing.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_serverFacing.receiveDatagram();
        QUdpSocket &clientFacing = clientFacingSocket(quint16(datagram.senderPort()));
        if (loseAtRandom())
            ++m_droppedToClient;
        else
            clientFacing.writeDatagram(datagram.data(), m_clientAddress, m_clientPort);
    }
}

QUdpSocket &UdpRelay::clientFacingSocket(quint16 serverPort)
{
    QUdpSocket *&socket = m_clientFacing[serverPort];
    if (!socket) {
        socket = new QUdpSocket(this);
        if (!socket->bind(m_server, 0))
            qWarning() << "relay: no client-facing port for server port" << serverPort << socket->errorString();
        connect(socket, &QUdpSocket::readyRead, this,
                [this, socket, serverPort] { forwardToServer(*socket, serverPort); });
    }
    return *socket;
}
