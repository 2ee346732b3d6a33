#pragma once

#include "controller/updateobserver.h"

#include <QList>
#include <QString>

// "application", "other" or "marker": the words of --list and the log.
QString kindName(const UpdateFile &file);

// Prints --list: one line per file the update sends, the "done" marker last:
// name, size on disk, kind and SHA-256 in hex, tab-separated. A file that
// can never be sent (larger than the largest block size allows, or not a
// regular file) shows "-" for its digest rather than being read, as does
// one that cannot be read whole.
void printFileList(const QList<UpdateFile> &files);
// The same as one JSON object, {"files": [...]}, for programs: null for "-".
void printFileListJson(const QList<UpdateFile> &files);
