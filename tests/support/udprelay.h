#pragma once

#include <QHostAddress>
#include <QRandomGenerator>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <poll.h>

// A UDP relay between one TFTP client and a server on an IPv4 loopback
// address: a link that delays, loses, duplicates and reorders datagrams on
// purpose. It runs on a thread of its own, which sleeps in ppoll() until a
// datagram arrives or one is due, so that a delay holds to microseconds. The
// client sends its request to port(). Each port the server answers from gets
// a client-facing relay port of its own, which passes the client's datagrams
// on to that server port: the client sees the server move to a transfer port
// just as without the relay.
//
// The link is set up before listen(). Every random choice is drawn from one
// generator, seeded by setLoss(), in the order the datagrams arrive.
class UdpRelay
{
public:
    UdpRelay(const QHostAddress &server, quint16 serverPort);
    ~UdpRelay(); // neither copied nor moved: its thread works on this object

    // Starts the relay's thread; false when the ports it opened at its
    // construction could not be bound.
    bool listen()
    {
        m_thread = std::thread(&UdpRelay::run, this);
        return m_port != 0;
    }
    quint16 port() const { return m_port; }

    // Loses the client's first DATA packet of this block; 0 loses none, as no
    // DATA packet carries block 0.
    void setLostBlock(quint16 block) { m_lostData = QByteArray("\0\3", 2) + char(block >> 8) + char(block); }
    // Loses the server's first ACK of this block.
    void setLostAck(quint16 block) { m_lostAck = QByteArray("\0\4", 2) + char(block >> 8) + char(block); }
    // Loses percent of the datagrams either way, as drawn from seed.
    void setLoss(int percent, quint32 seed) { m_lossPercent = percent; m_random.seed(seed); }
    // Each datagram arrives this long after it was sent, either way.
    void setDelay(std::chrono::microseconds oneWay) { m_delay = oneWay; }
    // Sends percent of the datagrams twice.
    void setDuplication(int percent) { m_duplicatePercent = percent; }
    // Holds percent of the datagrams (each copy drawn apart) back by 1 ms
    // beyond the delay, so that those sent after them overtake them.
    void setReordering(int percent) { m_reorderPercent = percent; }

    // Datagrams lost either way, chosen or drawn.
    int dropped() const { return m_dropped; }

private:
    using Clock = std::chrono::steady_clock;

    void run();
    void receive(size_t index);
    int openSocket(quint16 serverPort);
    bool chance(int percent) { return percent > 0 && int(m_random.bounded(100)) < percent; }

    sockaddr_in m_server; // with port 0
    quint16 m_port = 0;
    // The server-facing socket, then the client-facing ones (the first is
    // port()), each for the server port at the same index.
    std::vector<pollfd> m_sockets;
    std::vector<quint16> m_serverPorts;
    sockaddr_in m_client{};
    std::multimap<Clock::time_point, std::function<void()>> m_inFlight; // sendings by when due
    std::thread m_thread;
    std::atomic<bool> m_stopping = false;

    QByteArray m_lostData; // its header; empty once lost
    QByteArray m_lostAck; // the same
    int m_lossPercent = 0;
    int m_duplicatePercent = 0;
    int m_reorderPercent = 0;
    std::chrono::microseconds m_delay{ 0 };
    QRandomGenerator m_random;
    std::atomic<int> m_dropped = 0;
};
