#include "controller/qtftp.h"

#include "controller/transfersession.h"
#include "tftp/tftppacket.h"

// Uploads one image with a write request and lock-step 512-byte blocks. By
// default one packet is in flight at a time, each reply is awaited once for
// up to ten seconds, nothing is sent twice, and the first irregular reply
// ends the run.
bool QTftp::putByteArray(QString fileName, QByteArray data)
{
    TransferSession session(*this);
    Tftp::TransferRunner runner(session.endpoints(), session.policy(), m_stopRequested,
                                session.uploadCallbacks(fileName, data.size()));
    return session.finishUpload(runner.put(fileName, data, isBypassable(fileName)));
}

// Downloads one file with a read request, acknowledging each block before
// the next is awaited. Only failures set the status text.
bool QTftp::getByteArray(QString fileName, QByteArray *data)
{
    TransferSession session(*this);
    Tftp::TransferRunner runner(session.endpoints(), session.policy(), m_stopRequested, session.downloadCallbacks());
    return session.finishDownload(runner.get(fileName, data));
}

QByteArray QTftp::putFilePacket(QString fileName, QByteArray data) const
{
    return Tftp::writeRequest(fileName, data.size());
}

QByteArray QTftp::getFilePacket(QString fileName) const
{
    return Tftp::readRequest(fileName);
}
