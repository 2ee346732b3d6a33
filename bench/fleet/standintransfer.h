#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <QUdpSocket>

#include <chrono>

// What one write request delivered to the stand-in.
struct ReceivedFile
{
    quint16 devicePort = 0; // the listening port the request came to
    QString name;
    qint64 announcedSize = -1; // the request's tsize; -1 when it had none
    QByteArray bytes;
    int acknowledgedBlocks = 0;
    qint64 turnaroundNs = 0; // from each block's arrival to its ACK, summed
    QString failure; // empty when every block came in order and the size matched
};

// One write transfer as a device runs it: answers the request from a port of
// its own (an OACK echoing tsize, or ACK 0 when the request had no options),
// then acknowledges each DATA block one turnaround after it arrived, the time
// a device takes to write the block to flash. It keeps the bytes, checks the
// block order, and deletes itself once it has finished.
class StandInTransfer : public QObject
{
    Q_OBJECT

public:
    // Answers from a new port on localAddress, the address the request came to.
    StandInTransfer(const QHostAddress &localAddress, const QHostAddress &client, quint16 clientPort,
                    const ReceivedFile &request, std::chrono::milliseconds turnaround, QObject *parent);

signals:
    // Emitted just before the final ACK goes out, so that the file is on
    // record by the time the client learns its upload is complete.
    void finished(const ReceivedFile &file);

private:
    void readDatagram();
    void acknowledgeBlock();
    void send(const QByteArray &packet);
    void fail(const QString &failure, const QByteArray &errorPacket);
    void finish();

    QUdpSocket m_socket;
    QTimer m_turnaround;
    QTimer m_silence;
    QElapsedTimer m_sinceBlockArrived;
    QByteArray m_datagram; // reused: one allocation for every block
    QHostAddress m_client;
    quint16 m_clientPort = 0;
    ReceivedFile m_file;
    quint16 m_awaitedBlock = 1;
    bool m_lastBlockReceived = false;
};

// One read transfer as a device serves it, for a read-back: content in DATA
// blocks from a port of its own, each sent as soon as the one before is
// acknowledged, as reading flash takes no time worth counting. It deletes
// itself once the last block is acknowledged or the client falls silent.
class StandInRead : public QObject
{
    Q_OBJECT

public:
    StandInRead(const QHostAddress &localAddress, const QHostAddress &client, quint16 clientPort,
                const QByteArray &content, QObject *parent);

private:
    void readAcknowledgements();
    void sendBlock();

    QUdpSocket m_socket;
    QTimer m_silence;
    QHostAddress m_client;
    quint16 m_clientPort = 0;
    QByteArray m_content;
    quint16 m_block = 1;
};
