#include "tests/support/udprelay.h"

#include <algorithm>

#include <sys/prctl.h>
#include <unistd.h>

// How long the relay's thread sleeps at most, and so how soon it notices that
// the relay goes away.
constexpr qint64 longestSleepNs = 10000000;
// Waking from a sleep can take tens of microseconds, more on a virtual
// machine: the last stretch before a datagram is due is spent awake, and so is
// a short while after each arrival, when the next one comes soon after.
constexpr qint64 awakeNs = 150000;
constexpr auto awakeAfterArrival = std::chrono::microseconds(50);

UdpRelay::UdpRelay(const QHostAddress &server, quint16 serverPort)
    : m_server{ AF_INET, 0, { htonl(server.toIPv4Address()) }, {} }
{
    openSocket(0);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(openSocket(serverPort), reinterpret_cast<sockaddr *>(&bound), &length);
    m_port = ntohs(bound.sin_port);
}

UdpRelay::~UdpRelay()
{
    m_stopping = true;
    if (m_thread.joinable())
        m_thread.join();
    for (const pollfd &socket : m_sockets)
        ::close(socket.fd);
}

void UdpRelay::run()
{
    // Wake-ups on time to the microsecond. (Real-time priority made round
    // trips slower: the relay's thread then takes the processor from the
    // client or the server it just woke.)
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    for (Clock::time_point arrival; !m_stopping;) {
        const qint64 dueInNs = m_inFlight.empty() ? longestSleepNs : (m_inFlight.begin()->first - Clock::now()).count();
        const bool awake = Clock::now() - arrival < awakeAfterArrival;
        const timespec sleep{ 0, awake ? 0 : long(std::clamp<qint64>(dueInNs - awakeNs, 0, longestSleepNs)) };
        if (::ppoll(m_sockets.data(), m_sockets.size(), &sleep, nullptr) > 0)
            arrival = Clock::now();
        for (size_t i = 0; i < m_sockets.size(); ++i) {
            if (m_sockets[i].revents)
                receive(i);
        }
        for (auto due = m_inFlight.begin(); due != m_inFlight.end() && due->first <= Clock::now();
             due = m_inFlight.erase(due))
            due->second();
    }
}

// Takes every datagram waiting at m_sockets[index]: the server's, or the
// client's for the server port at the same index; and decides its fate.
void UdpRelay::receive(size_t index)
{
    char buffer[65536];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    for (ssize_t size = 0; (size = ::recvfrom(m_sockets[index].fd, buffer, sizeof buffer, 0,
                                              reinterpret_cast<sockaddr *>(&from), &length)) >= 0;) {
        const bool toClient = index == 0;
        if (!toClient)
            m_client = from;
        const sockaddr_in to = toClient ? m_client : sockaddr_in{ AF_INET, htons(m_serverPorts[index]), m_server.sin_addr, {} };
        // The server's datagrams go out through the relay port for the port
        // they came from.
        const auto known = size_t(std::find(m_serverPorts.cbegin() + 1, m_serverPorts.cend(), ntohs(from.sin_port))
                                  - m_serverPorts.cbegin());
        const int socket = !toClient ? m_sockets.front().fd
                : known < m_sockets.size() ? m_sockets[known].fd : openSocket(ntohs(from.sin_port));
        QByteArray &lost = toClient ? m_lostAck : m_lostData;
        const bool chosen = !lost.isEmpty() && QByteArrayView(buffer, size).startsWith(lost);
        if (chosen)
            lost.clear();
        const int copies = chosen || chance(m_lossPercent) ? 0 : chance(m_duplicatePercent) ? 2 : 1;
        if (copies == 0)
            ++m_dropped;
        for (int copy = 0; copy < copies; ++copy)
            m_inFlight.emplace(Clock::now() + m_delay + std::chrono::milliseconds(chance(m_reorderPercent) ? 1 : 0),
                               [socket, to, bytes = QByteArray(buffer, size)] {
                                   ::sendto(socket, bytes.constData(), size_t(bytes.size()), 0,
                                            reinterpret_cast<const sockaddr *>(&to), sizeof to);
                               });
    }
}

// A non-blocking UDP socket on the server's address, watched from now on.
int UdpRelay::openSocket(quint16 serverPort)
{
    m_sockets.push_back({ ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0), POLLIN, 0 });
    m_serverPorts.push_back(serverPort);
    ::bind(m_sockets.back().fd, reinterpret_cast<const sockaddr *>(&m_server), sizeof m_server);
    return m_sockets.back().fd;
}
