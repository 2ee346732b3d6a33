#include "qtftp.h"

#include "tftppacket.h"

QByteArray QTftp::putFilePacket(QString fileName, QByteArray data) const
{
    return Tftp::writeRequest(fileName, data.size());
}

QByteArray QTftp::getFilePacket(QString fileName) const
{
    return Tftp::readRequest(fileName);
}
