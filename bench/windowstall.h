#pragma once

#include <QString>

class TftpdProcess;

// How late the window's GUI thread gets while the real window uploads the
// largest image (33,553,919 bytes) to server, started by its Start button: a
// 1 ms precise timer on the GUI thread records how late it fires. Prints the
// figures; returns what went wrong, empty when the window showed the update
// complete and the server stored every file byte for byte.
QString measureWindow(const TftpdProcess &server, const QString &workPath);
