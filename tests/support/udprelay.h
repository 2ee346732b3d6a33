#pragma once

#include <QHash>
#include <QRandomGenerator>
#include <QUdpSocket>

// A UDP relay between one TFTP client and a server, on the server's loopback
// address, that loses datagrams on purpose; it runs on its owner thread's
// event loop. The client sends its request to port(). Each port the server
// answers from gets a client-facing relay port of its own, which passes the
// client's datagrams on to that server port: the client sees the server move
// to a transfer port just as without the relay.
class UdpRelay : public QObject
{
    Q_OBJECT

public:
    UdpRelay(const QHostAddress &server, quint16 serverPort, QObject *parent = nullptr);

    // False when the listening or the server-facing socket cannot bind.
    bool listen() { return m_listener.bind(m_server, 0) && m_serverFacing.bind(m_server, 0); }
    quint16 port() const { return m_listener.localPort(); }

    // Loses the client's first DATA packet of this block; 0 loses none, as no
    // DATA packet carries block 0.
    void setLostBlock(quint16 block) { m_lostData = QByteArray("\0\3", 2) + char(block >> 8) + char(block); }
    // Loses percent of the datagrams either way, as drawn from seed.
    void setLoss(int percent, quint32 seed) { m_lossPercent = percent; m_random.seed(seed); }

    int droppedToServer() const { return m_droppedToServer; }
    int droppedToClient() const { return m_droppedToClient; }

private:
    void forwardToServer(QUdpSocket &clientFacing, quint16 serverPort);
    void forwardToClient();
    QUdpSocket &clientFacingSocket(quint16 serverPort);
    bool loseAtRandom() { return int(m_random.bounded(100)) < m_lossPercent; }

    QHostAddress m_server;
    quint16 m_serverPort;
    QUdpSocket m_listener;
    QUdpSocket m_serverFacing;
    QHash<quint16, QUdpSocket *> m_clientFacing; // by the server port behind each
    QHostAddress m_clientAddress;
    quint16 m_clientPort = 0;
    QByteArray m_lostData; // its header; empty once lost
    int m_lossPercent = 0;
    QRandomGenerator m_random;
    int m_droppedToServer = 0;
    int m_droppedToClient = 0;
};
