#pragma once

#include "tftp/tftppacket.h"

#include <QString>

#include <sys/resource.h>

// A transfer ends with the first block shorter than 512 bytes, so an image of
// whole blocks takes one more, empty block.
constexpr qsizetype blockCount(qsizetype imageSize)
{
    return imageSize / Tftp::BlockSize + 1;
}

enum class Client { Ours, TftpHpa, Curl };

// One timed upload by one client.
struct Upload
{
    QString failure; // empty when the server stored exactly the image
    double wallMs = 0;
    double cpuMs = 0;
};

inline double userAndSystemMs(const rusage &usage)
{
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
            + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}
